// What the lane kernels share: loading items into vectors of components and
// storing them back, the rows of a group of items, cancellation.  The lane
// kernels (src/lane_kernels.hpp, src/lane_clifford.hpp) are written once
// over a set of vector operations `L` and built for each instruction set by
// one translation unit (src/lanes_*.cpp), which includes them where that
// instruction set is enabled.  That unit
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
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/strided.hpp"
#include "parallel/engine.hpp"
#include "src/lanes.hpp"

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

inline bool repeats(const ItemsIn& items) noexcept {
  return items.item_step == 0;
}

// The items [first, first + n) (n > 0) of an operand laid out component-major
// (a structure of arrays): component c of item i at data + c × component_step
// + i × item_step, the items adjacent (an item_step of one double) or one
// item for all (0).  A group's component is then one vector load, with no
// transpose.
struct ComponentRows {
  static constexpr bool kComponentMajor = true;
  ItemsIn items;
  std::size_t first;
  std::size_t n;

  const double* component(std::size_t c) const noexcept {
    return reinterpret_cast<const double*>(items.data +
                                           static_cast<std::ptrdiff_t>(first) * items.item_step +
                                           static_cast<std::ptrdiff_t>(c) * items.component_step);
  }
  bool repeated() const noexcept { return n == 1 || items.item_step == 0; }
  // The item of `lane`, its `length` components copied side by side into
  // `scratch`.
  const double* adjacent(std::size_t lane, std::size_t length, double* scratch) const noexcept {
    return items.gather(first + lane, length, scratch).data();
  }
};

// The items [first, first + n) of an output laid out component-major, the
// items adjacent: a component of a group is one vector store.
struct ComponentOutput {
  static constexpr bool kComponentMajor = true;
  ItemsOut items;
  std::size_t first;
  std::size_t n;

  double* component(std::size_t c) const noexcept { return &items.component(items.item(first), c); }
  // Writes the `length` values of the item of `lane`.
  void scatter(std::size_t lane, std::size_t length, const double* values) const noexcept {
    double* const item = items.item(first + lane);
    for (std::size_t c = 0; c < length; ++c) {
      items.component(item, c) = values[c];
    }
  }
};

template <class Rows>
concept ComponentMajor = Rows::kComponentMajor;

// load_columns for component-major rows: one load per component.
template <class L, class Rows>
[[gnu::always_inline]] inline Vec<L> load_components(const Rows& rows, std::size_t first,
                                                     std::size_t n, Vec<L>* columns,
                                                     std::uint64_t* live) {
  Vec<L> spread = L::zero();
  const bool repeated = rows.repeated();
  for (std::size_t c = 0; c < n; ++c) {
    const double* const component = rows.component(first + c);
    const Vec<L> v = repeated         ? L::set1(*component)
                     : rows.n == L::W ? L::loadu(component)
                                      : L::load_first(component, rows.n);
    columns[c] = v;
    spread = L::spread(spread, v);
    if (live != nullptr && L::any_nonzero(v)) {
      live[c / 64] |= std::uint64_t{1} << (c % 64);
    }
  }
  return spread;
}

// Components first .. first + n - 1 of the W items that start at rows[0 ..
// W - 1] (ItemRows or RowArray), one vector per component, by W × W transposes (or
// broadcasts, when every lane has the same item).  Returns the OR of x - x over them, which is
// +0 in the lanes where every component is finite, and sets bit c of `live`
// (when given) for each component c that is not zero in some lane.
template <class L, class Rows>
[[gnu::always_inline]] inline Vec<L> load_transposed(const Rows& rows, std::size_t first,
                                                     std::size_t n, Vec<L>* columns,
                                                     std::uint64_t* live) {
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

template <class L, class Rows>
[[gnu::always_inline]] inline Vec<L> load_columns(const Rows& rows, std::size_t first,
                                                  std::size_t n, Vec<L>* columns,
                                                  std::uint64_t* live = nullptr) {
  if constexpr (ComponentMajor<Rows>) {
    return load_components<L>(rows, first, n, columns, live);
  } else {
    return load_transposed<L>(rows, first, n, columns, live);
  }
}

// store_columns for component-major rows: one store per component.
template <class L, class Rows>
[[gnu::always_inline]] inline void store_components(const Vec<L>* columns, const Rows& rows,
                                                    std::size_t first, std::size_t n,
                                                    unsigned lanes) {
  constexpr unsigned kAllLanes = (1u << L::W) - 1;
  for (std::size_t c = 0; c < n; ++c) {
    double* const component = rows.component(first + c);
    if (lanes == kAllLanes) {
      L::storeu(component, columns[c]);
      continue;
    }
    double values[L::W];
    L::to_array(columns[c], values);
    for (unsigned rest = lanes; rest != 0; rest &= rest - 1) {
      const int lane = std::countr_zero(rest);
      component[lane] = values[lane];
    }
  }
}

template <class L, class Rows>
[[gnu::always_inline]] inline void store_transposed(const Vec<L>* columns, const Rows& rows,
                                                    std::size_t first, std::size_t n,
                                                    unsigned lanes) {
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

// The reverse of load_columns, for the items whose bit is set in `lanes`.
template <class L, class Rows>
[[gnu::always_inline]] inline void store_columns(const Vec<L>* columns, const Rows& rows,
                                                 std::size_t first, std::size_t n, unsigned lanes) {
  if constexpr (ComponentMajor<Rows>) {
    store_components<L>(columns, rows, first, n, lanes);
  } else {
    store_transposed<L>(columns, rows, first, n, lanes);
  }
}

// The results of a group of items, `length` vectors: stored for the `lanes`
// whose inputs were all finite, while each lane of `redo_lanes` (the items
// with an input that is not finite, or a result that is) gets redo(lane),
// lowest lane first, which computes its item with the scalar routines.
template <class L, class Rows, class Redo>
[[gnu::always_inline]] inline void store_or_redo(const Vec<L>* results, const Rows& rows,
                                                 std::size_t length, unsigned lanes,
                                                 unsigned redo_lanes, Redo&& redo) {
  if ((lanes & ~redo_lanes) != 0) {
    store_columns<L>(results, rows, 0, length, lanes & ~redo_lanes);
  }
  for (unsigned rest = lanes & redo_lanes; rest != 0; rest &= rest - 1) {
    redo(static_cast<std::size_t>(std::countr_zero(rest)));
  }
}

// The item of `lane` with its `length` components side by side, for the
// scalar routines: the item itself, or for component-major rows a copy in
// `scratch`.
template <class Rows>
[[gnu::always_inline]] inline const double* adjacent_item(const Rows& rows, std::size_t lane,
                                                          std::size_t length, double* scratch) {
  if constexpr (ComponentMajor<Rows>) {
    return rows.adjacent(lane, length, scratch);
  } else {
    return rows[lane];
  }
}

// Calls write(item) with the output item of `lane` as `length` adjacent
// doubles: the item itself, or for component-major rows `scratch`, copied
// out afterwards.
template <class Rows, class Write>
void write_item(const Rows& rows, std::size_t lane, std::size_t length, double* scratch,
                Write&& write) {
  if constexpr (ComponentMajor<Rows>) {
    write(scratch);
    rows.scatter(lane, length, scratch);
  } else {
    write(rows[lane]);
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
template <class L, class Operand = ItemStarts>
class Columns {
 public:
  using Rows = std::conditional_t<std::is_same_v<Operand, ItemStarts>, RowArray<L>, ComponentRows>;

  Columns(Operand items, std::size_t length, Vec<L>* columns,
          std::uint64_t* live = nullptr) noexcept
      : items_(items), length_(length), columns_(columns), live_(live), repeated_(repeats(items)) {}

  // Loads the items [first, first + n) (n > 0) and returns the lanes that
  // hold a component that is not finite.
  unsigned load(std::size_t first, std::size_t n) {
    if constexpr (ComponentMajor<Rows>) {
      rows_ = Rows{items_, first, n};
    } else {
      rows_.fill(items_, first, n);
    }
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
  const Rows& rows() const noexcept { return rows_; }

 private:
  Operand items_;
  std::size_t length_;
  Vec<L>* columns_;
  std::uint64_t* live_;
  bool repeated_;
  bool loaded_ = false;
  unsigned nonfinite_ = 0;
  Rows rows_{items_, 0, 1};
};

// The N components of the items of one operand as N vectors, for products
// small enough to keep them in registers; as Columns, a repeated operand is
// loaded once.
template <class L, unsigned N, class Operand = ItemStarts>
struct FixedColumns {
  using Rows = std::conditional_t<std::is_same_v<Operand, ItemStarts>, ItemRows, ComponentRows>;

  explicit FixedColumns(Operand operand) noexcept : items(operand), repeated(repeats(operand)) {}

  // Loads the items [first, first + n) (n > 0), noting which components are
  // non-zero somewhere in `live` and which lanes are not finite in
  // `nonfinite`.
  [[gnu::always_inline]] void load(std::size_t first, std::size_t n) {
    rows = Rows{items, first, n};
    if (repeated && first > 0) {
      return;
    }
    live = 0;
    nonfinite = L::nonzero_bits(load_columns<L>(rows, 0, N, columns, &live));
  }

  Operand items;
  bool repeated;
  Vec<L> columns[N] = {};
  Rows rows{items, 0, 1};
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

}  // namespace
}  // namespace vyr::lanes
