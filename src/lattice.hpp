// Squared norms of lattice points and the minimal norms of E8 and Leech.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/containers.hpp"
#include "core/strided.hpp"

namespace vyr::lattice {

inline constexpr double kE8MinNormSquared = 2.0;
inline constexpr double kLeechMinNormSquared = 4.0;

// Left-to-right sum of squares starting at -0.0.
double norm_squared(std::span<const double> point) noexcept;

// The squared norm's sum from `sum` on: sum = x × x + sum for the `count`
// components x that lie `step` bytes apart from `first`, in turn.  Every
// squared norm comes down to this routine.
double add_squares(double sum, const double* first, std::size_t count,
                   std::ptrdiff_t step) noexcept;

// norm_squared of the `count` components `step` bytes apart from `first`,
// looking for cancellation (parallel::check_cancellation) about every
// millisecond of work: for items that may be long.
double norm_squared_cancellable(const double* first, std::size_t count, std::ptrdiff_t step);

// The squared norm of every point of the batch, on the worker pool.
std::vector<double> norms_squared_n(const Batch& points);

// Item loop: norms[i] = norm_squared(points[i]) for items of `length` components.
void norm_squared_items(std::size_t count, ItemsIn points, std::size_t length, ItemsOut norms);

}  // namespace vyr::lattice
