// The planar map Φ built from exp and ln, and its trajectories.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/containers.hpp"

namespace vyr::spectral {

using Trajectory = std::vector<PointPair>;

// Above this x, exp(x) would overflow; x is replaced by ln x first.
inline constexpr double EXP_ARG_LIMIT = 709.78;
// The least value a non-positive y is raised to before ln is taken.
inline constexpr double Y_FLOOR = 1e-300;

PointPair phi_step(double x, double y) noexcept;

// The start point and n_steps applications of phi_step.  Faults with "capacity
// overflow" when n_steps + 1 pairs cannot be reserved.
Trajectory flow_trajectory(double x0, double y0, std::uint64_t n_steps);

// One trajectory per start, on the worker pool.
std::vector<Trajectory> flow_batch(std::span<const PointPair> starts, std::uint64_t n_steps);

}  // namespace vyr::spectral
