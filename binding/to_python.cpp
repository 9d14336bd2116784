#include "binding/to_python.hpp"

#include "binding/signal_checks.hpp"
#include "core/fault.hpp"

namespace vyr::binding {

namespace {

// The interpreter could not make a result object: print its error and fault.
[[noreturn]] void api_call_failed() {
  PyErr_Print();
  raise_fault("Python API call failed");
}

// A new list of `count` items, item i made by make_item(i) (a PyRef).
template <class MakeItem>
PyRef build_list(std::size_t count, MakeItem&& make_item) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) {
    api_call_failed();
  }
  // Signal handlers may run while the list is filled; until every slot holds
  // an item, the cycle collector (and so gc.get_objects) must not hand the
  // list to Python code.
  PyObject_GC_UnTrack(list.get());
  for (std::size_t i = 0; i < count; ++i) {
    count_item_for_signals();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), make_item(i).release());
  }
  PyObject_GC_Track(list.get());
  return list;
}

}  // namespace

PyRef build_float(double value) {
  PyRef result(PyFloat_FromDouble(value));
  if (!result) {
    api_call_failed();
  }
  return result;
}

PyRef build_float_list(std::span<const double> values) {
  return build_list(values.size(), [values](std::size_t i) { return build_float(values[i]); });
}

PyRef build_rows(const Rows& rows) {
  return build_list(rows.count, [&rows](std::size_t i) { return build_float_list(rows[i]); });
}

PyRef build_point_pair(PointPair pair) {
  PyRef x = build_float(pair.x);
  PyRef y = build_float(pair.y);
  PyRef tuple(PyTuple_New(2));
  if (!tuple) {
    api_call_failed();
  }
  PyTuple_SET_ITEM(tuple.get(), 0, x.release());
  PyTuple_SET_ITEM(tuple.get(), 1, y.release());
  // A tuple of two floats can never be part of a reference cycle.  The cycle
  // collector would untrack it at its first pass anyway; doing it now keeps a
  // million-point trajectory from feeding every young collection.
  PyObject_GC_UnTrack(tuple.get());
  return tuple;
}

PyRef build_trajectory(std::span<const PointPair> trajectory) {
  return build_list(trajectory.size(),
                    [trajectory](std::size_t i) { return build_point_pair(trajectory[i]); });
}

PyRef build_trajectories(std::vector<spectral::Trajectory>&& trajectories) {
  return build_list(trajectories.size(), [&trajectories](std::size_t i) {
    PyRef trajectory = build_trajectory(trajectories[i]);
    // Each trajectory's storage goes as soon as its list exists.
    spectral::Trajectory().swap(trajectories[i]);
    return trajectory;
  });
}

}  // namespace vyr::binding
