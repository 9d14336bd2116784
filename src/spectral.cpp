#include "src/spectral.hpp"

#include <cmath>

#include "core/fault.hpp"
#include "parallel/engine.hpp"

namespace vyr::spectral {

namespace {

// A long trajectory looks whether its caller has given up every 2^14 steps, a
// millisecond or so.
constexpr std::uint64_t kStepsBetweenCancelChecks = (std::uint64_t{1} << 14) - 1;

}  // namespace

PointPair phi_step(double x, double y) noexcept {
  // ln x is at most about 709.78 for every finite x, so the exp term stays finite.
  if (x > kExpArgLimit) {
    x = std::log(x);
  }
  // ln is never applied to zero or a negative number.  The comparison is false
  // for NaN, which passes through unchanged.
  if (y <= 0.0) {
    y = std::fmax(std::fabs(y), kYFloor);
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
  walk_trajectory(x0, y0, n_steps, [&trajectory](std::uint64_t k, PointPair pair) {
    // A long trajectory stops here when its caller gives up on it; a calling
    // thread that runs it itself polls its wait hook here.
    if ((k & kStepsBetweenCancelChecks) == kStepsBetweenCancelChecks) {
      parallel::check_cancellation();
    }
    trajectory.push_back(pair);
  });
  return trajectory;
}

std::vector<Trajectory> flow_batch(std::span<const PointPair> starts, std::uint64_t n_steps) {
  std::vector<Trajectory> trajectories;
  parallel::indexed_map(trajectories, starts.size(), [&](std::size_t k) {
    return flow_trajectory(starts[k].x, starts[k].y, n_steps);
  });
  return trajectories;
}

void step_items(std::size_t count, ItemsIn points, ItemsOut steps) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    const double* const point = points.item(i);
    const PointPair next = phi_step(points.component(point, 0), points.component(point, 1));
    double* const out = steps.item(i);
    steps.component(out, 0) = next.x;
    steps.component(out, 1) = next.y;
  }
}

void flow_items(std::size_t count, ItemsIn starts, std::uint64_t n_steps, TrajectoriesOut out) {
  for (std::size_t i = 0; i < count; ++i) {
    if (parallel::cancel_requested()) {
      throw parallel::Cancelled();
    }
    const double* const start = starts.item(i);
    char* const first = reinterpret_cast<char*>(out.pairs.item(i));
    walk_trajectory(starts.component(start, 0), starts.component(start, 1), n_steps,
                    [&](std::uint64_t k, PointPair pair) {
                      // A long trajectory answers cancellation within itself too.
                      if ((k & kStepsBetweenCancelChecks) == kStepsBetweenCancelChecks) {
                        if (parallel::cancel_requested()) {
                          throw parallel::Cancelled();
                        }
                      }
                      double* const point = reinterpret_cast<double*>(
                          first + static_cast<std::ptrdiff_t>(k) * out.point_step);
                      out.pairs.component(point, 0) = pair.x;
                      out.pairs.component(point, 1) = pair.y;
                    });
  }
}

}  // namespace vyr::spectral
