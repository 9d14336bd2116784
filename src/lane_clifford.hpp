// The Clifford lane kernels: geometric products and sandwiches of several
// items at once, in blocks of terms whose signs are fixed at compile time.
// Built for each instruction set as src/lane_machinery.hpp says.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "src/clifford.hpp"
#include "src/lane_machinery.hpp"
#include "src/lanes.hpp"

namespace vyr::lanes {

namespace {

// ------------------------------------------------------------------ Clifford

inline void scalar_product(const double* a, const double* b, const clifford::Metric& metric,
                           std::uint64_t dimension, double* out) {
  clifford::product_into({a, dimension}, {b, dimension}, metric, out);
}

// Vectors held aside for a call, aligned as vectors are; none when `count` is
// 0 or the memory cannot be had.
template <class L>
struct Aside {
  using V = typename L::V;
  explicit Aside(std::size_t count) noexcept
      : vectors(count == 0 ? nullptr
                           : static_cast<V*>(::operator new[](
                                 count * sizeof(V), std::align_val_t{alignof(V)}, std::nothrow))) {}
  ~Aside() {
    if (vectors != nullptr) {
      ::operator delete[](vectors, std::align_val_t{alignof(V)});
    }
  }
  Aside(const Aside&) = delete;
  Aside& operator=(const Aside&) = delete;
  V* vectors;
};

// Largest component count for which the lanes keep W pairs in vectors aside
// (three vectors per component, 6 MiB with eight lanes); larger products go
// one pair at a time, straight from the pairs' own memory.
constexpr std::uint64_t kMaxLaneDimension = std::uint64_t{1} << 15;

inline bool all_finite(const double* values, std::uint64_t count) noexcept {
  unsigned nonfinite = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    nonfinite |= !(values[i] - values[i] == 0.0);
  }
  return nonfinite == 0;
}

// The output items of a group: adjacent components (addresses made where
// used, or an array of them for many chunks), or component-major.
template <class L, class In, bool Array>
auto output_rows(ItemsOut items, std::size_t first, std::size_t n) {
  if constexpr (!std::is_same_v<In, ItemStarts>) {
    return ComponentOutput{items, first, n};
  } else if constexpr (Array) {
    return OutputArray<L>(items, first, n);
  } else {
    return OutputRows{items, first};
  }
}

// Room for the scalar routines' copies of component-major items: three
// items of `dimension` components (two factors and a product), none for
// adjacent ones.
template <class In>
std::vector<double> copies_for(std::uint64_t dimension) {
  return std::vector<double>(std::is_same_v<In, ItemStarts> ? 0 : 3 * dimension);
}

// The product of W pairs in an algebra whose entries are all -1, 0 or +1,
// from their components as vectors (X[j]: left component j of every lane,
// Y[k] the right), into OUT.  The terms are taken in blocks of B × B: left
// blades j0 + a and right blades k0 + b, with j0 and k0 multiples of B, which
// feed the B output components (j0 ^ k0) + (a ^ b).  For each block of
// outputs, the blocks that feed it come in ascending j0, and within a block
// the terms in ascending a, so every output component receives its terms in
// ascending left blade, as in the scalar walk, while its running sum stays in
// a register.
//
// The sign of term (j, k) is the parity of k & P(j) (P: reorder_parity_mask,
// linear over XOR) and of j & k & negative_mask.  With j = j0 ^ a, k = k0 ^
// b, and j0, k0 free of the low bits that a and b use, it splits into
//   parity(k0 & P(j0)) ^ parity(j0 & k0 & negative)   one bit per block,
//   parity(b & P(j0))                                  one bit per column,
//   parity(b & P(a)) ^ parity(a & b & negative)        fixed by a, b and the
//                                                      low bits of the masks,
// the first two put on the right factors as they are loaded, the last one
// compiled into the choice of adding or subtracting each term.  A term whose
// g is ±0 (a shared null vector) is left out: with finite factors it is ±0.
template <class L, unsigned B, unsigned Negative, unsigned Null>
struct UnitBlocks {
  static constexpr bool negated(unsigned a, unsigned b) noexcept {
    return parity(b & clifford::reorder_parity_mask(a)) != parity(a & b & Negative);
  }

  template <unsigned A, unsigned C>
  [[gnu::always_inline]] static void term(Vec<L> x, const Vec<L>* y, Vec<L>* sums) {
    if constexpr ((A & C & Null) == 0) {
      sums[A ^ C] = accumulate<L, negated(A, C)>(sums[A ^ C], L::mul(y[C], x));
    }
  }

  // Row A: the terms of left component A with the right components in
  // `Columns`, none if A is not in `Rows`.
  template <std::uint64_t Rows, std::uint64_t Columns, unsigned A, unsigned... C>
  [[gnu::always_inline]] static void row(const Vec<L>* left, const Vec<L>* y, Vec<L>* sums,
                                         std::integer_sequence<unsigned, C...>) {
    if constexpr (((Rows >> A) & 1) != 0) {
      const Vec<L> x = left[A];
      ((((Columns >> C) & 1) != 0 ? term<A, C>(x, y, sums) : void()), ...);
    }
  }

  template <std::uint64_t Rows, std::uint64_t Columns, unsigned... A>
  [[gnu::always_inline]] static void rows(const Vec<L>* x, const Vec<L>* y, Vec<L>* sums,
                                          std::integer_sequence<unsigned, A...>) {
    (row<Rows, Columns, A>(x, y, sums, std::make_integer_sequence<unsigned, B>()), ...);
  }

  static constexpr std::uint64_t kAllRows = (std::uint64_t{1} << B) - 1;

  // The components of a block whose blades have an even number of basis
  // vectors (relative to the block's first blade), and the odd ones.  A
  // rotor, a motor or any even multivector lives in one of the two halves of
  // each block, and so do vectors, points, planes and other odd ones.
  static constexpr std::uint64_t kEven = [] {
    std::uint64_t mask = 0;
    for (unsigned a = 0; a < B; ++a) {
      mask |= static_cast<std::uint64_t>(!parity(a)) << a;
    }
    return mask;
  }();
  static constexpr std::uint64_t kOdd = kAllRows & ~kEven;

  // The smallest of the even half, the odd half and the whole block that
  // holds every component in `bits`.
  static constexpr std::uint64_t cover(std::uint64_t bits) noexcept {
    return (bits & ~kEven) == 0 ? kEven : (bits & ~kOdd) == 0 ? kOdd : kAllRows;
  }

  // The components of the products of factors within `left` and `right`
  // that can be non-zero: blade j ^ k is even when j and k are alike.
  static constexpr std::uint64_t product_cover(std::uint64_t left, std::uint64_t right) noexcept {
    left = cover(left);
    right = cover(right);
    return left == kAllRows || right == kAllRows ? kAllRows : left == right ? kEven : kOdd;
  }

  // f(std::integral_constant<cover(bits)>).
  template <class F>
  [[gnu::always_inline]] static void with_cover(std::uint64_t bits, F&& f) {
    if ((bits & ~kEven) == 0) {
      f(std::integral_constant<std::uint64_t, kEven>{});
    } else if ((bits & ~kOdd) == 0) {
      f(std::integral_constant<std::uint64_t, kOdd>{});
    } else {
      f(std::integral_constant<std::uint64_t, kAllRows>{});
    }
  }

  // The terms of one block: left components x[0 .. B), right components y[0
  // .. B) with their block and column signs on.  `live` has a bit for each
  // left component that is non-zero in some lane, `columns` one for each
  // right component.  The terms are taken in straight-line code for the
  // covers of the two (see cover): the half-block a rotor or a vector lives
  // in costs a quarter of the dense block and no test per term.  A term
  // whose factor is zero in every lane can be taken or left alike: with
  // finite factors it is ±0, and a running sum, which starts at +0 and so is
  // never -0, is the same after adding it.
  [[gnu::always_inline]] static void block(const Vec<L>* x, const Vec<L>* y, Vec<L>* sums,
                                           std::uint64_t live, std::uint64_t columns = kAllRows) {
    if (live == 0 || columns == 0) {
      return;
    }
    with_cover(live, [&](auto rows_cover) __attribute__((always_inline)) {
      with_cover(columns, [&](auto columns_cover) __attribute__((always_inline)) {
        rows<decltype(rows_cover)::value, decltype(columns_cover)::value>(
            x, y, sums, std::make_integer_sequence<unsigned, B>());
      });
    });
  }

  // The live rows of the block of left components x[0 .. B), tested here.
  [[gnu::always_inline]] static std::uint64_t live_rows(const Vec<L>* x) {
    std::uint64_t live = 0;
    for (unsigned a = 0; a < B; ++a) {
      live |= static_cast<std::uint64_t>(L::any_nonzero(x[a])) << a;
    }
    return live;
  }

  // `live`: a bit per left component (see Columns), or null to test the
  // components here; `live_right`: a bit per right component, or null to
  // take every one.  A block of right components that are zero in every
  // lane is skipped whole.
  static void product(const Vec<L>* X, const Vec<L>* Y, Vec<L>* OUT, std::uint64_t dimension,
                      const std::uint64_t* live, const std::uint64_t* live_right,
                      std::uint64_t negative_mask, std::uint64_t null_mask, CancelClock& clock) {
    for (std::uint64_t r0 = 0; r0 < dimension; r0 += B) {
      Vec<L> sums[B];
      for (unsigned r = 0; r < B; ++r) {
        sums[r] = L::zero();
      }
      for (std::uint64_t j0 = 0; j0 < dimension; j0 += B) {
        const std::uint64_t k0 = j0 ^ r0;
        const std::uint64_t columns =
            live_right != nullptr ? (live_right[k0 / 64] >> (k0 % 64)) & kAllRows : kAllRows;
        if ((j0 & k0 & null_mask) != 0 || columns == 0) {
          continue;
        }
        const std::uint64_t reorder = clifford::reorder_parity_mask(j0);
        const bool block_negated = parity(k0 & reorder) != parity(j0 & k0 & negative_mask);
        Vec<L> y[B];
        for (unsigned b = 0; b < B; ++b) {
          y[b] = L::negate_if(Y[k0 + b], block_negated != parity(b & reorder));
        }
        block(X + j0, y, sums,
              live != nullptr ? (live[j0 / 64] >> (j0 % 64)) & kAllRows : live_rows(X + j0),
              columns);
      }
      for (unsigned r = 0; r < B; ++r) {
        OUT[r0 + r] = sums[r];
      }
      clock.count(dimension * B);
    }
  }

  // Every pair of a call whose products are one block (2^n = B), with the
  // vectors in registers.  A repeated operand is loaded once.
  template <class In>
  static void run_one_block(std::size_t count, In a, In b, const clifford::Metric& metric,
                            ItemsOut products) {
    CancelClock clock;
    FixedColumns<L, B, In> left(a);
    FixedColumns<L, B, In> right(b);
    double copies[3 * B];
    for (std::size_t first = 0; first < count; first += L::W) {
      const std::size_t n = std::min(L::W, count - first);
      left.load(first, n);
      right.load(first, n);
      Vec<L> sums[B] = {};
      block(left.columns, right.columns, sums, left.live, right.live);
      const auto out = output_rows<L, In, false>(products, first, n);
      const unsigned lanes = lanes_below(n);
      const unsigned nonfinite = left.nonfinite | right.nonfinite;
      store_or_redo<L>(sums, out, B, lanes, nonfinite, [&](std::size_t lane) {
        write_item(out, lane, B, copies + 2 * B, [&](double* item) {
          scalar_product(adjacent_item(left.rows, lane, B, copies),
                         adjacent_item(right.rows, lane, B, copies + B), metric, B, item);
        });
      });
      clock.count(B * B);
    }
  }

  // Every pair of a call whose products span several blocks, with the
  // vectors in `aside` (3 × 2^n of them).
  template <class In>
  static void run(std::size_t count, In a, In b, const clifford::Metric& metric, ItemsOut products,
                  Vec<L>* aside) {
    const std::uint64_t dimension = std::uint64_t{1} << metric.entries.size();
    if (dimension == B) {
      return run_one_block(count, a, b, metric, products);
    }
    CancelClock clock;
    std::uint64_t live[kMaxLaneDimension / 64];
    std::uint64_t live_right[kMaxLaneDimension / 64];
    Columns<L, In> left(a, dimension, aside, live);
    Columns<L, In> right(b, dimension, aside + dimension, live_right);
    Vec<L>* const OUT = aside + 2 * dimension;
    std::vector<double> copies = copies_for<In>(dimension);
    for (std::size_t first = 0; first < count; first += L::W) {
      const std::size_t n = std::min(L::W, count - first);
      const auto out = output_rows<L, In, true>(products, first, n);
      const unsigned nonfinite = left.load(first, n) | right.load(first, n);
      const unsigned lanes = lanes_below(n);
      if ((lanes & ~nonfinite) != 0) {
        product(left.columns(), right.columns(), OUT, dimension, left.live(), right.live(),
                metric.negative_mask, metric.null_mask, clock);
      }
      store_or_redo<L>(OUT, out, dimension, lanes, nonfinite, [&](std::size_t lane) {
        write_item(out, lane, dimension, copies.data() + 2 * dimension, [&](double* item) {
          scalar_product(adjacent_item(left.rows(), lane, dimension, copies.data()),
                         adjacent_item(right.rows(), lane, dimension, copies.data() + dimension),
                         metric, dimension, item);
        });
        clock.count(CancelClock::terms(dimension));
      });
    }
  }

  // The sandwiches r x r̃ of a call: the product p = r x, then p r̃, with r̃
  // the reverse of r (sign flips).  Each lane is exact while r, x and p are
  // finite; a lane where one is not gets the two scalar products.
  static void redo_sandwich(const double* r, const double* x, const clifford::Metric& metric,
                            std::uint64_t dimension, double* scratch, double* out) {
    scalar_product(r, x, metric, dimension, scratch);
    clifford::reverse_into(r, dimension, scratch + dimension);
    scalar_product(scratch, scratch + dimension, metric, dimension, out);
  }

  // With products of one block (2^n = B), every vector in registers.
  template <class In>
  static void sandwich_one_block(std::size_t count, In r, In x, const clifford::Metric& metric,
                                 ItemsOut products) {
    CancelClock clock;
    FixedColumns<L, B, In> rotor(r);
    FixedColumns<L, B, In> middle(x);
    Vec<L> reverse[B] = {};
    double scratch[2 * B];
    double copies[3 * B];
    for (std::size_t first = 0; first < count; first += L::W) {
      const std::size_t n = std::min(L::W, count - first);
      if (first == 0 || !rotor.repeated) {
        rotor.load(first, n);
        for (unsigned k = 0; k < B; ++k) {
          reverse[k] = L::negate_if(rotor.columns[k], clifford::reverse_negates(k));
        }
      }
      middle.load(first, n);
      Vec<L> p[B] = {};
      block(rotor.columns, middle.columns, p, rotor.live, middle.live);
      Vec<L> spread = L::zero();
      for (unsigned k = 0; k < B; ++k) {
        spread = L::spread(spread, p[k]);
      }
      Vec<L> q[B] = {};
      // The reverse is zero where the rotor is.
      block(p, reverse, q, product_cover(rotor.live, middle.live), rotor.live);
      const auto out = output_rows<L, In, false>(products, first, n);
      const unsigned lanes = lanes_below(n);
      const unsigned nonfinite = rotor.nonfinite | middle.nonfinite | L::nonzero_bits(spread);
      store_or_redo<L>(q, out, B, lanes, nonfinite, [&](std::size_t lane) {
        write_item(out, lane, B, copies + 2 * B, [&](double* item) {
          redo_sandwich(adjacent_item(rotor.rows, lane, B, copies),
                        adjacent_item(middle.rows, lane, B, copies + B), metric, B, scratch, item);
        });
      });
      clock.count(2 * B * B);
    }
  }

  // With products of several blocks, the vectors in `aside` (5 × 2^n).
  template <class In>
  static void run_sandwich(std::size_t count, In r, In x, const clifford::Metric& metric,
                           ItemsOut products, Vec<L>* aside) {
    const std::uint64_t dimension = std::uint64_t{1} << metric.entries.size();
    if (dimension == B) {
      return sandwich_one_block(count, r, x, metric, products);
    }
    Vec<L>* const P = aside + 2 * dimension;
    Vec<L>* const REVERSE = P + dimension;
    Vec<L>* const Q = REVERSE + dimension;
    std::uint64_t live[kMaxLaneDimension / 64];
    std::uint64_t live_middle[kMaxLaneDimension / 64];
    Columns<L, In> rotor(r, dimension, aside, live);
    Columns<L, In> middle(x, dimension, aside + dimension, live_middle);
    std::vector<double> scratch(2 * dimension);
    std::vector<double> copies = copies_for<In>(dimension);
    CancelClock clock;
    for (std::size_t first = 0; first < count; first += L::W) {
      const std::size_t n = std::min(L::W, count - first);
      unsigned nonfinite = rotor.load(first, n) | middle.load(first, n);
      if (first == 0 || !repeats(r)) {
        for (std::uint64_t k = 0; k < dimension; ++k) {
          REVERSE[k] = L::negate_if(rotor.columns()[k], clifford::reverse_negates(k));
        }
      }
      product(rotor.columns(), middle.columns(), P, dimension, live, live_middle,
              metric.negative_mask, metric.null_mask, clock);
      Vec<L> spread = L::zero();
      for (std::uint64_t k = 0; k < dimension; ++k) {
        spread = L::spread(spread, P[k]);
      }
      nonfinite |= L::nonzero_bits(spread);
      // The reverse is zero where the rotor is.
      product(P, REVERSE, Q, dimension, nullptr, live, metric.negative_mask, metric.null_mask,
              clock);
      const auto out = output_rows<L, In, true>(products, first, n);
      const unsigned lanes = lanes_below(n);
      store_or_redo<L>(Q, out, dimension, lanes, nonfinite, [&](std::size_t lane) {
        write_item(out, lane, dimension, copies.data() + 2 * dimension, [&](double* item) {
          redo_sandwich(adjacent_item(rotor.rows(), lane, dimension, copies.data()),
                        adjacent_item(middle.rows(), lane, dimension, copies.data() + dimension),
                        metric, dimension, scratch.data(), item);
        });
        clock.count(CancelClock::terms(dimension));
      });
    }
  }

  // One lane: the items' own memory serves as the vectors.
  static void run_one_lane(std::size_t count, ItemStarts a, ItemStarts b,
                           const clifford::Metric& metric, ItemsOut products) {
    const std::uint64_t dimension = std::uint64_t{1} << metric.entries.size();
    CancelClock clock;
    for (std::size_t i = 0; i < count; ++i) {
      const double* const left = a.item(i);
      const double* const right = b.item(i);
      double* const out = products.item(i);
      if (all_finite(left, dimension) && all_finite(right, dimension)) {
        product(left, right, out, dimension, nullptr, nullptr, metric.negative_mask,
                metric.null_mask, clock);
      } else {
        scalar_product(left, right, metric, dimension, out);
        clock.count(CancelClock::terms(dimension));
      }
    }
  }
};

// The runs for operands `In`: ItemStarts (components adjacent) or ItemsIn
// (component-major, see ComponentRows).
template <class L, class In>
using UnitRun = void (*)(std::size_t, In, In, const clifford::Metric&, ItemsOut, Vec<L>*);

// The products and the sandwiches of one pattern of low signature entries.
template <class L, class In>
struct UnitRuns {
  UnitRun<L, In> product;
  UnitRun<L, In> sandwich;  // null: no lane sandwich (one lane)
};

// The low `bits` entries of a signature as one number, a base-3 digit each:
// 0 for +1, 1 for -1, 2 for 0; and back to the masks.
constexpr unsigned digits_mask(std::size_t code, unsigned bits, unsigned digit) noexcept {
  unsigned mask = 0;
  for (unsigned m = 0; m < bits; ++m, code /= 3) {
    mask |= (code % 3 == digit ? 1u : 0u) << m;
  }
  return mask;
}

constexpr std::size_t power_of_3(unsigned bits) noexcept {
  return bits == 0 ? 1 : 3 * power_of_3(bits - 1);
}

template <class L, unsigned B, class In, std::size_t... Codes>
constexpr std::array<UnitRuns<L, In>, sizeof...(Codes)> unit_runs(std::index_sequence<Codes...>) {
  constexpr unsigned bits = std::countr_zero(B);
  if constexpr (L::W == 1) {
    static_assert(std::is_same_v<In, ItemStarts>, "one lane reads adjacent components only");
    return {UnitRuns<L, In>{
        [](std::size_t count, ItemStarts a, ItemStarts b, const clifford::Metric& metric,
           ItemsOut products, Vec<L>*) {
          UnitBlocks<L, B, digits_mask(Codes, bits, 1), digits_mask(Codes, bits, 2)>::run_one_lane(
              count, a, b, metric, products);
        },
        nullptr}...};
  } else {
    return {
        UnitRuns<L, In>{&UnitBlocks<L, B, digits_mask(Codes, bits, 1),
                                    digits_mask(Codes, bits, 2)>::template run<In>,
                        &UnitBlocks<L, B, digits_mask(Codes, bits, 1),
                                    digits_mask(Codes, bits, 2)>::template run_sandwich<In>}...};
  }
}

template <class L, unsigned B, class In>
UnitRuns<L, In> unit_run_of(const clifford::Metric& metric) {
  constexpr unsigned bits = std::countr_zero(B);
  static constexpr auto kRuns = unit_runs<L, B, In>(std::make_index_sequence<power_of_3(bits)>());
  std::size_t code = 0;
  std::size_t scale = 1;
  for (unsigned m = 0; m < bits; ++m, scale *= 3) {
    const bool negative = (metric.negative_mask >> m & 1) != 0;
    const bool null = (metric.null_mask >> m & 1) != 0;
    code += scale * (negative ? 1 : null ? 2 : 0);
  }
  return kRuns[code];
}

// The blocks as large as the vector registers allow and the algebra has.
template <class L, class In = ItemStarts>
UnitRuns<L, In> unit_run_for(std::uint64_t dimension, const clifford::Metric& metric) {
  if constexpr (L::kBlock >= 8) {
    if (dimension >= 8) {
      return unit_run_of<L, 8, In>(metric);
    }
  }
  if (dimension >= 4) {
    return unit_run_of<L, 4, In>(metric);
  }
  if (dimension >= 2) {
    return unit_run_of<L, 2, In>(metric);
  }
  return unit_run_of<L, 1, In>(metric);
}

template <class L>
void clifford(std::size_t count, ItemStarts a, ItemStarts b, const clifford::Metric& metric,
              ItemsOut products) {
  const std::uint64_t dimension = std::uint64_t{1} << metric.entries.size();
  if (!metric.unit) {
    return kScalarKernels.clifford(count, a, b, metric, products);
  }
  const UnitRun<L, ItemStarts> run = unit_run_for<L>(dimension, metric).product;
  if (L::W == 1 || dimension <= L::kBlock) {
    return run(count, a, b, metric, products, nullptr);
  }
  const Aside<L> aside(dimension <= kMaxLaneDimension ? 3 * dimension : 0);
  if (aside.vectors == nullptr) {
    return kPortableKernels.clifford(count, a, b, metric, products);
  }
  run(count, a, b, metric, products, aside.vectors);
}

template <class L>
void sandwich(std::size_t count, ItemStarts r, ItemStarts x, const clifford::Metric& metric,
              ItemsOut products) {
  const std::uint64_t dimension = std::uint64_t{1} << metric.entries.size();
  const UnitRun<L, ItemStarts> run =
      metric.unit ? unit_run_for<L>(dimension, metric).sandwich : nullptr;
  if (run == nullptr || dimension > kMaxLaneDimension) {
    return sandwich_by_products(clifford<L>, count, r, x, metric, products);
  }
  if (dimension <= L::kBlock) {
    return run(count, r, x, metric, products, nullptr);
  }
  const Aside<L> aside(5 * dimension);
  if (aside.vectors == nullptr) {
    return sandwich_by_products(clifford<L>, count, r, x, metric, products);
  }
  run(count, r, x, metric, products, aside.vectors);
}

// Largest product read component-major.  Each component of an operand is a
// stream of its own; past 16 of them (with three operands, 48 streams) the
// loads and stores run slower than copying the items into adjacent
// components and back (measured: Cl(4,1), 32 components, twice as slow).
constexpr std::uint64_t kMaxComponentMajorDimension = 16;

// clifford (Sandwich: sandwich) for component-major operands; false, having
// done nothing, where the lanes do not apply.
template <class L, bool Sandwich>
bool by_components(std::size_t count, ItemsIn a, ItemsIn b, const clifford::Metric& metric,
                   ItemsOut products) {
  const std::uint64_t dimension = std::uint64_t{1} << metric.entries.size();
  if (!metric.unit || dimension > kMaxComponentMajorDimension) {
    return false;
  }
  const UnitRuns<L, ItemsIn> runs = unit_run_for<L, ItemsIn>(dimension, metric);
  const UnitRun<L, ItemsIn> run = Sandwich ? runs.sandwich : runs.product;
  if (dimension <= L::kBlock) {
    run(count, a, b, metric, products, nullptr);
    return true;
  }
  const Aside<L> aside((Sandwich ? 5 : 3) * dimension);
  if (aside.vectors == nullptr) {
    return false;
  }
  run(count, a, b, metric, products, aside.vectors);
  return true;
}

}  // namespace
}  // namespace vyr::lanes
