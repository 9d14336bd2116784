// Squared norms of lattice points and the minimal norms of E8 and Leech.
#pragma once

#include <span>
#include <vector>

#include "core/containers.hpp"
#include "core/strided.hpp"

namespace vyr::lattice {

inline constexpr double kE8MinNormSquared = 2.0;
inline constexpr double kLeechMinNormSquared = 4.0;

// Left-to-right sum of squares starting at -0.0.
double norm_squared(std::span<const double> point) noexcept;

// The squared norm of every point of the batch, on the worker pool.
std::vector<double> norms_squared_n(const Batch& points);

// Item loop: norms[i] = norm_squared(points[i]) for items of `length` components.
void norm_squared_items(std::size_t count, ItemsIn points, std::size_t length, ItemsOut norms);

}  // namespace vyr::lattice
