// Entry points of the exported functions: bind, convert, run the kernel, build.
#include "binding/functions.hpp"

#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "src/clifford.hpp"
#include "src/lattice.hpp"
#include "src/octonion.hpp"
#include "src/spectral.hpp"

using vyr::binding::ArgumentDescription;
using vyr::binding::bind_arguments;
using vyr::binding::call_frame;
using vyr::binding::convert_argument;

namespace {

namespace binding = vyr::binding;

const ArgumentDescription kOctonionMul{"octonion_mul", {"a", "b"}};
const ArgumentDescription kOctonionMulN{"octonion_mul_n", {"a_batch", "b_batch"}};
const ArgumentDescription kOctonionNormN{"octonion_norm_n", {"batch"}};
const ArgumentDescription kSpectralFlowStep{"spectral_flow_step", {"x", "y"}};
const ArgumentDescription kSpectralFlowN{"spectral_flow_n", {"x0", "y0", "n_steps"}};
const ArgumentDescription kSpectralFlowBatch{"spectral_flow_batch", {"starts", "n_steps"}};
const ArgumentDescription kE8NormsSquaredN{"e8_norms_squared_n", {"points"}};
const ArgumentDescription kGeometricProductN{"geometric_product_n", {"a", "b", "signature"}};

}  // namespace

extern "C" {

PyObject* vyr_octonion_mul(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_frame([&]() -> PyObject* {
    PyObject* slots[2];
    bind_arguments(kOctonionMul, args, nargs, kwnames, slots);
    const auto a = convert_argument("a", slots[0], binding::to_float_vector);
    const auto b = convert_argument("b", slots[1], binding::to_float_vector);
    const auto product = vyr::octonion::_mul(a, b);
    return binding::build_float_list(product).release();
  });
}

PyObject* vyr_octonion_mul_n(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return call_frame([&]() -> PyObject* {
    PyObject* slots[2];
    bind_arguments(kOctonionMulN, args, nargs, kwnames, slots);
    const auto a_batch = convert_argument("a_batch", slots[0], binding::to_batch);
    const auto b_batch = convert_argument("b_batch", slots[1], binding::to_batch);
    const auto products = vyr::octonion::mul_n(a_batch, b_batch);
    return binding::build_rows(products).release();
  });
}

PyObject* vyr_octonion_norm_n(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return call_frame([&]() -> PyObject* {
    PyObject* slots[1];
    bind_arguments(kOctonionNormN, args, nargs, kwnames, slots);
    const auto batch = convert_argument("batch", slots[0], binding::to_batch);
    return binding::build_float_list(vyr::octonion::norm_n(batch)).release();
  });
}

PyObject* vyr_spectral_flow_step(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return call_frame([&]() -> PyObject* {
    PyObject* slots[2];
    bind_arguments(kSpectralFlowStep, args, nargs, kwnames, slots);
    const double x = convert_argument("x", slots[0], binding::to_double);
    const double y = convert_argument("y", slots[1], binding::to_double);
    return binding::build_point_pair(vyr::spectral::phi_step(x, y)).release();
  });
}

PyObject* vyr_spectral_flow_n(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return call_frame([&]() -> PyObject* {
    PyObject* slots[3];
    bind_arguments(kSpectralFlowN, args, nargs, kwnames, slots);
    const double x0 = convert_argument("x0", slots[0], binding::to_double);
    const double y0 = convert_argument("y0", slots[1], binding::to_double);
    const auto n_steps = convert_argument("n_steps", slots[2], binding::to_size);
    const auto trajectory = vyr::spectral::flow_trajectory(x0, y0, n_steps);
    return binding::build_trajectory(trajectory).release();
  });
}

PyObject* vyr_spectral_flow_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return call_frame([&]() -> PyObject* {
    PyObject* slots[2];
    bind_arguments(kSpectralFlowBatch, args, nargs, kwnames, slots);
    auto starts = convert_argument("starts", slots[0], binding::to_point_pairs);
    const auto n_steps = convert_argument("n_steps", slots[1], binding::to_size);
    auto trajectories = vyr::spectral::flow_batch(starts, n_steps);
    decltype(starts)().swap(starts);
    return binding::build_trajectories(std::move(trajectories)).release();
  });
}

PyObject* vyr_e8_norms_squared_n(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return call_frame([&]() -> PyObject* {
    PyObject* slots[1];
    bind_arguments(kE8NormsSquaredN, args, nargs, kwnames, slots);
    const auto points = convert_argument("points", slots[0], binding::to_batch);
    return binding::build_float_list(vyr::lattice::norms_squared_n(points)).release();
  });
}

PyObject* vyr_e8_min_norm_squared(PyObject*, PyObject*) {
  return call_frame([]() -> PyObject* {
    return binding::build_float(vyr::lattice::kE8MinNormSquared).release();
  });
}

PyObject* vyr_leech_min_norm_squared(PyObject*, PyObject*) {
  return call_frame([]() -> PyObject* {
    return binding::build_float(vyr::lattice::kLeechMinNormSquared).release();
  });
}

PyObject* vyr_geometric_product_n(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return call_frame([&]() -> PyObject* {
    PyObject* slots[3];
    bind_arguments(kGeometricProductN, args, nargs, kwnames, slots);
    const auto a = convert_argument("a", slots[0], binding::to_batch);
    const auto b = convert_argument("b", slots[1], binding::to_batch);
    const auto signature = convert_argument("signature", slots[2], binding::to_int8_sequence);
    const auto products = vyr::clifford::geometric_product_n(a, b, signature);
    return binding::build_rows(products).release();
  });
}

}  // extern "C"

namespace vyr::binding {

namespace {

constexpr int kFastCallWithKeywords = METH_FASTCALL | METH_KEYWORDS;

template <class Entry>
PyCFunction entry(Entry function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef g_function_table[] = {
    {"octonion_mul", entry(vyr_octonion_mul), kFastCallWithKeywords,
     "octonion_mul(a, b)\n--\n\nMultiply two octonions. Inputs are 8-element float vectors."},
    {"octonion_mul_n", entry(vyr_octonion_mul_n), kFastCallWithKeywords,
     "octonion_mul_n(a_batch, b_batch)\n--\n\nBatch octonion multiply, thread-parallel."},
    {"octonion_norm_n", entry(vyr_octonion_norm_n), kFastCallWithKeywords,
     "octonion_norm_n(batch)\n--\n\nBatch octonion norm, thread-parallel."},
    {"spectral_flow_step", entry(vyr_spectral_flow_step), kFastCallWithKeywords,
     "spectral_flow_step(x, y)\n--\n\nOne \u03a6 step: returns (x', y')."},
    {"spectral_flow_n", entry(vyr_spectral_flow_n), kFastCallWithKeywords,
     "spectral_flow_n(x0, y0, n_steps)\n--\n\n"
     "Generate a length-(n_steps+1) trajectory starting from (x0, y0)."},
    {"spectral_flow_batch", entry(vyr_spectral_flow_batch), kFastCallWithKeywords,
     "spectral_flow_batch(starts, n_steps)\n--\n\n"
     "Generate one trajectory per starting point \u2014 thread-parallel over starts."},
    {"e8_norms_squared_n", entry(vyr_e8_norms_squared_n), kFastCallWithKeywords,
     "e8_norms_squared_n(points)\n--\n\n"
     "Batch \u2016x\u2016\u00b2 for points (thread-parallel; works for any dimension)."},
    {"e8_min_norm_squared", entry(vyr_e8_min_norm_squared), METH_NOARGS,
     "e8_min_norm_squared()\n--\n\nE\u2088 minimum-vector squared norm (= 2.0)."},
    {"leech_min_norm_squared", entry(vyr_leech_min_norm_squared), METH_NOARGS,
     "leech_min_norm_squared()\n--\n\nLeech minimum-vector squared norm (= 4.0)."},
    {"geometric_product_n", entry(vyr_geometric_product_n), kFastCallWithKeywords,
     "geometric_product_n(a, b, signature)\n--\n\n"
     "Batch geometric product for Cl(p, q) \u2014 thread-parallel."},
    {"add_n", entry(vyr_add_n), kFastCallWithKeywords,
     "add_n(a, b)\n--\n\nVector-add helper exposed for sanity checks (thread-parallel)."},
};

}  // namespace

std::span<PyMethodDef> function_table() noexcept {
  return g_function_table;
}

}  // namespace vyr::binding
