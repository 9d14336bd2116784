// The lane kernels of every instruction set: the adds, the octonion products
// and the norms here, the Clifford products in src/lane_clifford.hpp, and
// the table of them all.  Built for each instruction set as
// src/lane_machinery.hpp says.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "src/add.hpp"
#include "src/lane_clifford.hpp"
#include "src/lane_machinery.hpp"
#include "src/lanes.hpp"
#include "src/lattice.hpp"
#include "src/octonion.hpp"

namespace vyr::lanes {

namespace {

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
    store_or_redo<L>(c, out, 8, lanes, nonfinite, [&](std::size_t lane) {
      const octonion::Octonion product = octonion::mul_complete(left.rows[lane], right.rows[lane]);
      std::copy(product.begin(), product.end(), out[lane]);
    });
  }
}

// ------------------------------------------------------------------ norms

// Looks for cancellation between chunks of components, in long items too:
// every lane's sum runs on in the same order whenever the check returns.
template <class L, bool Root>
void norms(std::size_t count, ItemStarts points, std::size_t length, ItemsOut out) {
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
    if constexpr (Root) {
      sum = L::sqrt(sum);
    }
    const unsigned redo = L::nan(sum);
    double values[L::W];
    L::to_array(sum, values);
    for (std::size_t lane = 0; lane < n; ++lane) {
      double value = values[lane];
      if ((redo >> lane & 1) != 0) {
        constexpr auto step = static_cast<std::ptrdiff_t>(sizeof(double));
        value = Root ? octonion::norm_cancellable(rows[lane], length, step)
                     : lattice::norm_squared_cancellable(rows[lane], length, step);
      }
      *out.item(first + lane) = value;
    }
  }
}

template <class L>
constexpr Kernels kernels_of(Path path, const char* name) {
  if constexpr (L::W == 1) {
    return {
        path,        name,        L::W,    add<L>, octonion_mul<L>, norms<L, true>, norms<L, false>,
        clifford<L>, sandwich<L>, nullptr, nullptr};
  } else {
    return {path,
            name,
            L::W,
            add<L>,
            octonion_mul<L>,
            norms<L, true>,
            norms<L, false>,
            clifford<L>,
            sandwich<L>,
            by_components<L, false>,
            by_components<L, true>};
  }
}

}  // namespace
}  // namespace vyr::lanes
