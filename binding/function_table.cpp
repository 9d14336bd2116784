#include "binding/function_table.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <utility>

#include "binding/arguments.hpp"
#include "binding/call_frame.hpp"
#include "binding/from_python.hpp"
#include "binding/to_python.hpp"
#include "src/add.hpp"
#include "src/clifford.hpp"
#include "src/lattice.hpp"
#include "src/octonion.hpp"
#include "src/spectral.hpp"

namespace vyr::binding {

namespace {

// The body of each exported function: convert the arguments in parameter
// order, run the kernel, build the result.  Kernels that can run long run
// through run_kernel, where signal handlers may stop them.

PyRef octonion_mul(const Arguments& arguments) {
  const auto [a, b] = arguments.convert_all(to_float_vector, to_float_vector);
  return build_float_list(octonion::mul_checked(a, b));
}

PyRef octonion_mul_n(const Arguments& arguments) {
  const auto [a_batch, b_batch] = arguments.convert_all(to_batch, to_batch);
  return build_rows(run_kernel([&] { return octonion::mul_n(a_batch, b_batch); }));
}

PyRef octonion_norm_n(const Arguments& arguments) {
  const auto [batch] = arguments.convert_all(to_batch);
  return build_float_list(run_kernel([&] { return octonion::norm_n(batch); }));
}

PyRef spectral_flow_step(const Arguments& arguments) {
  const auto [x, y] = arguments.convert_all(to_double, to_double);
  return build_point_pair(spectral::phi_step(x, y));
}

PyRef spectral_flow_n(const Arguments& arguments) {
  const auto [x0, y0, n_steps] = arguments.convert_all(to_double, to_double, to_size);
  return build_trajectory(run_kernel([&] { return spectral::flow_trajectory(x0, y0, n_steps); }));
}

PyRef spectral_flow_batch(const Arguments& arguments) {
  auto [starts, n_steps] = arguments.convert_all(to_point_pairs, to_size);
  auto trajectories = run_kernel([&] { return spectral::flow_batch(starts, n_steps); });
  // The starts go before the results are built.
  decltype(starts)().swap(starts);
  return build_trajectories(std::move(trajectories));
}

PyRef e8_norms_squared_n(const Arguments& arguments) {
  const auto [points] = arguments.convert_all(to_batch);
  return build_float_list(run_kernel([&] { return lattice::norms_squared_n(points); }));
}

PyRef e8_min_norm_squared(const Arguments&) {
  return build_float(lattice::kE8MinNormSquared);
}

PyRef leech_min_norm_squared(const Arguments&) {
  return build_float(lattice::kLeechMinNormSquared);
}

PyRef geometric_product_n(const Arguments& arguments) {
  const auto [a, b, signature] = arguments.convert_all(to_batch, to_batch, to_int8_sequence);
  return build_rows(run_kernel([&] { return clifford::geometric_product_n(a, b, signature); }));
}

PyRef add_n(const Arguments& arguments) {
  const auto [a, b] = arguments.convert_all(to_float_vector, to_float_vector);
  return build_float_list(run_kernel([&] { return add::add_n(a, b); }));
}

struct ExportedFunction {
  FunctionDescription description;
  PyRef (*body)(const Arguments& arguments);
};

// The exported functions in registration order.
constexpr ExportedFunction kExported[] = {
    {{"octonion_mul", {"a", "b"}, "Multiply two octonions. Inputs are 8-element float vectors."},
     octonion_mul},
    {{"octonion_mul_n", {"a_batch", "b_batch"}, "Batch octonion multiply, thread-parallel."},
     octonion_mul_n},
    {{"octonion_norm_n", {"batch"}, "Batch octonion norm, thread-parallel."}, octonion_norm_n},
    {{"spectral_flow_step", {"x", "y"}, "One \u03a6 step: returns (x', y')."}, spectral_flow_step},
    {{"spectral_flow_n",
      {"x0", "y0", "n_steps"},
      "Generate a length-(n_steps+1) trajectory starting from (x0, y0)."},
     spectral_flow_n},
    {{"spectral_flow_batch",
      {"starts", "n_steps"},
      "Generate one trajectory per starting point \u2014 thread-parallel over starts."},
     spectral_flow_batch},
    {{"e8_norms_squared_n",
      {"points"},
      "Batch \u2016x\u2016\u00b2 for points (thread-parallel; works for any dimension)."},
     e8_norms_squared_n},
    {{"e8_min_norm_squared", {}, "E\u2088 minimum-vector squared norm (= 2.0)."},
     e8_min_norm_squared},
    {{"leech_min_norm_squared", {}, "Leech minimum-vector squared norm (= 4.0)."},
     leech_min_norm_squared},
    {{"geometric_product_n",
      {"a", "b", "signature"},
      "Batch geometric product for Cl(p, q) \u2014 thread-parallel."},
     geometric_product_n},
    {{"add_n", {"a", "b"}, "Vector-add helper exposed for sanity checks (thread-parallel)."},
     add_n},
};

constexpr std::size_t kExportedCount = std::extent_v<decltype(kExported)>;

constexpr bool parameters_fit() {
  for (const ExportedFunction& function : kExported) {
    if (function.description.parameters.size() > kMaxParameters) {
      return false;
    }
  }
  return true;
}
static_assert(parameters_fit(), "raise kMaxParameters");

// The interpreter's entry points of function I: fast call with keywords for
// functions with parameters, no arguments for the others.
template <std::size_t I>
PyObject* fast_call_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_frame([&]() -> PyObject* {
    const Arguments arguments(kExported[I].description, args, nargs, kwnames);
    return kExported[I].body(arguments).release();
  });
}

template <std::size_t I>
PyObject* no_argument_entry(PyObject*, PyObject*) {
  return call_frame([]() -> PyObject* {
    const Arguments arguments(kExported[I].description);
    return kExported[I].body(arguments).release();
  });
}

// "name(a, b)\n--\n\nsummary": the interpreter takes the first line as the
// text signature and the rest as __doc__.
std::string docstring(const FunctionDescription& function) {
  std::string text = function.name;
  text += '(';
  const char* separator = "";
  for (const char* parameter : function.parameters) {
    text += separator;
    text += parameter;
    separator = ", ";
  }
  text += ")\n--\n\n";
  text += function.summary;
  return text;
}

template <std::size_t I>
PyMethodDef method_record(const std::string& doc) {
  const FunctionDescription& function = kExported[I].description;
  if (function.parameters.size() == 0) {
    return {function.name, no_argument_entry<I>, METH_NOARGS, doc.c_str()};
  }
  return {function.name,
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast_call_entry<I>)),
          METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
}

// The docstrings and the records that point into them, made in place once.
struct Table {
  Table() : Table(std::make_index_sequence<kExportedCount>()) {}
  template <std::size_t... I>
  explicit Table(std::index_sequence<I...>)
      : docs{docstring(kExported[I].description)...}, records{method_record<I>(docs[I])...} {}

  const std::array<std::string, kExportedCount> docs;
  std::array<PyMethodDef, kExportedCount> records;
};

}  // namespace

std::span<PyMethodDef> function_table() {
  static Table table;
  return table.records;
}

}  // namespace vyr::binding
