#include "src/algebra_operations.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "parallel/engine.hpp"
#include "src/lanes.hpp"

namespace vyr::clifford {

namespace {

using Blade = std::uint64_t;

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

// Terms of a walk between two looks at whether the caller has given up:
// about a millisecond of work, so items of fewer than 2^10 components never
// look.
constexpr std::uint64_t kTermsBetweenChecks = std::uint64_t{1} << 20;

// Negation as a flip of the sign bit: exact for every double, NaN included.
double negated_if(double x, bool negate) noexcept {
  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) ^ (negate ? kSignBit : 0));
}

int grade_of(Blade blade) noexcept {
  return std::popcount(blade);
}

std::size_t dimension_of(const Metric& metric) noexcept {
  return std::size_t{1} << metric.entries.size();
}

double not_a_number() noexcept {
  return std::numeric_limits<double>::quiet_NaN();
}

// Counts the terms of a walk and looks for cancellation every
// kTermsBetweenChecks of them.
class CancellationClock {
 public:
  void advance(std::uint64_t terms) {
    terms_ += terms;
    if (terms_ >= kTermsBetweenChecks) {
      terms_ = 0;
      parallel::check_cancellation();
    }
  }

 private:
  std::uint64_t terms_ = 0;
};

// One term e_j e_k of the geometric product's walk with what does not depend
// on the coefficients worked out: where it reads the right factor and where
// it adds, and its factor g, the reordering sign of e_j e_k times the
// squares of the shared basis vectors.
struct Term {
  std::uint32_t right;   // k
  std::uint32_t result;  // j ^ k
  // Entries of ±1 and 0: the sign bit that g flips, and whether a shared
  // null vector makes g zero.
  std::uint64_t sign;
  bool null;
  // Any other signature: g itself.
  double factor;
};

// g of the term e_j e_k, formed exactly as product_into forms it: with
// entries of ±1 and 0 a sign and a null flag; with a table of chained
// entries, ±chained[j & k]; else ±1.0 multiplied by each shared entry in
// ascending order.
Term term_of(Blade j, Blade k, const Metric& metric) noexcept {
  Term term{static_cast<std::uint32_t>(k), static_cast<std::uint32_t>(j ^ k), 0, false, 0.0};
  const bool reordered = __builtin_parityll(reorder_parity_mask(j) & k) != 0;
  const Blade shared = j & k;
  if (metric.unit) {
    const bool negative = __builtin_parityll(shared & metric.negative_mask) != 0;
    term.sign = reordered != negative ? kSignBit : 0;
    term.null = (shared & metric.null_mask) != 0;
  } else if (!metric.chained.empty()) {
    term.factor = negated_if(metric.chained[shared], reordered);
  } else {
    double g = reordered ? -1.0 : 1.0;
    for (Blade rest = shared; rest != 0; rest &= rest - 1) {
      g = g * static_cast<double>(metric.entries[static_cast<std::size_t>(std::countr_zero(rest))]);
    }
    term.factor = g;
  }
  return term;
}

// g × x, the factor of the geometric product's walk: with entries of ±1 and
// 0, x with its sign flipped, times 0.0 when a null vector is shared; else
// g × x.
template <bool kUnit>
double scaled_by(const Term& term, double x) noexcept {
  if constexpr (kUnit) {
    const double signed_x = std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) ^ term.sign);
    return term.null ? signed_x * 0.0 : signed_x;
  } else {
    return term.factor * x;
  }
}

double scaled_left(Blade j, Blade k, double x, const Metric& metric) noexcept {
  const Term term = term_of(j, k, metric);
  return metric.unit ? scaled_by<true>(term, x) : scaled_by<false>(term, x);
}

// Which terms e_j e_k of the geometric product a product keeps.
enum class Terms : std::uint8_t {
  kAll,               // the geometric product
  kOuter,             // j and k disjoint: grade |j| + |k|
  kLeftContraction,   // j within k: grade |k| - |j|
  kRightContraction,  // k within j: grade |j| - |k|
};

// Calls visit(k) for the right blades k that `kTerms` pairs with the left
// blade j, in ascending order: all of them, or the subsets of a mask (the
// step (s - mask) & mask goes from one subset to the next larger one).
template <Terms kTerms, class Visit>
void for_right_blades(Blade j, std::size_t dimension, Visit&& visit) {
  const Blade all = dimension - 1;
  if constexpr (kTerms == Terms::kAll) {
    for (Blade k = 0; k < dimension; ++k) {
      visit(k);
    }
  } else {
    // Outer: subsets of the blades outside j; left contraction: j joined
    // with those subsets, which keeps their order; right: subsets of j.
    const Blade mask = kTerms == Terms::kRightContraction ? j : all & ~j;
    const Blade base = kTerms == Terms::kLeftContraction ? j : 0;
    Blade subset = 0;
    do {
      visit(base | subset);
      subset = (subset - mask) & mask;
    } while (subset != 0);
  }
}

// The walk of the geometric product restricted to `kTerms`: out starts at
// +0.0; left blades j ascending, skipping a[j] == 0; right blades k
// ascending, skipping b[k] == 0 and the terms not kept; out[j ^ k] =
// b[k] × scaled_left(j, k, a[j]) + out[j ^ k].
template <Terms kTerms>
void walk_into(const double* a, const double* b, const Metric& metric, double* out) {
  const std::size_t dimension = dimension_of(metric);
  std::fill(out, out + dimension, 0.0);
  CancellationClock clock;
  for (Blade j = 0; j < dimension; ++j) {
    const double x = a[j];
    if (x == 0.0) {
      continue;
    }
    clock.advance(dimension);
    for_right_blades<kTerms>(j, dimension, [&](Blade k) {
      const double y = b[k];
      if (y == 0.0) {
        return;
      }
      const Blade r = j ^ k;
      out[r] = y * scaled_left(j, k, x, metric) + out[r];
    });
  }
}

// Component 0 of the geometric product a b, as walk_into makes it: only the
// terms j == k reach it, in ascending j.
double scalar_walk(const double* a, const double* b, const Metric& metric) noexcept {
  const std::size_t dimension = dimension_of(metric);
  double sum = 0.0;
  for (Blade j = 0; j < dimension; ++j) {
    const double x = a[j];
    if (x == 0.0) {
      continue;
    }
    const double y = b[j];
    if (y == 0.0) {
      continue;
    }
    sum = y * scaled_left(j, j, x, metric) + sum;
  }
  return sum;
}

// --- Sign flips -----------------------------------------------------------

bool grade_involution_negates(Blade blade) noexcept {
  return grade_of(blade) % 2 != 0;
}

bool clifford_conjugate_negates(Blade blade) noexcept {
  const int grade_mod_4 = grade_of(blade) % 4;
  return grade_mod_4 == 1 || grade_mod_4 == 2;
}

bool reverse_negates_blade(Blade blade) noexcept {
  return reverse_negates(blade);
}

// The complement's sign for blade k: the reordering sign of e_k e_~k, so that
// e_k ∧ dual(e_k) is the pseudoscalar e_0 e_1 ... e_(n-1).
bool complement_negates(Blade k, Blade all) noexcept {
  return __builtin_parityll(reorder_parity_mask(k) & (all & ~k)) != 0;
}

void dual_into(const double* a, std::size_t dimension, double* out) noexcept {
  const Blade all = dimension - 1;
  for (Blade k = 0; k < dimension; ++k) {
    out[all & ~k] = negated_if(a[k], complement_negates(k, all));
  }
}

void undual_into(const double* a, std::size_t dimension, double* out) noexcept {
  const Blade all = dimension - 1;
  for (Blade k = 0; k < dimension; ++k) {
    out[k] = negated_if(a[all & ~k], complement_negates(k, all));
  }
}

// --- Tables of a call ------------------------------------------------------

// The terms of a product's walk in the order it visits them: those of left
// blade j are terms[first[j]] .. terms[first[j + 1] - 1].
struct TermTable {
  std::vector<Term> terms;
  std::vector<std::uint32_t> first;
};

// Largest table a call works out (2 MiB of terms): beyond it, items of so
// many components cost far more than walking the blades, and the walk looks
// for cancellation, which a tabulated item of this size need not.
constexpr std::size_t kMaxTabulatedTerms = std::size_t{1} << 16;
// The largest algebra with a table: ten basis vectors (3^10 restricted terms;
// 3^11 and 4^9 exceed the bound).
constexpr std::size_t kMaxTabulatedDimension = std::size_t{1} << 10;

// Number of terms of the walk that `kTerms` restricts: 4^n, or 3^n for the
// outer product and the contractions (each basis vector in j only, in k
// only, or in neither; in both, or in neither, or in one of them).
template <Terms kTerms>
std::size_t term_count(std::size_t basis_vectors) noexcept {
  std::size_t count = 1;
  for (std::size_t m = 0; m < basis_vectors; ++m) {
    count *= kTerms == Terms::kAll ? 4 : 3;
    if (count > kMaxTabulatedTerms) {
      break;
    }
  }
  return count;
}

// The walk over a table: out starts at +0.0; left blades j ascending,
// skipping a[j] == 0; the right blades in the table's order, skipping
// b[k] == 0; out[j ^ k] = b[k] × (g × a[j]) + out[j ^ k].
template <bool kUnit>
void walk_table(const double* a, const double* b, const TermTable& table, std::size_t dimension,
                double* out) noexcept {
  std::fill(out, out + dimension, 0.0);
  const Term* const terms = table.terms.data();
  const std::uint32_t* const first = table.first.data();
  for (Blade j = 0; j < dimension; ++j) {
    const double x = a[j];
    if (x == 0.0) {
      continue;
    }
    const std::uint32_t end = first[j + 1];
    for (std::uint32_t t = first[j]; t < end; ++t) {
      const Term& term = terms[t];
      const double y = b[term.right];
      if (y == 0.0) {
        continue;
      }
      out[term.result] = y * scaled_by<kUnit>(term, x) + out[term.result];
    }
  }
}

// What the products of one call share: the metric, and the tables of the
// walks it takes, worked out on first use.  A table that is too large, or
// whose memory cannot be had, leaves the walk to go blade by blade.
class Plan {
 public:
  explicit Plan(const Metric& call_metric) noexcept
      : metric(call_metric), dimension(dimension_of(call_metric)) {}

  const Metric& metric;
  const std::size_t dimension;

  // The walk of the geometric product restricted to `kTerms` (walk_into).
  template <Terms kTerms>
  void product(const double* a, const double* b, double* out) {
    const TermTable* const table = table_of<kTerms>();
    if (table == nullptr) {
      walk_into<kTerms>(a, b, metric, out);
    } else if (metric.unit) {
      walk_table<true>(a, b, *table, dimension, out);
    } else {
      walk_table<false>(a, b, *table, dimension, out);
    }
  }

  // Component 0 of the geometric product a b (scalar_walk).
  double scalar(const double* a, const double* b) {
    const Term* const diagonal = diagonal_terms();
    if (diagonal == nullptr) {
      return scalar_walk(a, b, metric);
    }
    return metric.unit ? scalar_of<true>(a, b, diagonal) : scalar_of<false>(a, b, diagonal);
  }

  // <a ã>_0: the terms j == k in ascending j, the reverse's components
  // being a's with the sign of reverse_negates, from +0.0.
  double norm_squared(const double* a) {
    const Term* const diagonal = diagonal_terms();
    if (diagonal == nullptr) {
      double sum = 0.0;
      for (Blade j = 0; j < dimension; ++j) {
        const double x = a[j];
        if (x == 0.0) {
          continue;
        }
        sum = negated_if(x, reverse_negates(j)) * scaled_left(j, j, x, metric) + sum;
      }
      return sum;
    }
    return metric.unit ? norm_squared_of<true>(a, diagonal) : norm_squared_of<false>(a, diagonal);
  }

  // The table of the walk that `kTerms` restricts, or null when the call
  // walks blade by blade.
  template <Terms kTerms>
  const TermTable* table_of() {
    constexpr std::size_t kind = static_cast<std::size_t>(kTerms);
    if (!tried_[kind]) {
      tried_[kind] = true;
      if (term_count<kTerms>(metric.entries.size()) <= kMaxTabulatedTerms) {
        try {
          TermTable& table = tables_[kind];
          table.terms.reserve(term_count<kTerms>(metric.entries.size()));
          table.first.reserve(dimension + 1);
          for (Blade j = 0; j < dimension; ++j) {
            table.first.push_back(static_cast<std::uint32_t>(table.terms.size()));
            for_right_blades<kTerms>(
                j, dimension, [&](Blade k) { table.terms.push_back(term_of(j, k, metric)); });
          }
          table.first.push_back(static_cast<std::uint32_t>(table.terms.size()));
          ready_[kind] = true;
        } catch (const std::bad_alloc&) {
          tables_[kind] = TermTable{};
        }
      }
    }
    return ready_[kind] ? &tables_[kind] : nullptr;
  }

  // The terms e_j e_j, indexed by j, or null when the call walks blade by
  // blade.
  const Term* diagonal_terms() {
    if (!diagonal_tried_) {
      diagonal_tried_ = true;
      if (dimension <= kMaxTabulatedTerms) {
        try {
          diagonal_.reserve(dimension);
          for (Blade j = 0; j < dimension; ++j) {
            diagonal_.push_back(term_of(j, j, metric));
          }
        } catch (const std::bad_alloc&) {
          diagonal_.clear();
        }
      }
    }
    return diagonal_.size() == dimension ? diagonal_.data() : nullptr;
  }

 private:
  template <bool kUnit>
  double scalar_of(const double* a, const double* b, const Term* diagonal) const noexcept {
    double sum = 0.0;
    for (Blade j = 0; j < dimension; ++j) {
      const double x = a[j];
      if (x == 0.0) {
        continue;
      }
      const double y = b[j];
      if (y == 0.0) {
        continue;
      }
      sum = y * scaled_by<kUnit>(diagonal[j], x) + sum;
    }
    return sum;
  }

  template <bool kUnit>
  double norm_squared_of(const double* a, const Term* diagonal) const noexcept {
    double sum = 0.0;
    for (Blade j = 0; j < dimension; ++j) {
      const double x = a[j];
      if (x == 0.0) {
        continue;
      }
      sum = negated_if(x, reverse_negates(j)) * scaled_by<kUnit>(diagonal[j], x) + sum;
    }
    return sum;
  }

  std::array<TermTable, 4> tables_;
  std::array<bool, 4> tried_{};
  std::array<bool, 4> ready_{};
  std::vector<Term> diagonal_;
  bool diagonal_tried_ = false;
};

// --- Products over lanes of items ------------------------------------------

// Items walked side by side, one per lane: every lane goes through the same
// terms, and a term whose factor is zero in a lane leaves that lane's
// accumulator as it was, so each item gets exactly its own walk.
constexpr std::size_t kLanes = 8;
// Two lanes as one SSE2 register, which every x86-64 processor has: the
// loops below work on kLanes / 2 of them.
constexpr std::size_t kPairs = kLanes / 2;
using PairDoubles = double __attribute__((vector_size(2 * sizeof(double))));
using PairBits = std::uint64_t __attribute__((vector_size(2 * sizeof(double))));
using PairMask = std::int64_t __attribute__((vector_size(2 * sizeof(double))));

PairDoubles load_pair(const double* at) noexcept {
  PairDoubles pair;
  std::memcpy(&pair, at, sizeof pair);
  return pair;
}

// walk_table for kLanes items at once: a, b and out hold component k of lane
// l at [k * kLanes + l].
template <bool kUnit>
void walk_table_lanes(const double* a, const double* b, const TermTable& table,
                      std::size_t dimension, double* out) noexcept {
  std::fill(out, out + dimension * kLanes, 0.0);
  const Term* const terms = table.terms.data();
  const std::uint32_t* const first = table.first.data();
  const PairDoubles zeros = {};
  // The right components that are not zero in every lane (NaN counts as not
  // zero).  A term whose right factor is zero in every lane keeps every
  // lane's sum, so it is left out whole: rotors, vectors and other sparse
  // operands cost the terms they can have.
  std::uint64_t live_right[kMaxTabulatedDimension / 64] = {};
  for (Blade k = 0; k < dimension; ++k) {
    bool nonzero = false;
    for (std::size_t l = 0; l < kLanes; ++l) {
      nonzero |= b[k * kLanes + l] != 0.0;
    }
    live_right[k / 64] |= static_cast<std::uint64_t>(nonzero) << (k % 64);
  }
  for (Blade j = 0; j < dimension; ++j) {
    PairDoubles x[kPairs];
    PairMask x_zero[kPairs];
    PairMask all_zero = ~PairMask{};
    for (std::size_t p = 0; p < kPairs; ++p) {
      x[p] = load_pair(a + j * kLanes + 2 * p);
      x_zero[p] = x[p] == zeros;
      all_zero &= x_zero[p];
    }
    if (all_zero[0] != 0 && all_zero[1] != 0) {
      continue;  // every lane skips a[j] == 0
    }
    const std::uint32_t end = first[j + 1];
    for (std::uint32_t t = first[j]; t < end; ++t) {
      const Term& term = terms[t];
      if (((live_right[term.right / 64] >> (term.right % 64)) & 1) == 0) {
        continue;
      }
      const double* const right = b + term.right * kLanes;
      double* const target = out + term.result * kLanes;
      for (std::size_t p = 0; p < kPairs; ++p) {
        const PairDoubles y = load_pair(right + 2 * p);
        const PairDoubles sum = load_pair(target + 2 * p);
        PairDoubles scaled;
        if constexpr (kUnit) {
          scaled = reinterpret_cast<PairDoubles>(reinterpret_cast<PairBits>(x[p]) ^ term.sign);
          if (term.null) {
            scaled = scaled * 0.0;
          }
        } else {
          scaled = term.factor * x[p];
        }
        const PairDoubles added = y * scaled + sum;
        const PairMask skipped = x_zero[p] | (y == zeros);
        const PairDoubles kept = skipped ? sum : added;
        std::memcpy(target + 2 * p, &kept, sizeof kept);
      }
    }
  }
}

// Writes the components of item i to lanes[k * kLanes], k < dimension.
void lanes_from(const ItemsIn& items, std::size_t i, std::size_t dimension,
                double* lanes) noexcept {
  const double* const item = items.item(i);
  if (items.contiguous_components()) {
    for (std::size_t k = 0; k < dimension; ++k) {
      lanes[k * kLanes] = item[k];
    }
    return;
  }
  for (std::size_t k = 0; k < dimension; ++k) {
    lanes[k * kLanes] = items.component(item, k);
  }
}

// Item loop of a restricted product, or with kCommutator of the commutator
// product (kTerms == kAll), over lanes of items, when the call tabulates its
// terms; else the one-item routine.
template <Terms kTerms, bool kCommutator = false>
void restricted_product_items(std::size_t count, const ItemsIn* in, const Metric& metric,
                              ItemsOut out);

// --- One item -------------------------------------------------------------

// The operands of one item: multivectors with adjacent components.
struct Item {
  const double* a = nullptr;
  const double* b = nullptr;
  std::int64_t integer = 0;
};

template <Terms kTerms>
void restricted_product(const Item& item, Plan& plan, double*, double* out) {
  plan.product<kTerms>(item.a, item.b, out);
}

void scalar_product(const Item& item, Plan& plan, double*, double* out) {
  out[0] = plan.scalar(item.a, item.b);
}

void commutator_product(const Item& item, Plan& plan, double* work, double* out) {
  const std::size_t dimension = plan.dimension;
  double* const ab = work;
  double* const ba = work + dimension;
  plan.product<Terms::kAll>(item.a, item.b, ab);
  plan.product<Terms::kAll>(item.b, item.a, ba);
  for (std::size_t k = 0; k < dimension; ++k) {
    out[k] = (ab[k] - ba[k]) * 0.5;
  }
}

void regressive_product(const Item& item, Plan& plan, double* work, double* out) {
  const std::size_t dimension = plan.dimension;
  double* const dual_a = work;
  double* const dual_b = work + dimension;
  double* const meet_dual = work + 2 * dimension;
  dual_into(item.a, dimension, dual_a);
  dual_into(item.b, dimension, dual_b);
  plan.product<Terms::kOuter>(dual_a, dual_b, meet_dual);
  undual_into(meet_dual, dimension, out);
}

void grades(const Item& item, Plan& plan, double*, double* out) {
  const std::size_t dimension = plan.dimension;
  std::int64_t mask = 0;
  for (Blade k = 0; k < dimension; ++k) {
    if (item.a[k] != 0.0) {
      mask |= std::int64_t{1} << grade_of(k);
    }
  }
  std::memcpy(out, &mask, sizeof mask);
}

void norm_squared(const Item& item, Plan& plan, double*, double* out) {
  out[0] = plan.norm_squared(item.a);
}

void norm(const Item& item, Plan& plan, double*, double* out) {
  out[0] = std::sqrt(std::fabs(plan.norm_squared(item.a)));
}

void normalized(const Item& item, Plan& plan, double*, double* out) {
  const double size = std::sqrt(std::fabs(plan.norm_squared(item.a)));
  const std::size_t dimension = plan.dimension;
  for (std::size_t k = 0; k < dimension; ++k) {
    out[k] = item.a[k] / size;
  }
}

// Negates the components of the grades set in `grades_mask`, in place.
void negate_grades(double* m, std::size_t dimension, unsigned grades_mask) noexcept {
  for (Blade k = 0; k < dimension; ++k) {
    m[k] = negated_if(m[k], ((grades_mask >> grade_of(k)) & 1U) != 0);
  }
}

// Number of characteristic-polynomial steps of the inverse beyond five basis
// vectors: 2^ceil(n/2), the size of the matrices that represent the algebra.
std::size_t characteristic_steps(std::size_t basis_vectors) noexcept {
  return std::size_t{1} << ((basis_vectors + 1) / 2);
}

// Work of the inverse: five multivectors.
constexpr std::size_t kInverseWork = 5;

// The sign flips that the inverse's numerator takes of its operand.
enum class Flip : std::uint8_t { kConjugate, kInvolution, kReverse };

bool flip_negates(Flip flip, Blade blade) noexcept {
  switch (flip) {
    case Flip::kConjugate:
      return clifford_conjugate_negates(blade);
    case Flip::kInvolution:
      return grade_involution_negates(blade);
    case Flip::kReverse:
      break;
  }
  return reverse_negates_blade(blade);
}

// The inverse's five multivectors of work (the numerator and four
// temporaries), each `size` doubles, one after the other from `base`.
struct InverseWork {
  InverseWork(double* base, std::size_t size) noexcept
      : numerator(base),
        t1(base + size),
        t2(base + 2 * size),
        t3(base + 3 * size),
        t4(base + 4 * size) {}
  double* numerator;
  double* t1;
  double* t2;
  double* t3;
  double* t4;
};

// The numerator of the inverse for one to five basis vectors, in whatever
// layout the caller keeps its items: flip(from, Flip, to) and
// negate(m, grades_mask) change signs, product(left, right, result) takes
// geometric products.
template <class FlipFn, class NegateFn, class ProductFn>
void inverse_numerator(std::size_t n, const double* a, const InverseWork& w, FlipFn&& flip,
                       NegateFn&& negate, ProductFn&& product) {
  if (n <= 2) {
    flip(a, Flip::kConjugate, w.numerator);
  } else if (n == 3 || n == 5) {
    // (ā â) ã, and for five vectors that times its product with a, grades 1
    // and 4 negated.
    flip(a, Flip::kConjugate, w.t1);
    flip(a, Flip::kInvolution, w.t2);
    product(w.t1, w.t2, w.t3);
    flip(a, Flip::kReverse, w.t1);
    double* const triple = n == 3 ? w.numerator : w.t4;
    product(w.t3, w.t1, triple);
    if (n == 5) {
      product(a, triple, w.t2);
      negate(w.t2, (1U << 1) | (1U << 4));
      product(triple, w.t2, w.numerator);
    }
  } else {
    // ā (a ā), grades 3 and 4 of the latter negated.
    flip(a, Flip::kConjugate, w.t1);
    product(a, w.t1, w.t2);
    negate(w.t2, (1U << 3) | (1U << 4));
    product(w.t1, w.t2, w.numerator);
  }
}

void inverse(const Item& item, Plan& plan, double* work, double* out) {
  const std::size_t n = plan.metric.entries.size();
  const std::size_t dimension = plan.dimension;
  const double* const a = item.a;
  if (n == 0) {
    out[0] = 1.0 / a[0];
    return;
  }
  const InverseWork w(work, dimension);
  double* const numerator = w.numerator;
  double* const t1 = w.t1;
  if (n <= 5) {
    inverse_numerator(
        n, a, w,
        [&](const double* from, Flip flip, double* to) {
          for (Blade k = 0; k < dimension; ++k) {
            to[k] = negated_if(from[k], flip_negates(flip, k));
          }
        },
        [&](double* m, unsigned grades_mask) { negate_grades(m, dimension, grades_mask); },
        [&](const double* left, const double* right, double* result) {
          plan.product<Terms::kAll>(left, right, result);
        });
  } else {
    // The characteristic polynomial: U_1 = a; C_k = (N × <U_k>_0) / k;
    // V_k = U_k - C_k (on component 0); U_(k+1) = a V_k.  The numerator is
    // V_(N-1), and a V_(N-1) = <a V_(N-1)>_0 is the denominator.
    const std::size_t steps = characteristic_steps(n);
    const double size = static_cast<double>(steps);
    std::copy(a, a + dimension, numerator);
    for (std::size_t k = 1;; ++k) {
      const double c = (size * numerator[0]) / static_cast<double>(k);
      numerator[0] = numerator[0] - c;
      if (k + 1 == steps) {
        break;
      }
      plan.product<Terms::kAll>(a, numerator, t1);
      std::copy(t1, t1 + dimension, numerator);
    }
  }
  const double denominator = plan.scalar(a, numerator);
  for (std::size_t k = 0; k < dimension; ++k) {
    out[k] = numerator[k] / denominator;
  }
}

// --- exp and log ----------------------------------------------------------

// cos θ and sin θ / θ for a square λ = -θ² < 0, cosh θ and sinh θ / θ for
// λ = θ² > 0, and 1 and 1 for λ = 0: exp(B) = c + f B when B² = λ.
struct SimpleExp {
  double c;
  double f;
};

SimpleExp simple_exp(double square) noexcept {
  if (square < 0.0) {
    const double theta = std::sqrt(-square);
    return {std::cos(theta), std::sin(theta) / theta};
  }
  if (square > 0.0) {
    const double theta = std::sqrt(square);
    return {std::cosh(theta), std::sinh(theta) / theta};
  }
  if (square == 0.0) {
    return {1.0, 1.0};
  }
  return {square, square};  // NaN
}

// Work of exp: five multivectors.
constexpr std::size_t kExpWork = 5;

// Degree of the Taylor polynomial of exp beyond five basis vectors: its
// argument is scaled below 1 in the 1-norm (weighted by the metric), so the
// next term is under 1 / 25!, far below a unit in the last place.
constexpr int kTaylorDegree = 24;

// exp(B) = T(B / 2^s)^(2^s), T the Taylor polynomial of degree kTaylorDegree,
// for a bivector that may need more than two simple parts.  `work` holds four
// multivectors.
void exp_by_squaring(const double* b, Plan& plan, double scale, double* work, double* out) {
  const std::size_t dimension = plan.dimension;
  double bound = 0.0;
  for (std::size_t k = 0; k < dimension; ++k) {
    bound = bound + std::fabs(b[k]);
  }
  // A product of e_J with a bivector's blade multiplies at most two squares.
  double largest_square = 1.0;
  for (const std::int8_t entry : plan.metric.entries) {
    largest_square = std::max(largest_square, std::fabs(static_cast<double>(entry)));
  }
  bound = bound * (largest_square * largest_square);
  if (!(bound <= std::numeric_limits<double>::max())) {
    std::fill(out, out + dimension, not_a_number());
    return;
  }
  int exponent = 0;
  std::frexp(bound, &exponent);
  const int halvings = std::max(0, exponent);
  double* const scaled = work;
  double* const term = work + dimension;
  double* const next = work + 2 * dimension;
  double* const sum = work + 3 * dimension;
  for (std::size_t k = 0; k < dimension; ++k) {
    scaled[k] = std::ldexp(b[k], -halvings);
  }
  std::fill(term, term + dimension, 0.0);
  term[0] = 1.0;
  std::copy(term, term + dimension, sum);
  for (int i = 1; i <= kTaylorDegree; ++i) {
    plan.product<Terms::kAll>(term, scaled, next);
    for (std::size_t k = 0; k < dimension; ++k) {
      term[k] = next[k] / static_cast<double>(i);
      sum[k] = sum[k] + term[k];
    }
  }
  for (int i = 0; i < halvings; ++i) {
    plan.product<Terms::kAll>(sum, sum, next);
    std::copy(next, next + dimension, sum);
  }
  for (std::size_t k = 0; k < dimension; ++k) {
    out[k] = scale * sum[k];
  }
}

void exponential(const Item& item, Plan& plan, double* work, double* out) {
  const std::size_t n = plan.metric.entries.size();
  const std::size_t dimension = plan.dimension;
  const double* const a = item.a;
  double* const b = work;
  std::copy(a, a + dimension, b);
  b[0] = 0.0;
  std::uint64_t present = 0;
  for (Blade k = 1; k < dimension; ++k) {
    if (b[k] != 0.0) {
      present |= std::uint64_t{1} << grade_of(k);
    }
  }
  const double scale = std::exp(a[0]);
  std::fill(out, out + dimension, 0.0);
  if (present == 0) {
    out[0] = scale;
    return;
  }
  const bool vector = present == (1U << 1);
  const bool bivector = present == (1U << 2);
  if (!vector && !bivector) {
    std::fill(out, out + dimension, not_a_number());
    return;
  }
  double* const square = work + dimension;
  double* const four = work + 2 * dimension;
  bool split = false;
  double beta = 0.0;
  if (vector || n <= 3) {
    beta = plan.scalar(b, b);
  } else {
    plan.product<Terms::kAll>(b, b, square);
    beta = square[0];
    for (Blade k = 0; k < dimension; ++k) {
      four[k] = grade_of(k) == 4 ? square[k] : 0.0;
      split = split || four[k] != 0.0;
    }
  }
  if (!split) {
    const SimpleExp e = simple_exp(beta);
    out[0] = scale * e.c;
    for (Blade k = 1; k < dimension; ++k) {
      out[k] = scale * (e.f * b[k]);
    }
    return;
  }
  // Beyond five basis vectors a bivector may need three or more parts,
  // which the two-part form below would get wrong.
  if (n >= 6) {
    exp_by_squaring(b, plan, scale, work + dimension, out);
    return;
  }
  // B = B1 + B2, commuting, B_i² = λ_i, W = <B²>_4 = 2 B1 B2.
  const double w = plan.scalar(four, four);
  const double discriminant = beta * beta - w;
  if (!(discriminant >= 0.0)) {
    std::fill(out, out + dimension, not_a_number());
    return;
  }
  const double root = std::sqrt(discriminant);
  const double lambda1 = (beta + root) * 0.5;
  const double lambda2 = (beta - root) * 0.5;
  const SimpleExp e1 = simple_exp(lambda1);
  const SimpleExp e2 = simple_exp(lambda2);
  const double p = e1.c * e2.c;
  const double q1 = e1.f * e2.c;
  const double q2 = e1.c * e2.f;
  const double r = e1.f * e2.f;
  double* const bw = work + 3 * dimension;
  if (root != 0.0) {
    plan.product<Terms::kAll>(b, four, bw);
  }
  out[0] = scale * p;
  for (Blade k = 1; k < dimension; ++k) {
    const int g = grade_of(k);
    if (g == 2) {
      // B1 = (λ1 B - ½ B W) / √discriminant, B2 = B - B1; equal roots: B1 = B.
      const double b1 = root != 0.0 ? (lambda1 * b[k] - bw[k] * 0.5) / root : b[k];
      const double b2 = b[k] - b1;
      out[k] = scale * (q1 * b1 + q2 * b2);
    } else if (g == 4) {
      out[k] = scale * (r * (four[k] * 0.5));
    }
  }
}

// The basis vector that squares to zero in 3D PGA, or -1 when the signature
// is not [1,1,1,0] in some order; -2 for Cl(3,0).
int log_algebra(const Metric& metric) noexcept {
  const auto& entries = metric.entries;
  if (entries.size() == 3) {
    return entries[0] == 1 && entries[1] == 1 && entries[2] == 1 ? -2 : -1;
  }
  if (entries.size() != 4) {
    return -1;
  }
  int null_vector = -1;
  for (std::size_t m = 0; m < 4; ++m) {
    if (entries[m] == 0 && null_vector < 0) {
      null_vector = static_cast<int>(m);
    } else if (entries[m] != 1) {
      return -1;
    }
  }
  return null_vector;
}

bool log_available(const Metric& metric) noexcept {
  return log_algebra(metric) != -1;
}

void logarithm(const Item& item, Plan& plan, double* work, double* out) {
  const std::size_t dimension = plan.dimension;
  const double* const a = item.a;
  const int null_vector = log_algebra(plan.metric);
  const Blade null_bit = null_vector >= 0 ? Blade{1} << null_vector : 0;
  for (Blade k = 0; k < dimension; ++k) {
    if (grade_of(k) % 2 != 0 && a[k] != 0.0) {
      std::fill(out, out + dimension, not_a_number());
      return;
    }
  }
  // r² = Σ of the squares of the rotation (non-null) bivector components,
  // in ascending blade order.
  double rotation_squared = 0.0;
  for (Blade k = 0; k < dimension; ++k) {
    if (grade_of(k) == 2 && (k & null_bit) == 0) {
      rotation_squared = rotation_squared + a[k] * a[k];
    }
  }
  const double s = a[0];
  const double rotation = std::sqrt(rotation_squared);
  const double theta = std::atan2(rotation, s);
  const bool still = rotation == 0.0 && s > 0.0;
  const double line_factor = still ? 1.0 / s : theta / rotation;
  std::fill(out, out + dimension, 0.0);
  out[0] = std::log(std::sqrt(s * s + rotation_squared));
  if (null_vector < 0) {
    for (Blade k = 0; k < dimension; ++k) {
      if (grade_of(k) == 2) {
        out[k] = line_factor * a[k];
      }
    }
    return;
  }
  // A motor: the ideal part along the axis, k (I L) with I the pseudoscalar,
  // k = -m4 (1 - s θ / r) / r², m4 the pseudoscalar component.
  const Blade all = dimension - 1;
  const double m4 = a[all];
  const double axis_factor =
      still ? 0.0 : -(m4 * (1.0 - (s * theta) / rotation)) / rotation_squared;
  double* const bivector = work;
  double* const pseudoscalar = work + dimension;
  double* const polar = work + 2 * dimension;
  std::fill(bivector, bivector + dimension, 0.0);
  std::fill(pseudoscalar, pseudoscalar + dimension, 0.0);
  for (Blade k = 0; k < dimension; ++k) {
    if (grade_of(k) == 2) {
      bivector[k] = a[k];
    }
  }
  pseudoscalar[all] = 1.0;
  plan.product<Terms::kAll>(pseudoscalar, bivector, polar);
  for (Blade k = 0; k < dimension; ++k) {
    if (grade_of(k) == 2) {
      out[k] = line_factor * a[k] + axis_factor * polar[k];
    }
  }
}

// --- Item loops -----------------------------------------------------------

using Routine = void (*)(const Item&, Plan&, double* work, double* out);

// Runs `routine` over the items: multivector operands are gathered when
// their components lie apart, an integer operand read as std::int64_t, a
// multivector result written through scratch when its components lie apart.
template <Routine kRoutine, std::size_t kOperands, ItemKind kSecond, ItemKind kResult,
          std::size_t kWork>
void item_loop(std::size_t count, const ItemsIn* in, const Metric& metric, ItemsOut out) {
  Plan plan(metric);
  const std::size_t dimension = plan.dimension;
  std::vector<double> scratch(dimension * (3 + kWork));
  double* const a_scratch = scratch.data();
  double* const b_scratch = a_scratch + dimension;
  double* const out_scratch = b_scratch + dimension;
  double* const work = out_scratch + dimension;
  for (std::size_t i = 0; i < count; ++i) {
    Item item;
    item.a = in[0].gather(i, dimension, a_scratch).data();
    if constexpr (kOperands == 2 && kSecond == ItemKind::kMultivector) {
      item.b = in[1].gather(i, dimension, b_scratch).data();
    } else if constexpr (kOperands == 2 && kSecond == ItemKind::kInteger) {
      std::memcpy(&item.integer, in[1].item(i), sizeof item.integer);
    }
    if constexpr (kResult == ItemKind::kMultivector) {
      double* const target = out.contiguous_components() ? out.item(i) : out_scratch;
      kRoutine(item, plan, work, target);
      if (!out.contiguous_components()) {
        double* const destination = out.item(i);
        for (std::size_t k = 0; k < dimension; ++k) {
          out.component(destination, k) = out_scratch[k];
        }
      }
    } else {
      // One double or one std::int64_t, bit for bit.
      kRoutine(item, plan, work, out_scratch);
      std::memcpy(out.item(i), out_scratch, sizeof(double));
    }
  }
}

// --- Moved and negated components ------------------------------------------

// What a unary operation that moves components and flips their signs does
// to the bit pattern of each component k of the result: it takes component
// source[k] of the operand and flips the bits of flip[k] (the sign bit or
// none), exactly as negated_if does.
struct ComponentMap {
  std::vector<std::uint32_t> source;
  std::vector<std::uint64_t> flip;
  bool in_place = true;  // source[k] == k for every k
  bool reversed = true;  // source[k] == dimension - 1 - k for every k
};

struct Mapping {
  Blade source;
  bool negate;
};

Mapping reverse_mapping(Blade k, Blade) noexcept {
  return {k, reverse_negates(k)};
}

Mapping grade_involution_mapping(Blade k, Blade) noexcept {
  return {k, grade_involution_negates(k)};
}

Mapping clifford_conjugate_mapping(Blade k, Blade) noexcept {
  return {k, clifford_conjugate_negates(k)};
}

// dual_into: out[k] is a[~k] with the complement's sign of ~k.
Mapping dual_mapping(Blade k, Blade all) noexcept {
  return {all & ~k, complement_negates(all & ~k, all)};
}

// undual_into: out[k] is a[~k] with the complement's sign of k.
Mapping undual_mapping(Blade k, Blade all) noexcept {
  return {all & ~k, complement_negates(k, all)};
}

std::uint64_t bits_of(const char* at) noexcept {
  std::uint64_t bits;
  std::memcpy(&bits, at, sizeof bits);
  return bits;
}

void store_bits(char* at, std::uint64_t bits) noexcept {
  std::memcpy(at, &bits, sizeof bits);
}

// Item loop of an operation that moves components and flips signs: the map
// is worked out once per call, and the items then only copy bit patterns.
template <Mapping (*kMapping)(Blade, Blade) noexcept>
void mapped_items(std::size_t count, const ItemsIn* in, const Metric& metric, ItemsOut out) {
  const std::size_t dimension = dimension_of(metric);
  const Blade all = dimension - 1;
  ComponentMap map;
  map.source.resize(dimension);
  map.flip.resize(dimension);
  for (Blade k = 0; k < dimension; ++k) {
    const Mapping mapping = kMapping(k, all);
    map.source[k] = static_cast<std::uint32_t>(mapping.source);
    map.flip[k] = mapping.negate ? kSignBit : 0;
    map.in_place = map.in_place && mapping.source == k;
    map.reversed = map.reversed && mapping.source == all - k;
  }
  const ItemsIn& a = in[0];
  const std::uint32_t* const source = map.source.data();
  const std::uint64_t* const flip = map.flip.data();
  const std::ptrdiff_t in_step = a.component_step;
  const std::ptrdiff_t out_step = out.component_step;
  if (a.contiguous_components() && out.contiguous_components()) {
    // Adjacent components: loops the compiler turns into vector XORs.
    if (map.in_place) {
      for (std::size_t i = 0; i < count; ++i) {
        const char* const from = reinterpret_cast<const char*>(a.item(i));
        char* const to = reinterpret_cast<char*>(out.item(i));
        for (std::size_t k = 0; k < dimension; ++k) {
          store_bits(to + k * sizeof(double), bits_of(from + k * sizeof(double)) ^ flip[k]);
        }
      }
      return;
    }
    if (!map.reversed) {
      for (std::size_t i = 0; i < count; ++i) {
        const char* const from = reinterpret_cast<const char*>(a.item(i));
        char* const to = reinterpret_cast<char*>(out.item(i));
        for (std::size_t k = 0; k < dimension; ++k) {
          store_bits(to + k * sizeof(double), bits_of(from + source[k] * sizeof(double)) ^ flip[k]);
        }
      }
      return;
    }
    // The complements read the components in reverse order (~k is
    // dimension - 1 - k), which vectorizes as a shuffle.
    for (std::size_t i = 0; i < count; ++i) {
      const char* const from = reinterpret_cast<const char*>(a.item(i));
      char* const to = reinterpret_cast<char*>(out.item(i));
      for (std::size_t k = 0; k < dimension; ++k) {
        store_bits(to + k * sizeof(double),
                   bits_of(from + (dimension - 1 - k) * sizeof(double)) ^ flip[k]);
      }
    }
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const char* const from = reinterpret_cast<const char*>(a.item(i));
    char* const to = reinterpret_cast<char*>(out.item(i));
    for (std::size_t k = 0; k < dimension; ++k) {
      store_bits(to + static_cast<std::ptrdiff_t>(k) * out_step,
                 bits_of(from + static_cast<std::ptrdiff_t>(source[k]) * in_step) ^ flip[k]);
    }
  }
}

// Item loop of the grade projection: component k is kept (bit for bit) when
// its grade is the item's, else +0.0.
void grade_items(std::size_t count, const ItemsIn* in, const Metric& metric, ItemsOut out) {
  const std::size_t dimension = dimension_of(metric);
  std::vector<std::int64_t> grade_of_blade(dimension);
  for (Blade k = 0; k < dimension; ++k) {
    grade_of_blade[k] = grade_of(k);
  }
  const std::int64_t* const grades = grade_of_blade.data();
  const ItemsIn& a = in[0];
  for (std::size_t i = 0; i < count; ++i) {
    std::int64_t wanted;
    std::memcpy(&wanted, in[1].item(i), sizeof wanted);
    const char* const from = reinterpret_cast<const char*>(a.item(i));
    char* const to = reinterpret_cast<char*>(out.item(i));
    for (std::size_t k = 0; k < dimension; ++k) {
      const std::uint64_t keep = grades[k] == wanted ? ~std::uint64_t{0} : 0;
      store_bits(to + static_cast<std::ptrdiff_t>(k) * out.component_step,
                 bits_of(from + static_cast<std::ptrdiff_t>(k) * a.component_step) & keep);
    }
  }
}

constexpr ItemKind kMv = ItemKind::kMultivector;
constexpr ItemKind kSc = ItemKind::kScalar;
constexpr ItemKind kInt = ItemKind::kInteger;

template <Terms kTerms, bool kCommutator>
void restricted_product_items(std::size_t count, const ItemsIn* in, const Metric& metric,
                              ItemsOut out) {
  Plan plan(metric);
  const TermTable* const table = plan.table_of<kTerms>();
  if (table == nullptr || count < kLanes) {
    if constexpr (kCommutator) {
      item_loop<commutator_product, 2, kMv, kMv, 2>(count, in, metric, out);
    } else {
      item_loop<restricted_product<kTerms>, 2, kMv, kMv, 0>(count, in, metric, out);
    }
    return;
  }
  const std::size_t dimension = plan.dimension;
  std::vector<double> scratch(4 * dimension * kLanes);
  double* const a = scratch.data();
  double* const b = a + dimension * kLanes;
  double* const products = b + dimension * kLanes;
  double* const reversed_products = products + dimension * kLanes;
  for (std::size_t first = 0; first < count; first += kLanes) {
    const std::size_t lanes = std::min(kLanes, count - first);
    // Unused lanes hold zeros, which skip every term.
    if (lanes < kLanes) {
      std::fill(a, a + 2 * dimension * kLanes, 0.0);
    }
    for (std::size_t l = 0; l < lanes; ++l) {
      lanes_from(in[0], first + l, dimension, a + l);
      lanes_from(in[1], first + l, dimension, b + l);
    }
    if (metric.unit) {
      walk_table_lanes<true>(a, b, *table, dimension, products);
    } else {
      walk_table_lanes<false>(a, b, *table, dimension, products);
    }
    if constexpr (kCommutator) {
      // (ab[k] - ba[k]) * 0.5, as commutator_product forms it.
      if (metric.unit) {
        walk_table_lanes<true>(b, a, *table, dimension, reversed_products);
      } else {
        walk_table_lanes<false>(b, a, *table, dimension, reversed_products);
      }
      for (std::size_t k = 0; k < dimension * kLanes; ++k) {
        products[k] = (products[k] - reversed_products[k]) * 0.5;
      }
    }
    for (std::size_t l = 0; l < lanes; ++l) {
      double* const item = out.item(first + l);
      for (std::size_t k = 0; k < dimension; ++k) {
        out.component(item, k) = products[k * kLanes + l];
      }
    }
  }
}

// The outer product is the geometric product of an algebra whose basis
// vectors all square to zero: with finite factors, its walk leaves the terms
// of blades that share a vector at the sum they meet (each is ±0), and gives
// the other terms the reordering sign alone, in the outer product's order.
// So runs of finite items go to the lane kernels of that algebra, which take
// only the outer product's terms and skip the zero halves of sparse operands.
// A run with a component that is infinite or NaN goes through the outer
// product's own walk, item by item: there the left-out terms would be NaN.
constexpr std::size_t kOuterRun = 256;
// Beyond this many basis vectors the table-driven walk is kept.
constexpr std::size_t kMaxLaneOuterBasisVectors = 10;

// Whether every component of items [0, count) is finite.  x - x is +0.0 for
// a finite x and NaN otherwise, so the OR of the differences' bits is zero
// exactly when all are finite: a loop the compiler puts in vectors.
bool all_finite(const ItemsIn& items, std::size_t count, std::size_t dimension) noexcept {
  std::uint64_t differences = 0;
  const auto check = [&differences](const double* values, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
      differences |= std::bit_cast<std::uint64_t>(values[k] - values[k]);
    }
  };
  const auto row_bytes = static_cast<std::ptrdiff_t>(dimension * sizeof(double));
  if (items.contiguous_components() && items.item_step == row_bytes) {
    check(items.item(0), count * dimension);
  } else if (items.contiguous_components()) {
    for (std::size_t i = 0; i < count; ++i) {
      check(items.item(i), dimension);
    }
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      const double* const item = items.item(i);
      for (std::size_t k = 0; k < dimension; ++k) {
        const double x = items.component(item, k);
        differences |= std::bit_cast<std::uint64_t>(x - x);
      }
    }
  }
  return differences == 0;
}

ItemsIn items_from(const ItemsIn& items, std::size_t first) noexcept {
  return {items.data + static_cast<std::ptrdiff_t>(first) * items.item_step, items.item_step,
          items.component_step};
}

void outer_product_items(std::size_t count, const ItemsIn* in, const Metric& metric, ItemsOut out) {
  const std::size_t n = metric.entries.size();
  if (n > kMaxLaneOuterBasisVectors || lanes::kernels().lanes == 1 || count < kLanes) {
    return restricted_product_items<Terms::kOuter>(count, in, metric, out);
  }
  const std::vector<std::int8_t> null_entries(n, 0);
  const Metric null_squares = describe(null_entries);
  const std::size_t dimension = dimension_of(metric);
  for (std::size_t first = 0; first < count; first += kOuterRun) {
    const std::size_t run = std::min(kOuterRun, count - first);
    const ItemsIn pair[2] = {items_from(in[0], first), items_from(in[1], first)};
    ItemsOut products = out;
    products.data += static_cast<std::ptrdiff_t>(first) * out.item_step;
    if (all_finite(pair[0], run, dimension) && all_finite(pair[1], run, dimension)) {
      product_items(run, pair[0], pair[1], null_squares, products);
    } else {
      restricted_product_items<Terms::kOuter>(run, pair, metric, products);
    }
  }
}

// The lanes of `a` with the sign bit flipped in the components k for which
// negates(k) holds (negated_if on every lane).
template <class Negates>
void flip_lanes(const double* a, std::size_t dimension, Negates&& negates, double* out) noexcept {
  for (Blade k = 0; k < dimension; ++k) {
    const std::uint64_t flip = negates(k) ? kSignBit : 0;
    for (std::size_t l = 0; l < kLanes; ++l) {
      store_bits(reinterpret_cast<char*>(out + k * kLanes + l),
                 bits_of(reinterpret_cast<const char*>(a + k * kLanes + l)) ^ flip);
    }
  }
}

// Plan::scalar for kLanes items at once, a select keeping the sum of a lane
// whose term is skipped.
template <bool kUnit>
void scalar_lanes(const double* a, const double* b, const Term* diagonal, std::size_t dimension,
                  double* sums) noexcept {
  const PairDoubles zeros = {};
  PairDoubles sum[kPairs] = {};
  for (Blade j = 0; j < dimension; ++j) {
    for (std::size_t p = 0; p < kPairs; ++p) {
      const PairDoubles x = load_pair(a + j * kLanes + 2 * p);
      const PairDoubles y = load_pair(b + j * kLanes + 2 * p);
      PairDoubles scaled;
      if constexpr (kUnit) {
        scaled = reinterpret_cast<PairDoubles>(reinterpret_cast<PairBits>(x) ^ diagonal[j].sign);
        if (diagonal[j].null) {
          scaled = scaled * 0.0;
        }
      } else {
        scaled = diagonal[j].factor * x;
      }
      const PairDoubles added = y * scaled + sum[p];
      const PairMask skipped = (x == zeros) | (y == zeros);
      sum[p] = skipped ? sum[p] : added;
    }
  }
  std::memcpy(sums, sum, sizeof sum);
}

// Items of the inverse's products taken together by the lane kernels.
constexpr std::size_t kInverseRun = 256;

// The inverse for a signature of one to five entries of -1, 0 or +1: the
// products of `inverse` are geometric products, which the lane kernels take
// for a run of items at once, bit for bit the walk (non-finite items
// included, which they redo by it); the sign flips and the division go item
// by item, as in `inverse`.
void inverse_items_by_products(std::size_t count, const ItemsIn& in, const Metric& metric,
                               ItemsOut out) {
  Plan plan(metric);
  const std::size_t n = metric.entries.size();
  const std::size_t dimension = plan.dimension;
  const std::size_t size = kInverseRun * dimension;
  // The sign bits each flip puts on component k, and k's grade, worked out
  // once.
  std::vector<std::uint64_t> flips(3 * dimension);
  std::vector<unsigned> grades(dimension);
  for (Blade k = 0; k < dimension; ++k) {
    for (const Flip flip : {Flip::kConjugate, Flip::kInvolution, Flip::kReverse}) {
      flips[static_cast<std::size_t>(flip) * dimension + k] = flip_negates(flip, k) ? kSignBit : 0;
    }
    grades[k] = static_cast<unsigned>(grade_of(k));
  }
  std::vector<double> scratch(6 * size);
  double* const a = scratch.data();
  const InverseWork w(a + size, size);
  double* const numerator = w.numerator;
  const auto row_bytes = static_cast<std::ptrdiff_t>(dimension * sizeof(double));
  for (std::size_t first = 0; first < count; first += kInverseRun) {
    const std::size_t run = std::min(kInverseRun, count - first);
    for (std::size_t i = 0; i < run; ++i) {
      const double* const item = in.item(first + i);
      for (std::size_t k = 0; k < dimension; ++k) {
        a[i * dimension + k] = in.component(item, k);
      }
    }
    inverse_numerator(
        n, a, w,
        [&](const double* from, Flip flip, double* to) {
          const std::uint64_t* const bits =
              flips.data() + static_cast<std::size_t>(flip) * dimension;
          for (std::size_t at = 0; at < run * dimension; at += dimension) {
            for (std::size_t k = 0; k < dimension; ++k) {
              to[at + k] =
                  std::bit_cast<double>(std::bit_cast<std::uint64_t>(from[at + k]) ^ bits[k]);
            }
          }
        },
        [&](double* m, unsigned grades_mask) {
          for (std::size_t at = 0; at < run * dimension; at += dimension) {
            for (std::size_t k = 0; k < dimension; ++k) {
              m[at + k] = negated_if(m[at + k], ((grades_mask >> grades[k]) & 1U) != 0);
            }
          }
        },
        [&](const double* left, const double* right, double* result) {
          product_items(run, ItemsIn{reinterpret_cast<const char*>(left), row_bytes},
                        ItemsIn{reinterpret_cast<const char*>(right), row_bytes}, metric,
                        ItemsOut{reinterpret_cast<char*>(result), row_bytes});
        });
    // Divided in place first, a loop over adjacent doubles that the compiler
    // puts in vectors, then written out.
    for (std::size_t i = 0; i < run; ++i) {
      double* const quotient = numerator + i * dimension;
      const double denominator = plan.scalar(a + i * dimension, quotient);
      for (std::size_t k = 0; k < dimension; ++k) {
        quotient[k] = quotient[k] / denominator;
      }
      double* const item = out.item(first + i);
      for (std::size_t k = 0; k < dimension; ++k) {
        out.component(item, k) = quotient[k];
      }
    }
  }
}

// Item loop of the inverse for one to five basis vectors: the same products
// and sign flips as `inverse`, by the lane kernels for a unit signature, else
// kLanes items at a time (other signatures' products on the lane kernels'
// path would go one item at a time, three times slower).  Other algebras,
// and calls of fewer items, go one item at a time.
void inverse_items(std::size_t count, const ItemsIn* in, const Metric& metric, ItemsOut out) {
  const std::size_t n = metric.entries.size();
  if (metric.unit && n >= 1 && n <= 5 && count >= kLanes && lanes::kernels().lanes > 1) {
    return inverse_items_by_products(count, in[0], metric, out);
  }
  Plan plan(metric);
  const TermTable* const table =
      n >= 1 && n <= 5 && count >= kLanes ? plan.table_of<Terms::kAll>() : nullptr;
  const Term* const diagonal = table != nullptr ? plan.diagonal_terms() : nullptr;
  if (diagonal == nullptr) {
    item_loop<inverse, 1, kMv, kMv, kInverseWork>(count, in, metric, out);
    return;
  }
  const std::size_t dimension = plan.dimension;
  const std::size_t size = dimension * kLanes;
  std::vector<double> scratch(6 * size);
  double* const a = scratch.data();
  const InverseWork w(a + size, size);
  double* const numerator = w.numerator;
  for (std::size_t first = 0; first < count; first += kLanes) {
    const std::size_t lanes = std::min(kLanes, count - first);
    // Unused lanes repeat the group's first item.
    for (std::size_t l = 0; l < kLanes; ++l) {
      lanes_from(in[0], first + (l < lanes ? l : 0), dimension, a + l);
    }
    inverse_numerator(
        n, a, w,
        [&](const double* from, Flip flip, double* to) {
          flip_lanes(from, dimension, [flip](Blade k) { return flip_negates(flip, k); }, to);
        },
        [&](double* m, unsigned grades_mask) {
          flip_lanes(
              m, dimension, [&](Blade k) { return ((grades_mask >> grade_of(k)) & 1U) != 0; }, m);
        },
        [&](const double* left, const double* right, double* product) {
          if (metric.unit) {
            walk_table_lanes<true>(left, right, *table, dimension, product);
          } else {
            walk_table_lanes<false>(left, right, *table, dimension, product);
          }
        });
    double denominators[kLanes];
    if (metric.unit) {
      scalar_lanes<true>(a, numerator, diagonal, dimension, denominators);
    } else {
      scalar_lanes<false>(a, numerator, diagonal, dimension, denominators);
    }
    for (std::size_t l = 0; l < lanes; ++l) {
      double* const item = out.item(first + l);
      for (std::size_t k = 0; k < dimension; ++k) {
        out.component(item, k) = numerator[k * kLanes + l] / denominators[l];
      }
    }
  }
}

template <Routine kRoutine, std::size_t kWork = 0>
constexpr auto kUnaryToMultivector = &item_loop<kRoutine, 1, kMv, kMv, kWork>;
template <Routine kRoutine, std::size_t kWork = 0>
constexpr auto kBinaryToMultivector = &item_loop<kRoutine, 2, kMv, kMv, kWork>;

const Operation kOperations[] = {
    {"outer_product",
     "Outer (wedge) product a ∧ b: the geometric product's walk (left blades j ascending, "
     "skipping a[j] == 0; right blades k ascending, skipping b[k] == 0; out[j^k] = b[k] * (g * "
     "a[j]) + out[j^k], from +0.0) restricted to the terms with j & k == 0.",
     2,
     {kMv, kMv},
     kMv,
     &outer_product_items,
     nullptr,
     1.0},
    {"left_contraction",
     "Left contraction a ⌋ b (grade |b| - |a|): the geometric product's walk restricted to the "
     "terms whose left blade lies within the right one (j & ~k == 0).",
     2,
     {kMv, kMv},
     kMv,
     &restricted_product_items<Terms::kLeftContraction>,
     nullptr,
     1.0},
    {"right_contraction",
     "Right contraction a ⌊ b (grade |a| - |b|): the geometric product's walk restricted to the "
     "terms whose right blade lies within the left one (k & ~j == 0).",
     2,
     {kMv, kMv},
     kMv,
     &restricted_product_items<Terms::kRightContraction>,
     nullptr,
     1.0},
    {"scalar_product",
     "Scalar product <a b>_0: the scalar component of the geometric product's walk, the terms "
     "j == k in ascending j, from +0.0.",
     2,
     {kMv, kMv},
     kSc,
     &item_loop<scalar_product, 2, kMv, kSc, 0>,
     nullptr,
     0.05},
    {"commutator_product",
     "Commutator product (a b - b a) / 2: both geometric products walked as the geometric "
     "product is, then out[k] = (ab[k] - ba[k]) * 0.5.",
     2,
     {kMv, kMv},
     kMv,
     &restricted_product_items<Terms::kAll, true>,
     nullptr,
     2.0},
    {"regressive_product",
     "Regressive product (meet) a ∨ b = undual(dual(a) ∧ dual(b)), with the metric-free "
     "complements of dual and undual (exact sign flips) and the outer product's walk over the "
     "complemented operands.",
     2,
     {kMv, kMv},
     kMv,
     kBinaryToMultivector<regressive_product, 3>,
     nullptr,
     1.0},
    {"reverse",
     "Reverse ã: the components of grades 2 and 3 (mod 4) negated (sign bit flipped).",
     1,
     {kMv, kMv},
     kMv,
     &mapped_items<reverse_mapping>,
     nullptr,
     0.01},
    {"grade_involution",
     "Grade involution â: the components of odd grade negated (sign bit flipped).",
     1,
     {kMv, kMv},
     kMv,
     &mapped_items<grade_involution_mapping>,
     nullptr,
     0.01},
    {"clifford_conjugate",
     "Clifford conjugate ā (reverse of the grade involution): the components of grades 1 and 2 "
     "(mod 4) negated (sign bit flipped).",
     1,
     {kMv, kMv},
     kMv,
     &mapped_items<clifford_conjugate_mapping>,
     nullptr,
     0.01},
    {"grade",
     "Grade projection <a>_k: the components of grade k copied, every other component +0.0 "
     "(all of them when k is no grade of the algebra).",
     2,
     {kMv, kInt},
     kMv,
     &grade_items,
     nullptr,
     0.01},
    {"grades",
     "The grades present in a as a bit mask (int64): bit g set when a component of grade g is "
     "non-zero (NaN counts as non-zero).",
     1,
     {kMv, kMv},
     kInt,
     &item_loop<grades, 1, kMv, kInt, 0>,
     nullptr,
     0.01},
    {"dual",
     "Dual by the right complement, independent of the metric (so defined in degenerate "
     "algebras such as PGA): dual(e_K) = ±e_~K with the sign that makes e_K ∧ dual(e_K) the "
     "pseudoscalar e_0 e_1 ... e_(n-1); exact sign flips.  In a non-degenerate metric the Hodge "
     "star is ⋆e_K = μ(K) dual(e_K), μ(K) the product of the squares of K's basis vectors; in "
     "a positive definite one dual(a) = ⋆a = ã I.",
     1,
     {kMv, kMv},
     kMv,
     &mapped_items<dual_mapping>,
     nullptr,
     0.01},
    {"undual",
     "Undual by the left complement, the inverse of dual: undual(e_K) = ±e_~K with the sign that "
     "makes undual(e_K) ∧ e_K the pseudoscalar; exact sign flips.",
     1,
     {kMv, kMv},
     kMv,
     &mapped_items<undual_mapping>,
     nullptr,
     0.01},
    {"norm_squared",
     "Squared norm <a ã>_0, sign kept: the scalar component of the geometric product's walk of a "
     "and its reverse, the terms j == k in ascending j, from +0.0.",
     1,
     {kMv, kMv},
     kSc,
     &item_loop<norm_squared, 1, kMv, kSc, 0>,
     nullptr,
     0.05},
    {"norm",
     "Norm sqrt(|<a ã>_0|): the square root of the magnitude of norm_squared (so a vector of "
     "negative square has a positive norm).",
     1,
     {kMv, kMv},
     kSc,
     &item_loop<norm, 1, kMv, kSc, 0>,
     nullptr,
     0.05},
    {"normalized",
     "a / norm(a): every component divided by the norm (zero norm: IEEE infinities and NaNs).",
     1,
     {kMv, kMv},
     kMv,
     kUnaryToMultivector<normalized>,
     nullptr,
     0.06},
    {"inverse",
     "Inverse a⁻¹ = N / <a N>_0, component by component, N walked as geometric products (ā "
     "the Clifford conjugate, â the grade involution, ã the reverse): n = 0: 1 / a; n <= 2: N = "
     "ā; n = 3: N = (ā â) ã; n = 4: N = ā M, M = a ā with grades 3 and 4 negated; n = 5: T = "
     "(ā â) ã, N = T M, M = a T with grades 1 and 4 negated; n >= 6, with S = 2^ceil(n/2): U = "
     "a, then for k = 1 .. S-1: U[0] = U[0] - (S * U[0]) / k and, below S-1, U = a U; N = U.  "
     "Every invertible multivector is inverted; a non-invertible one gives infinities or NaNs.",
     1,
     {kMv, kMv},
     kMv,
     &inverse_items,
     nullptr,
     4.0},
    {"exp",
     "Exponential in closed form of s + B, s the scalar part, B a vector or a bivector (any "
     "other grades: NaN): exp(s) times exp(B).  When B² = β is a scalar (vectors; bivectors "
     "when n <= 3 or <B B>_4 == 0): β < 0: c = cos θ, f = sin θ / θ, θ = sqrt(-β); β > 0: "
     "cosh and sinh; β = 0: c = f = 1; out[0] = e^s * c, out[k] = e^s * (f * B[k]).  Otherwise "
     "(n = 4, 5) B splits into commuting simple parts B1 + B2: W = <B B>_4, λ = (β ± sqrt(β*β "
     "- <W W>_0)) * 0.5, c_i, f_i of λ_i as above, B1 = (λ1 * B[k] - (B W)[k] * 0.5) / "
     "sqrt(β*β - <W W>_0) (B when the roots are equal), B2 = B - B1; scalar e^s * (c1 * c2), "
     "grade 2: e^s * ((f1 * c2) * B1 + (c1 * f2) * B2), grade 4: e^s * ((f1 * f2) * (W * "
     "0.5)); a negative discriminant gives NaN.  For n >= 6 and <B B>_4 != 0: scaling and "
     "squaring, ρ = (sum of |B[k]| ascending) * (m * m), m the largest of 1 and the |entries|, "
     "h = max(0, the binary exponent of ρ from frexp), B' = ldexp(B, -h); T = 1, t = 1, for i = "
     "1 .. 24: t = (t B') / i per component, T = T + t; then h times T = T T; out = e^s * T.  "
     "Products are walked as the geometric product is, s = a[0] and e^s = exp(s).",
     1,
     {kMv, kMv},
     kMv,
     kUnaryToMultivector<exponential, kExpWork>,
     nullptr,
     3.0},
    {"log",
     "Logarithm of a rotor of Cl(3,0) or of a motor of 3D PGA (one null basis vector, any "
     "position; odd grades present: NaN).  r² = sum of the squares of the non-null bivector "
     "components in ascending blade order, r = sqrt(r²), θ = atan2(r, s), s the scalar part; "
     "out[0] = log(sqrt(s*s + r²)); bivector k: (θ / r) * a[k] (1 / s when r == 0 and s > 0), "
     "for a motor + κ * (I L)[k], I L the walked product of the pseudoscalar and the bivector "
     "part, κ = -(m * (1 - (s * θ) / r)) / r² with m the pseudoscalar component (0 when r == 0 "
     "and s > 0).  Scaled rotors and motors give log of the scale in the scalar part.",
     1,
     {kMv, kMv},
     kMv,
     kUnaryToMultivector<logarithm, 3>,
     log_available,
     0.5},
};

}  // namespace

std::span<const Operation> operations() noexcept {
  return kOperations;
}

}  // namespace vyr::clifford
