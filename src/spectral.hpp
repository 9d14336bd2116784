// The planar map Φ built from exp and ln, and its trajectories.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/containers.hpp"
#include "core/strided.hpp"

namespace vyr::spectral {

using Trajectory = std::vector<PointPair>;

// Above this x, exp(x) would overflow; x is replaced by ln x first.
inline constexpr double kExpArgLimit = 709.78;
// The least value a non-positive y is raised to before ln is taken.
inline constexpr double kYFloor = 1e-300;

PointPair phi_step(double x, double y) noexcept;

// Hands the start point and then n_steps applications of phi_step, in step
// order, to `store(k, pair)`; the start stands as given.  Every trajectory is
// made by this one loop, whatever holds it.
template <class Store>
void walk_trajectory(double x0, double y0, std::uint64_t n_steps, Store&& store) {
  PointPair current{x0, y0};
  store(std::uint64_t{0}, current);
  for (std::uint64_t k = 1; k <= n_steps; ++k) {
    current = phi_step(current.x, current.y);
    store(k, current);
  }
}

// The start point and n_steps applications of phi_step.  Faults with "capacity
// overflow" when n_steps + 1 pairs cannot be reserved.
Trajectory flow_trajectory(double x0, double y0, std::uint64_t n_steps);

// One trajectory per start, on the worker pool.
std::vector<Trajectory> flow_batch(std::span<const PointPair> starts, std::uint64_t n_steps);

// Item loop of single steps: item i of `points` and of `steps` is one pair
// (x at component 0, y at component 1).
void step_items(std::size_t count, ItemsIn points, ItemsOut steps) noexcept;

// Where the trajectories of an item loop go: point k of trajectory i starts at
// `pairs.item(i)` plus k * `point_step` bytes, its y one component after x.
struct TrajectoriesOut {
  ItemsOut pairs;
  std::ptrdiff_t point_step;
};

// Item loop of trajectories: n_steps + 1 points per start, written in place.
// Answers cancellation between trajectories.
void flow_items(std::size_t count, ItemsIn starts, std::uint64_t n_steps, TrajectoriesOut out);

}  // namespace vyr::spectral
