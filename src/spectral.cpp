#include "src/spectral.hpp"

#include <cmath>

#include "core/fault.hpp"
#include "parallel/engine.hpp"

namespace vyr::spectral {

PointPair phi_step(double x, double y) noexcept {
  // ln x is at most about 709.78 for every finite x, so the exp term stays finite.
  if (x > EXP_ARG_LIMIT) {
    x = std::log(x);
  }
  // ln is never applied to zero or a negative number.  The comparison is false
  // for NaN, which passes through unchanged.
  if (y <= 0.0) {
    y = std::fmax(std::fabs(y), Y_FLOOR);
  }
  const double e = std::exp(x);
  const double l = std::log(y);
  return {y, e - l};
}

Trajectory flow_trajectory(double x0, double y0, std::uint64_t n_steps) {
  // n_steps + 1 pairs of 16 bytes must fit under the allocation limit; this also
  // covers n_steps = 2^64 - 1, whose successor does not exist in 64 bits.
  if (n_steps >= (std::uint64_t{1} << 59) - 1) {
    raise_capacity_overflow();
  }
  Trajectory trajectory;
  trajectory.reserve(static_cast<std::size_t>(n_steps) + 1);
  trajectory.push_back({x0, y0});
  PointPair current{x0, y0};
  for (std::uint64_t k = 0; k < n_steps; ++k) {
    current = phi_step(current.x, current.y);
    trajectory.push_back(current);
  }
  return trajectory;
}

std::vector<Trajectory> flow_batch(std::span<const PointPair> starts, std::uint64_t n_steps) {
  std::vector<Trajectory> trajectories;
  parallel::indexed_map(trajectories, starts.size(), [&](std::size_t k) {
    return flow_trajectory(starts[k].x, starts[k].y, n_steps);
  });
  return trajectories;
}

}  // namespace vyr::spectral
