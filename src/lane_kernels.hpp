// The lane kernels, written once over a set of vector operations `L` and built
// for each instruction set by one translation unit (src/lanes_*.cpp), which
// includes this file where that instruction set is enabled.  That unit
// includes every header named below before it enables the instructions, so
// that whatever those headers define for everyone is built for every
// processor; and everything defined here has internal linkage, so that no
// copy built for one instruction set can stand in for another's.
//
// `L` provides
//   V, W, kBlock        a vector of W doubles (item i of a group in lane i), and
//                       the side of the blocks of Clifford terms it works on
//   zero, set1, add, sub, mul, sqrt, negate_if(v, bool), loadu, storeu
//   sum(a, b)           add::sum, lane by lane
//   any_nonzero(v)      some lane is not == 0.0 (a NaN is not zero)
//   nonzero_bits(v), nan(v)   the lanes whose bits are not all 0 / that hold a
//                       NaN, as bits
//   spread(s, v)        s | (v - v), bit by bit: +0 while every v is finite
//   load_first(p, m), store_first(p, m, v)  the first m of W adjacent doubles
//   transpose(r)        r[i] lane j <-> r[j] lane i, for the W vectors r
//   nonzero_components(r)  bit c set when lane c of some r[i] is not zero
//   to_array(v, out)    the W lanes into out[0 .. W - 1]
//
// Why the results are the scalar routines' bits: each lane performs the
// scalar routine's multiplications and additions for its item, in the same
// order, on the same values.  Two things differ, and neither changes a bit
// while every input of the item is finite:
// - Terms with a zero factor are not skipped, they are added.  With finite
//   factors such a term is ±0, and adding ±0 leaves an accumulator unchanged
//   unless the accumulator is -0; accumulators start at +0 and a sum is -0
//   only when both addends are, so they never are.
// - A term that the scalar routine adds negated, acc + (-(y × x)), is
//   subtracted here, acc - y × x, and a negative sign may sit on either
//   factor: IEEE defines subtraction as the addition of the negation, and
//   rounding to nearest is symmetric, so both give the same bits whenever no
//   NaN takes part.  (With finite inputs a NaN can only arise as inf - inf,
//   which every path turns into the same default NaN.)
// So items with an input that is not finite are handed to the scalar routine
// instead; the norms, which have no zero terms to skip, need that only for a
// result that is NaN.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <utility>

#include "core/strided.hpp"
#include "parallel/engine.hpp"
#include "src/add.hpp"
#include "src/clifford.hpp"
#include "src/lanes.hpp"
#include "src/lattice.hpp"
#include "src/octonion.hpp"

namespace vyr::lanes {

namespace {

template <class L>
using Vec = typename L::V;

constexpr unsigned lanes_below(std::size_t n) noexcept {
  return n >= 32 ? ~0u : (1u << n) - 1;
}

constexpr bool parity(std::uint64_t bits) noexcept {
  return (std::popcount(bits) & 1) != 0;
}

inline bool repeats(ItemStarts items) noexcept {
  return items.offsets == nullptr && items.item_step == 0;
}

// Components first .. first + n - 1 of the W items that start at rows[0 ..
// W - 1] (ItemRows or RowArray), one vector per component, by W × W transposes (or
// broadcasts, when every lane has the same item).  Returns the OR of x - x over them, which is
// +0 in the lanes where every component is finite, and sets bit c of `live`
// (when given) for each component c that is not zero in some lane.
template <class L, class Rows>
[[gnu::always_inline]] inline Vec<L> load_columns(const Rows& rows, std::size_t first,
                                                  std::size_t n, Vec<L>* columns,
                                                  std::uint64_t* live = nullptr) {
  Vec<L> spread = L::zero();
  if (rows.repeated()) {
    for (std::size_t c = 0; c < n; ++c) {
      const double value = rows[0][first + c];
      columns[c] = L::set1(value);
      spread = L::spread(spread, columns[c]);
      if (live != nullptr && !(value == 0.0)) {
        live[c / 64] |= std::uint64_t{1} << (c % 64);
      }
    }
    return spread;
  }
  std::size_t c0 = 0;
  for (; c0 + L::W <= n; c0 += L::W) {
    Vec<L>* const r = columns + c0;
    for (std::size_t lane = 0; lane < L::W; ++lane) {
      r[lane] = L::loadu(rows[lane] + first + c0);
    }
    if (live != nullptr) {
      live[c0 / 64] |= L::nonzero_components(r) << (c0 % 64);
    }
    L::transpose(r);
    for (std::size_t c = 0; c < L::W; ++c) {
      spread = L::spread(spread, r[c]);
    }
  }
  if (c0 < n) {
    const std::size_t m = n - c0;
    Vec<L> r[L::W];
    for (std::size_t lane = 0; lane < L::W; ++lane) {
      r[lane] = L::load_first(rows[lane] + first + c0, m);
    }
    if (live != nullptr) {
      live[c0 / 64] |= L::nonzero_components(r) << (c0 % 64);
    }
    L::transpose(r);
    for (std::size_t c = 0; c < m; ++c) {
      columns[c0 + c] = r[c];
      spread = L::spread(spread, r[c]);
    }
  }
  return spread;
}

// The reverse of load_columns, for the items whose bit is set in `lanes`.
template <class L, class Rows>
[[gnu::always_inline]] inline void store_columns(const Vec<L>* columns, const Rows& rows,
                                                 std::size_t first, std::size_t n, unsigned lanes) {
  constexpr unsigned kAllLanes = (1u << L::W) - 1;
  std::size_t c0 = 0;
  for (; c0 + L::W <= n; c0 += L::W) {
    Vec<L> r[L::W];
    for (std::size_t c = 0; c < L::W; ++c) {
      r[c] = columns[c0 + c];
    }
    L::transpose(r);
    for (std::size_t lane = 0; lane < L::W; ++lane) {
      if (lanes == kAllLanes || (lanes >> lane & 1) != 0) {
        L::storeu(rows[lane] + first + c0, r[lane]);
      }
    }
  }
  if (c0 < n) {
    const std::size_t m = n - c0;
    Vec<L> r[L::W];
    for (std::size_t c = 0; c < L::W; ++c) {
      r[c] = c < m ? columns[c0 + c] : L::zero();
    }
    L::transpose(r);
    for (std::size_t lane = 0; lane < L::W; ++lane) {
      if ((lanes >> lane & 1) != 0) {
        L::store_first(rows[lane] + first + c0, m, r[lane]);
      }
    }
  }
}

// The items [first, first + n) (n > 0) of an operand as the rows of a group,
// the last one repeated in the lanes past n, for loads of one chunk of
// components: each row's address is made where it is used.  (An array of the
// addresses, which the compiler fills with one vector store, makes every
// later read of one wait for that store.)
struct ItemRows {
  ItemStarts items;
  std::size_t first;
  std::size_t n;

  const double* operator[](std::size_t lane) const noexcept {
    return items.item(first + (lane < n ? lane : n - 1));
  }
  bool repeated() const noexcept {
    return n == 1 || (items.offsets == nullptr && items.item_step == 0);
  }
};

// The same rows as an array, for loads of many chunks, which read every
// address once per chunk.
template <class L>
struct RowArray {
  RowArray(ItemStarts operand, std::size_t first, std::size_t n) noexcept {
    fill(operand, first, n);
  }
  // Filled in place: a copy of the array moves it with vector stores too.
  void fill(ItemStarts operand, std::size_t first, std::size_t n) noexcept {
    all_one_item = ItemRows{operand, first, n}.repeated();
    if (n == L::W && operand.offsets == nullptr) {
      const char* item = reinterpret_cast<const char*>(operand.item(first));
      for (std::size_t lane = 0; lane < L::W; ++lane, item += operand.item_step) {
        rows[lane] = reinterpret_cast<const double*>(item);
      }
      return;
    }
    for (std::size_t lane = 0; lane < L::W; ++lane) {
      rows[lane] = ItemRows{operand, first, n}[lane];
    }
  }
  const double* operator[](std::size_t lane) const noexcept { return rows[lane]; }
  bool repeated() const noexcept { return all_one_item; }

  bool all_one_item;
  const double* rows[L::W];
};

// The items [first, first + n) of an output (lanes past n have none), each
// address made where it is used, as ItemRows does; and as an array, for
// stores of many chunks.
struct OutputRows {
  ItemsOut items;
  std::size_t first;

  double* operator[](std::size_t lane) const noexcept { return items.item(first + lane); }
};

template <class L>
struct OutputArray {
  OutputArray(ItemsOut items, std::size_t first, std::size_t n) noexcept {
    char* item = reinterpret_cast<char*>(items.item(first));
    for (std::size_t lane = 0; lane < L::W; ++lane, item += items.item_step) {
      rows[lane] = lane < n ? reinterpret_cast<double*>(item) : nullptr;
    }
  }
  double* operator[](std::size_t lane) const noexcept { return rows[lane]; }

  double* rows[L::W];
};

// The `length` components of the items of one operand, one vector per
// component, for each group of W items in turn.  An operand that hands every
// pair the same item is loaded and checked once for the whole call.
// `live`, when given, receives a bit per component (see load_columns) and
// holds room for `length` bits.
template <class L>
class Columns {
 public:
  Columns(ItemStarts items, std::size_t length, Vec<L>* columns,
          std::uint64_t* live = nullptr) noexcept
      : items_(items), length_(length), columns_(columns), live_(live), repeated_(repeats(items)) {}

  // Loads the items [first, first + n) (n > 0) and returns the lanes that
  // hold a component that is not finite.
  unsigned load(std::size_t first, std::size_t n) {
    rows_.fill(items_, first, n);
    if (!repeated_ || !loaded_) {
      if (live_ != nullptr) {
        std::fill(live_, live_ + (length_ + 63) / 64, 0);
      }
      nonfinite_ = L::nonzero_bits(load_columns<L>(rows_, 0, length_, columns_, live_));
      loaded_ = true;
    }
    return nonfinite_;
  }
  const Vec<L>* columns() const noexcept { return columns_; }
  const std::uint64_t* live() const noexcept { return live_; }
  const double* item(std::size_t lane) const noexcept { return rows_[lane]; }

 private:
  ItemStarts items_;
  std::size_t length_;
  Vec<L>* columns_;
  std::uint64_t* live_;
  bool repeated_;
  bool loaded_ = false;
  unsigned nonfinite_ = 0;
  RowArray<L> rows_{items_, 0, 1};
};

// The N components of the items of one operand as N vectors, for products
// small enough to keep them in registers; as Columns, a repeated operand is
// loaded once.
template <class L, unsigned N>
struct FixedColumns {
  explicit FixedColumns(ItemStarts operand) noexcept : items(operand), repeated(repeats(operand)) {}

  // Loads the items [first, first + n) (n > 0), noting which components are
  // non-zero somewhere in `live` and which lanes are not finite in
  // `nonfinite`.
  [[gnu::always_inline]] void load(std::size_t first, std::size_t n) {
    rows = ItemRows{items, first, n};
    if (repeated && first > 0) {
      return;
    }
    live = 0;
    nonfinite = L::nonzero_bits(load_columns<L>(rows, 0, N, columns, &live));
  }

  ItemStarts items;
  bool repeated;
  Vec<L> columns[N] = {};
  ItemRows rows{items, 0, 1};
  std::uint64_t live = 0;
  unsigned nonfinite = 0;
};

template <class L, bool Negative>
[[gnu::always_inline]] inline Vec<L> accumulate(Vec<L> sum, Vec<L> term) {
  if constexpr (Negative) {
    return L::sub(sum, term);
  } else {
    return L::add(sum, term);
  }
}

// Work between two looks at whether the caller has given up, in vector
// terms: well under a millisecond.
class CancelClock {
 public:
  // The terms of a product of 2^n components, n <= 59.
  static std::uint64_t terms(std::uint64_t dimension) noexcept {
    return dimension >= (std::uint64_t{1} << 32) ? kWorkBetweenChecks : dimension * dimension;
  }
  void count(std::uint64_t work) {
    work_ += work;
    if (work_ >= kWorkBetweenChecks) {
      work_ = 0;
      if (parallel::cancel_requested()) {
        throw parallel::Cancelled();
      }
    }
  }

 private:
  static constexpr std::uint64_t kWorkBetweenChecks = std::uint64_t{1} << 20;
  std::uint64_t work_ = 0;
};

// ------------------------------------------------------------------ add

template <class L, bool AdjacentA, bool AdjacentB>
void add_run(std::size_t count, const double* a, const double* b, double* sums) noexcept {
  std::size_t i = 0;
  if (count >= L::W) {
    const Vec<L> fixed_a = L::set1(*a);
    const Vec<L> fixed_b = L::set1(*b);
    for (; i + L::W <= count; i += L::W) {
      const Vec<L> left = AdjacentA ? L::loadu(a + i) : fixed_a;
      const Vec<L> right = AdjacentB ? L::loadu(b + i) : fixed_b;
      L::storeu(sums + i, L::sum(left, right));
    }
  }
  for (; i < count; ++i) {
    sums[i] = add::sum(a[AdjacentA ? i : 0], b[AdjacentB ? i : 0]);
  }
}

template <class L>
void add(std::size_t count, const double* a, std::size_t a_step, const double* b,
         std::size_t b_step, double* sums) noexcept {
  if (a_step != 0 && b_step != 0) {
    add_run<L, true, true>(count, a, b, sums);
  } else if (a_step != 0) {
    add_run<L, true, false>(count, a, b, sums);
  } else if (b_step != 0) {
    add_run<L, false, true>(count, a, b, sums);
  } else {
    add_run<L, false, false>(count, a, b, sums);
  }
}

// ------------------------------------------------------------------ octonions

// Row I of the product: c[k] receives b[j] · (±a[I]) for the j with
// e_I·e_j = ±e_k.  A row whose left coefficient is zero in every lane (its
// bit clear in `live`) is skipped, as the scalar walk skips it; when every
// row has a non-zero coefficient somewhere, the rows go without a test.
// (Rows and terms are unrolled through index sequences rather than lambdas,
// which cannot be forced inline.)
template <class L, std::size_t I, std::size_t... K>
[[gnu::always_inline]] inline void octonion_row(const Vec<L>* x, const Vec<L>* y, Vec<L>* c,
                                                std::index_sequence<K...>) {
  ((c[K] = accumulate<L, octonion::kContributions[I][K].negative>(
        c[K], L::mul(y[octonion::kContributions[I][K].right], x[I]))),
   ...);
}

template <class L, std::size_t... I>
[[gnu::always_inline]] inline void octonion_rows(const Vec<L>* x, const Vec<L>* y, Vec<L>* c,
                                                 std::uint64_t live, std::index_sequence<I...>) {
  if (live == 0xFF) {
    (octonion_row<L, I>(x, y, c, std::make_index_sequence<8>()), ...);
    return;
  }
  ((((live >> I) & 1) != 0 ? octonion_row<L, I>(x, y, c, std::make_index_sequence<8>()) : void()),
   ...);
}

template <class L>
void octonion_mul(std::size_t count, ItemStarts a, ItemStarts b, ItemsOut products) noexcept {
  FixedColumns<L, 8> left(a);
  FixedColumns<L, 8> right(b);
  for (std::size_t first = 0; first < count; first += L::W) {
    const std::size_t n = std::min(L::W, count - first);
    left.load(first, n);
    right.load(first, n);
    Vec<L> c[8];
    for (std::size_t k = 0; k < 8; ++k) {
      c[k] = L::zero();
    }
    octonion_rows<L>(left.columns, right.columns, c, left.live, std::make_index_sequence<8>());
    const OutputRows out{products, first};
    const unsigned lanes = lanes_below(n);
    const unsigned nonfinite = left.nonfinite | right.nonfinite;
    store_columns<L>(c, out, 0, 8, lanes & ~nonfinite);
    for (unsigned rest = lanes & nonfinite; rest != 0; rest &= rest - 1) {
      const int lane = std::countr_zero(rest);
      const octonion::Octonion product = octonion::mul_complete(left.rows[lane], right.rows[lane]);
      std::copy(product.begin(), product.end(), out[lane]);
    }
  }
}

// ------------------------------------------------------------------ norms

// Looks for cancellation between chunks of components, in long items too:
// every lane's sum runs on in the same order whenever the check returns.
template <class L>
void norms(std::size_t count, ItemStarts points, std::size_t length, bool root, ItemsOut out) {
  // Vector additions since the last look: each is one step of a dependent
  // chain, as a component of a scalar sum is.
  std::size_t since_check = 0;
  for (std::size_t first = 0; first < count; first += L::W) {
    const std::size_t n = std::min(L::W, count - first);
    const RowArray<L> rows(points, first, n);
    Vec<L> sum = L::set1(-0.0);
    for (std::size_t c0 = 0; c0 < length; c0 += L::W) {
      const std::size_t m = std::min(L::W, length - c0);
      Vec<L> columns[L::W];
      load_columns<L>(rows, c0, m, columns);
      for (std::size_t c = 0; c < m; ++c) {
        sum = L::add(sum, L::mul(columns[c], columns[c]));
      }
      since_check += m;
      if (since_check >= kComponentsBetweenChecks) [[unlikely]] {
        since_check = 0;
        parallel::check_cancellation();
      }
    }
    since_check += 1;
    if (root) {
      sum = L::sqrt(sum);
    }
    const unsigned redo = L::nan(sum);
    double values[L::W];
    L::to_array(sum, values);
    for (std::size_t lane = 0; lane < n; ++lane) {
      double value = values[lane];
      if ((redo >> lane & 1) != 0) {
        constexpr auto step = static_cast<std::ptrdiff_t>(sizeof(double));
        value = root ? octonion::norm_cancellable(rows[lane], length, step)
                     : lattice::norm_squared_cancellable(rows[lane], length, step);
      }
      *out.item(first + lane) = value;
    }
  }
}

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

  template <unsigned A, unsigned... C>
  [[gnu::always_inline]] static void row(const Vec<L>* left, const Vec<L>* y, Vec<L>* sums,
                                         std::integer_sequence<unsigned, C...>) {
    const Vec<L> x = left[A];
    (term<A, C>(x, y, sums), ...);
  }

  static constexpr std::uint64_t kAllRows = (std::uint64_t{1} << B) - 1;

  template <unsigned... A>
  [[gnu::always_inline]] static void rows(const Vec<L>* x, const Vec<L>* y, Vec<L>* sums,
                                          std::uint64_t live,
                                          std::integer_sequence<unsigned, A...>) {
    if (live == kAllRows) {
      (row<A>(x, y, sums, std::make_integer_sequence<unsigned, B>()), ...);
      return;
    }
    ((((live >> A) & 1) != 0 ? row<A>(x, y, sums, std::make_integer_sequence<unsigned, B>())
                             : void()),
     ...);
  }

  // The terms of one block: left components x[0 .. B), right components y[0
  // .. B) with their block and column signs on.  A row whose bit is clear in
  // `live` (its left component zero in every lane) is skipped, as the scalar
  // walk skips it.
  [[gnu::always_inline]] static void block(const Vec<L>* x, const Vec<L>* y, Vec<L>* sums,
                                           std::uint64_t live) {
    rows(x, y, sums, live, std::make_integer_sequence<unsigned, B>());
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
  // components here.
  static void product(const Vec<L>* X, const Vec<L>* Y, Vec<L>* OUT, std::uint64_t dimension,
                      const std::uint64_t* live, std::uint64_t negative_mask,
                      std::uint64_t null_mask, CancelClock& clock) {
    for (std::uint64_t r0 = 0; r0 < dimension; r0 += B) {
      Vec<L> sums[B];
      for (unsigned r = 0; r < B; ++r) {
        sums[r] = L::zero();
      }
      for (std::uint64_t j0 = 0; j0 < dimension; j0 += B) {
        const std::uint64_t k0 = j0 ^ r0;
        if ((j0 & k0 & null_mask) != 0) {
          continue;
        }
        const std::uint64_t reorder = clifford::reorder_parity_mask(j0);
        const bool block_negated = parity(k0 & reorder) != parity(j0 & k0 & negative_mask);
        Vec<L> y[B];
        for (unsigned b = 0; b < B; ++b) {
          y[b] = L::negate_if(Y[k0 + b], block_negated != parity(b & reorder));
        }
        block(X + j0, y, sums,
              live != nullptr ? (live[j0 / 64] >> (j0 % 64)) & kAllRows : live_rows(X + j0));
      }
      for (unsigned r = 0; r < B; ++r) {
        OUT[r0 + r] = sums[r];
      }
      clock.count(dimension * B);
    }
  }

  // Every pair of a call whose products are one block (2^n = B), with the
  // vectors in registers.  A repeated operand is loaded once.
  static void run_one_block(std::size_t count, ItemStarts a, ItemStarts b,
                            const clifford::Metric& metric, ItemsOut products) {
    CancelClock clock;
    FixedColumns<L, B> left(a);
    FixedColumns<L, B> right(b);
    for (std::size_t first = 0; first < count; first += L::W) {
      const std::size_t n = std::min(L::W, count - first);
      left.load(first, n);
      right.load(first, n);
      Vec<L> sums[B] = {};
      block(left.columns, right.columns, sums, left.live);
      const OutputRows out{products, first};
      const unsigned lanes = lanes_below(n);
      const unsigned nonfinite = left.nonfinite | right.nonfinite;
      store_columns<L>(sums, out, 0, B, lanes & ~nonfinite);
      for (unsigned rest = lanes & nonfinite; rest != 0; rest &= rest - 1) {
        const int lane = std::countr_zero(rest);
        scalar_product(left.rows[lane], right.rows[lane], metric, B, out[lane]);
      }
      clock.count(B * B);
    }
  }

  // Every pair of a call whose products span several blocks, with the
  // vectors in `aside` (3 × 2^n of them).
  static void run(std::size_t count, ItemStarts a, ItemStarts b, const clifford::Metric& metric,
                  ItemsOut products, Vec<L>* aside) {
    const std::uint64_t dimension = std::uint64_t{1} << metric.entries.size();
    if (dimension == B) {
      return run_one_block(count, a, b, metric, products);
    }
    CancelClock clock;
    std::uint64_t live[kMaxLaneDimension / 64];
    Columns<L> left(a, dimension, aside, live);
    Columns<L> right(b, dimension, aside + dimension);
    Vec<L>* const OUT = aside + 2 * dimension;
    for (std::size_t first = 0; first < count; first += L::W) {
      const std::size_t n = std::min(L::W, count - first);
      const OutputArray<L> out(products, first, n);
      const unsigned nonfinite = left.load(first, n) | right.load(first, n);
      const unsigned lanes = lanes_below(n);
      if ((lanes & ~nonfinite) != 0) {
        product(left.columns(), right.columns(), OUT, dimension, left.live(), metric.negative_mask,
                metric.null_mask, clock);
        store_columns<L>(OUT, out, 0, dimension, lanes & ~nonfinite);
      }
      for (unsigned rest = lanes & nonfinite; rest != 0; rest &= rest - 1) {
        const int lane = std::countr_zero(rest);
        scalar_product(left.item(lane), right.item(lane), metric, dimension, out[lane]);
        clock.count(CancelClock::terms(dimension));
      }
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
  static void sandwich_one_block(std::size_t count, ItemStarts r, ItemStarts x,
                                 const clifford::Metric& metric, ItemsOut products) {
    CancelClock clock;
    FixedColumns<L, B> rotor(r);
    FixedColumns<L, B> middle(x);
    Vec<L> reverse[B] = {};
    double scratch[2 * B];
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
      block(rotor.columns, middle.columns, p, rotor.live);
      Vec<L> spread = L::zero();
      for (unsigned k = 0; k < B; ++k) {
        spread = L::spread(spread, p[k]);
      }
      Vec<L> q[B] = {};
      block(p, reverse, q, live_rows(p));
      const OutputRows out{products, first};
      const unsigned lanes = lanes_below(n);
      const unsigned nonfinite = rotor.nonfinite | middle.nonfinite | L::nonzero_bits(spread);
      store_columns<L>(q, out, 0, B, lanes & ~nonfinite);
      for (unsigned rest = lanes & nonfinite; rest != 0; rest &= rest - 1) {
        const int lane = std::countr_zero(rest);
        redo_sandwich(rotor.rows[lane], middle.rows[lane], metric, B, scratch, out[lane]);
      }
      clock.count(2 * B * B);
    }
  }

  // With products of several blocks, the vectors in `aside` (5 × 2^n).
  static void run_sandwich(std::size_t count, ItemStarts r, ItemStarts x,
                           const clifford::Metric& metric, ItemsOut products, Vec<L>* aside) {
    const std::uint64_t dimension = std::uint64_t{1} << metric.entries.size();
    if (dimension == B) {
      return sandwich_one_block(count, r, x, metric, products);
    }
    Vec<L>* const P = aside + 2 * dimension;
    Vec<L>* const REVERSE = P + dimension;
    Vec<L>* const Q = REVERSE + dimension;
    std::uint64_t live[kMaxLaneDimension / 64];
    Columns<L> rotor(r, dimension, aside, live);
    Columns<L> middle(x, dimension, aside + dimension);
    std::vector<double> scratch(2 * dimension);
    CancelClock clock;
    for (std::size_t first = 0; first < count; first += L::W) {
      const std::size_t n = std::min(L::W, count - first);
      unsigned nonfinite = rotor.load(first, n) | middle.load(first, n);
      if (first == 0 || !repeats(r)) {
        for (std::uint64_t k = 0; k < dimension; ++k) {
          REVERSE[k] = L::negate_if(rotor.columns()[k], clifford::reverse_negates(k));
        }
      }
      product(rotor.columns(), middle.columns(), P, dimension, live, metric.negative_mask,
              metric.null_mask, clock);
      Vec<L> spread = L::zero();
      for (std::uint64_t k = 0; k < dimension; ++k) {
        spread = L::spread(spread, P[k]);
      }
      nonfinite |= L::nonzero_bits(spread);
      product(P, REVERSE, Q, dimension, nullptr, metric.negative_mask, metric.null_mask, clock);
      const OutputArray<L> out(products, first, n);
      const unsigned lanes = lanes_below(n);
      store_columns<L>(Q, out, 0, dimension, lanes & ~nonfinite);
      for (unsigned rest = lanes & nonfinite; rest != 0; rest &= rest - 1) {
        const int lane = std::countr_zero(rest);
        redo_sandwich(rotor.item(lane), middle.item(lane), metric, dimension, scratch.data(),
                      out[lane]);
        clock.count(CancelClock::terms(dimension));
      }
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
        product(left, right, out, dimension, nullptr, metric.negative_mask, metric.null_mask,
                clock);
      } else {
        scalar_product(left, right, metric, dimension, out);
        clock.count(CancelClock::terms(dimension));
      }
    }
  }
};

template <class L>
using UnitRun = void (*)(std::size_t, ItemStarts, ItemStarts, const clifford::Metric&, ItemsOut,
                         Vec<L>*);

// The products and the sandwiches of one pattern of low signature entries.
template <class L>
struct UnitRuns {
  UnitRun<L> product;
  UnitRun<L> sandwich;  // null: no lane sandwich (one lane)
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

template <class L, unsigned B, std::size_t... Codes>
constexpr std::array<UnitRuns<L>, sizeof...(Codes)> unit_runs(std::index_sequence<Codes...>) {
  constexpr unsigned bits = std::countr_zero(B);
  if constexpr (L::W == 1) {
    return {UnitRuns<L>{
        [](std::size_t count, ItemStarts a, ItemStarts b, const clifford::Metric& metric,
           ItemsOut products, Vec<L>*) {
          UnitBlocks<L, B, digits_mask(Codes, bits, 1), digits_mask(Codes, bits, 2)>::run_one_lane(
              count, a, b, metric, products);
        },
        nullptr}...};
  } else {
    return {UnitRuns<L>{
        &UnitBlocks<L, B, digits_mask(Codes, bits, 1), digits_mask(Codes, bits, 2)>::run,
        &UnitBlocks<L, B, digits_mask(Codes, bits, 1),
                    digits_mask(Codes, bits, 2)>::run_sandwich}...};
  }
}

template <class L, unsigned B>
UnitRuns<L> unit_run_of(const clifford::Metric& metric) {
  constexpr unsigned bits = std::countr_zero(B);
  static constexpr auto kRuns = unit_runs<L, B>(std::make_index_sequence<power_of_3(bits)>());
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
template <class L>
UnitRuns<L> unit_run_for(std::uint64_t dimension, const clifford::Metric& metric) {
  if constexpr (L::kBlock >= 8) {
    if (dimension >= 8) {
      return unit_run_of<L, 8>(metric);
    }
  }
  if (dimension >= 4) {
    return unit_run_of<L, 4>(metric);
  }
  if (dimension >= 2) {
    return unit_run_of<L, 2>(metric);
  }
  return unit_run_of<L, 1>(metric);
}

template <class L>
void clifford(std::size_t count, ItemStarts a, ItemStarts b, const clifford::Metric& metric,
              ItemsOut products) {
  const std::uint64_t dimension = std::uint64_t{1} << metric.entries.size();
  if (!metric.unit) {
    return kScalarKernels.clifford(count, a, b, metric, products);
  }
  const UnitRun<L> run = unit_run_for<L>(dimension, metric).product;
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
  const UnitRun<L> run = metric.unit ? unit_run_for<L>(dimension, metric).sandwich : nullptr;
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

template <class L>
constexpr Kernels kernels_of(Path path, const char* name) {
  return {path, name, L::W, add<L>, octonion_mul<L>, norms<L>, clifford<L>, sandwich<L>};
}

}  // namespace
}  // namespace vyr::lanes
