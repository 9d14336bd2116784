// Results: new interpreter objects built from plain values.  Each builder
// returns a new reference or faults with "Python API call failed".
#pragma once

#include <Python.h>

#include <span>
#include <vector>

#include "core/containers.hpp"
#include "interpreter/pyref.hpp"
#include "src/spectral.hpp"

namespace vyr::binding {

PyRef build_float(double value);
PyRef build_float_list(std::span<const double> values);
PyRef build_rows(const Rows& rows);
PyRef build_point_pair(PointPair pair);
PyRef build_trajectory(std::span<const PointPair> trajectory);
// Frees each trajectory as soon as its list is built.
PyRef build_trajectories(std::vector<spectral::Trajectory>&& trajectories);

}  // namespace vyr::binding
