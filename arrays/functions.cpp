// The array functions: bind and convert the arguments, check every shape,
// make the result, and run the kernels' item loops over the broadcast items.
#include "arrays/functions.hpp"

#include <cstdint>
#include <limits>
#include <vector>

#include "arrays/args.hpp"
#include "arrays/frame.hpp"
#include "arrays/grid.hpp"
#include "arrays/operands.hpp"
#include "arrays/run.hpp"
#include "src/add.hpp"
#include "src/clifford.hpp"
#include "src/lattice.hpp"
#include "src/octonion.hpp"
#include "src/spectral.hpp"

namespace vyr::arrays {

namespace {

using Steps = const std::ptrdiff_t*;
using Pointers = char* const*;

// The work of one item in the units of kPoolThreshold, as measured on ready
// arrays (bench/kernels.cpp): an add, an octonion product, one term of a
// dense Clifford product, one step of the planar map.
constexpr std::uint64_t kAddCost = 1;
constexpr std::uint64_t kOctonionProductCost = 120;
constexpr std::uint64_t kCliffordTermCost = 4;
constexpr std::uint64_t kStepCost = 40;

std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) noexcept {
  return b != 0 && a > std::numeric_limits<std::uint64_t>::max() / b
             ? std::numeric_limits<std::uint64_t>::max()
             : a * b;
}

// The operand's batch axes (all but the last `core`) as one operand of the grid.
void add_batch(ItemGrid& grid, PyArrayObject* array, int core) {
  grid.add_operand(PyArray_BYTES(array), PyArray_DIMS(array), PyArray_STRIDES(array),
                   PyArray_NDIM(array) - core);
}

ItemGrid grid_of(const BatchShape& batch) {
  return ItemGrid(batch.extents, batch.axes);
}

std::span<const npy_intp> with_core(const BatchShape& batch, npy_intp* shape,
                                    std::initializer_list<npy_intp> core) {
  std::copy(batch.extents, batch.extents + batch.axes, shape);
  std::copy(core.begin(), core.end(), shape + batch.axes);
  return {shape, static_cast<std::size_t>(batch.axes) + core.size()};
}

npy_intp component_step(const Result& result, int axis) {
  return PyArray_STRIDES(result.array())[axis];
}

// ------------------------------------------------------------------ add

const Parameters kAdd{"add", {"a", "b", "out"}, 2};

PyObject* add(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[3];
  bind(kAdd, args, nargs, kwnames, slots);
  const Operand a = to_float64("add", "a", slots[0]);
  const Operand b = to_float64("add", "b", slots[1]);
  const BatchShape batch = broadcast_batches("add", "a", a, "b", b, 0);
  const Operand* inputs[] = {&a, &b};
  Result result = make_result("add", {batch.extents, static_cast<std::size_t>(batch.axes)},
                              slots[2], inputs, Aliasing::kSameItemSafe);
  ItemGrid grid = grid_of(batch);
  add_batch(grid, a.array(), 0);
  add_batch(grid, b.array(), 0);
  add_batch(grid, result.array(), 0);
  grid.coalesce();
  run_items(grid, kAddCost, [](std::size_t n, Pointers p, Steps s) {
    add_items(n, {p[0], s[0]}, {p[1], s[1]}, {p[2], s[2]});
  });
  return finish(result);
}

// ------------------------------------------------------------------ octonions

const Parameters kOctonionMul{"octonion_mul", {"a", "b", "out"}, 2};

PyObject* octonion_mul(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[3];
  bind(kOctonionMul, args, nargs, kwnames, slots);
  const Operand a = to_float64("octonion_mul", "a", slots[0]);
  const Operand b = to_float64("octonion_mul", "b", slots[1]);
  require_last_axis("octonion_mul", "a", a, 8, "8", "b", &b);
  require_last_axis("octonion_mul", "b", b, 8, "8", "a", &a);
  const BatchShape batch = broadcast_batches("octonion_mul", "a", a, "b", b, 1);
  npy_intp shape[NPY_MAXDIMS + 1];
  const Operand* inputs[] = {&a, &b};
  Result result = make_result("octonion_mul", with_core(batch, shape, {8}), slots[2], inputs,
                              Aliasing::kSameItemSafe);
  ItemGrid grid = grid_of(batch);
  add_batch(grid, a.array(), 1);
  add_batch(grid, b.array(), 1);
  add_batch(grid, result.array(), 1);
  grid.coalesce();
  const std::ptrdiff_t a_step = a.last_stride();
  const std::ptrdiff_t b_step = b.last_stride();
  const std::ptrdiff_t out_step = component_step(result, batch.axes);
  run_items(grid, kOctonionProductCost, [=](std::size_t n, Pointers p, Steps s) {
    octonion::mul_items(n, {p[0], s[0], a_step}, {p[1], s[1], b_step}, {p[2], s[2], out_step});
  });
  return finish(result);
}

// The norms over the last axis: octonion_norm and norms_squared.
template <class ItemLoop>
PyObject* reduce_last_axis(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, ItemLoop item_loop) {
  PyObject* slots[2];
  bind(parameters, args, nargs, kwnames, slots);
  const char* const function = parameters.function;
  const Operand a = to_float64(function, "a", slots[0]);
  require_last_axis(function, "a", a, -1, "", nullptr, nullptr);
  const BatchShape batch = batch_of(a, 1);
  const Operand* inputs[] = {&a};
  Result result = make_result(function, {batch.extents, static_cast<std::size_t>(batch.axes)},
                              slots[1], inputs, Aliasing::kNone);
  ItemGrid grid = grid_of(batch);
  add_batch(grid, a.array(), 1);
  add_batch(grid, result.array(), 0);
  grid.coalesce();
  const auto length = static_cast<std::size_t>(a.last_extent());
  const std::ptrdiff_t a_step = a.last_stride();
  run_items(grid, length + 1, [=](std::size_t n, Pointers p, Steps s) {
    item_loop(n, ItemsIn{p[0], s[0], a_step}, length, ItemsOut{p[1], s[1]});
  });
  return finish(result);
}

const Parameters kOctonionNorm{"octonion_norm", {"a", "out"}, 1};
const Parameters kNormsSquared{"norms_squared", {"a", "out"}, 1};

PyObject* octonion_norm(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return reduce_last_axis(kOctonionNorm, args, nargs, kwnames, octonion::norm_items);
}

PyObject* norms_squared(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return reduce_last_axis(kNormsSquared, args, nargs, kwnames, lattice::norm_squared_items);
}

// ------------------------------------------------------------------ Clifford

const Parameters kGeometricProduct{"geometric_product", {"a", "b", "signature", "out"}, 3};

// Largest signature whose component count is a valid array length.
constexpr std::size_t kMaxRepresentableBasisVectors = 62;

std::int8_t signature_entry(PyObject* item, Py_ssize_t position) {
  PyRef index(PyNumber_Index(item));
  if (!index) {
    PyErr_Clear();
    raise(PyExc_TypeError, "geometric_product: signature entries must be integers, not '%s'",
          Py_TYPE(item)->tp_name);
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) {
    raise_pending();
  }
  if (overflow != 0 || value < -128 || value > 127) {
    raise(PyExc_ValueError,
          "geometric_product: signature entry %zd is %S, outside the signed 8-bit range -128..127",
          position, index.get());
  }
  return static_cast<std::int8_t>(value);
}

std::vector<std::int8_t> to_signature(PyObject* object) {
  PyRef sequence;
  if (PyArray_Check(object)) {
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    const char kind = PyArray_DESCR(array)->kind;
    if (PyArray_NDIM(array) != 1) {
      raise(PyExc_ValueError, "geometric_product: signature must have one axis, but has shape %s",
            shape_text({PyArray_DIMS(array), static_cast<std::size_t>(PyArray_NDIM(array))})
                .c_str());
    }
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'O') {
      raise(PyExc_TypeError, "geometric_product: signature entries must be integers, not %S",
            reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
    }
    sequence = PyRef(PyArray_ToList(array));
  } else if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object)) {
    raise(PyExc_TypeError, "geometric_product: signature must be a sequence of integers, not '%s'",
          Py_TYPE(object)->tp_name);
  } else {
    sequence = PyRef::borrow(object);
  }
  if (!sequence) {
    raise_pending();
  }
  PyRef fast(PySequence_Fast(sequence.get(), ""));
  if (!fast) {
    PyErr_Clear();
    raise(PyExc_TypeError, "geometric_product: signature must be a sequence of integers, not '%s'",
          Py_TYPE(object)->tp_name);
  }
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(fast.get());
  std::vector<std::int8_t> signature;
  signature.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    signature.push_back(signature_entry(PySequence_Fast_GET_ITEM(fast.get(), i), i));
  }
  return signature;
}

PyObject* geometric_product(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[4];
  bind(kGeometricProduct, args, nargs, kwnames, slots);
  const Operand a = to_float64("geometric_product", "a", slots[0]);
  const Operand b = to_float64("geometric_product", "b", slots[1]);
  const std::vector<std::int8_t> signature = to_signature(slots[2]);
  const std::size_t n = signature.size();
  if (n > kMaxRepresentableBasisVectors) {
    raise(PyExc_ValueError,
          "geometric_product: a signature of %zu entries makes multivectors of 2**%zu "
          "components, more than an array axis can hold",
          n, n);
  }
  const auto dimension = static_cast<std::int64_t>(std::int64_t{1} << n);
  const std::string dimension_text =
      "2**len(signature) = " + std::to_string(dimension);
  require_last_axis("geometric_product", "a", a, dimension, dimension_text.c_str(), "b", &b);
  require_last_axis("geometric_product", "b", b, dimension, dimension_text.c_str(), "a", &a);
  const BatchShape batch = broadcast_batches("geometric_product", "a", a, "b", b, 1);
  npy_intp shape[NPY_MAXDIMS + 1];
  const Operand* inputs[] = {&a, &b};
  Result result = make_result("geometric_product", with_core(batch, shape, {dimension}), slots[3],
                              inputs, Aliasing::kNone);
  ItemGrid grid = grid_of(batch);
  add_batch(grid, a.array(), 1);
  add_batch(grid, b.array(), 1);
  add_batch(grid, result.array(), 1);
  grid.coalesce();
  // Past this point n is at most 59 whenever there is an item: numpy keeps
  // every array below 2^63 bytes, so no float64 array with an item has a
  // last axis of 2^60 components.
  const std::ptrdiff_t a_step = a.last_stride();
  const std::ptrdiff_t b_step = b.last_stride();
  const std::ptrdiff_t out_step = component_step(result, batch.axes);
  const auto d = static_cast<std::uint64_t>(dimension);
  run_items(grid, saturating_product(kCliffordTermCost, saturating_product(d, d)), [&](std::size_t count, Pointers p, Steps s) {
    clifford::product_items(count, {p[0], s[0], a_step}, {p[1], s[1], b_step}, signature,
                            {p[2], s[2], out_step});
  });
  return finish(result);
}

// ------------------------------------------------------------------ the planar map

const Parameters kSpectralFlowStep{"spectral_flow_step", {"points"}, 1};

PyObject* spectral_flow_step(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1];
  bind(kSpectralFlowStep, args, nargs, kwnames, slots);
  const Operand points = to_float64("spectral_flow_step", "points", slots[0]);
  require_last_axis("spectral_flow_step", "points", points, 2, "2", nullptr, nullptr);
  const BatchShape batch = batch_of(points, 1);
  npy_intp shape[NPY_MAXDIMS + 1];
  const Operand* inputs[] = {&points};
  Result result = make_result("spectral_flow_step", with_core(batch, shape, {2}), nullptr, inputs,
                              Aliasing::kSameItemSafe);
  ItemGrid grid = grid_of(batch);
  add_batch(grid, points.array(), 1);
  add_batch(grid, result.array(), 1);
  grid.coalesce();
  const std::ptrdiff_t in_step = points.last_stride();
  const std::ptrdiff_t out_step = component_step(result, batch.axes);
  run_items(grid, kStepCost, [=](std::size_t n, Pointers p, Steps s) {
    spectral::step_items(n, {p[0], s[0], in_step}, {p[1], s[1], out_step});
  });
  return finish(result);
}

const Parameters kSpectralFlow{"spectral_flow", {"starts", "n_steps", "out"}, 2};

std::uint64_t to_step_count(PyObject* object) {
  PyRef index(PyNumber_Index(object));
  if (!index) {
    PyErr_Clear();
    raise(PyExc_TypeError, "spectral_flow: n_steps must be an integer, not '%s'",
          Py_TYPE(object)->tp_name);
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) {
    raise_pending();
  }
  if (overflow < 0 || (overflow == 0 && value < 0)) {
    raise(PyExc_ValueError, "spectral_flow: n_steps must not be negative, got %S", index.get());
  }
  if (overflow > 0 || value >= NPY_MAX_INTP) {
    raise(PyExc_ValueError, "spectral_flow: n_steps = %S is too large: a trajectory of n_steps + 1 "
          "points would not fit an array axis", index.get());
  }
  return static_cast<std::uint64_t>(value);
}

PyObject* spectral_flow(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[3];
  bind(kSpectralFlow, args, nargs, kwnames, slots);
  const Operand starts = to_float64("spectral_flow", "starts", slots[0]);
  const std::uint64_t n_steps = to_step_count(slots[1]);
  require_last_axis("spectral_flow", "starts", starts, 2, "2", nullptr, nullptr);
  const BatchShape batch = batch_of(starts, 1);
  if (batch.axes + 2 > NPY_MAXDIMS) {
    raise(PyExc_ValueError, "spectral_flow: starts has %d axes, one more than the result can have",
          starts.axes());
  }
  npy_intp shape[NPY_MAXDIMS + 2];
  const Operand* inputs[] = {&starts};
  Result result = make_result("spectral_flow",
                              with_core(batch, shape, {static_cast<npy_intp>(n_steps) + 1, 2}),
                              slots[2], inputs, Aliasing::kNone);
  ItemGrid grid = grid_of(batch);
  add_batch(grid, starts.array(), 1);
  add_batch(grid, result.array(), 2);
  grid.coalesce();
  const std::ptrdiff_t in_step = starts.last_stride();
  const std::ptrdiff_t point_step = component_step(result, batch.axes);
  const std::ptrdiff_t out_step = component_step(result, batch.axes + 1);
  run_items(grid, saturating_product(kStepCost, n_steps + 1),
            [=](std::size_t n, Pointers p, Steps s) {
              spectral::flow_items(n, {p[0], s[0], in_step}, n_steps,
                                   {{p[1], s[1], out_step}, point_step});
            });
  return finish(result);
}

template <PyObject* (*Body)(PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return array_frame([&] { return Body(args, nargs, kwnames); });
}

template <PyObject* (*Body)(PyObject* const*, Py_ssize_t, PyObject*)>
PyCFunction method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<Body>));
}

constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_functions[] = {
    {"add", method<add>(), kFastCall,
     "add(a, b, out=None)\n--\n\n"
     "Element-wise a + b over the broadcast of a and b."},
    {"octonion_mul", method<octonion_mul>(), kFastCall,
     "octonion_mul(a, b, out=None)\n--\n\n"
     "Octonion products a[..., :] b[..., :] over the last axis (length 8), "
     "broadcast over the others."},
    {"octonion_norm", method<octonion_norm>(), kFastCall,
     "octonion_norm(a, out=None)\n--\n\n"
     "Euclidean norm over the last axis (any length; an empty axis gives -0.0)."},
    {"norms_squared", method<norms_squared>(), kFastCall,
     "norms_squared(a, out=None)\n--\n\n"
     "Sum of squares over the last axis (any length; an empty axis gives -0.0)."},
    {"geometric_product", method<geometric_product>(), kFastCall,
     "geometric_product(a, b, signature, out=None)\n--\n\n"
     "Geometric products in the Clifford algebra whose basis vectors square to the "
     "entries of signature; the last axis holds the 2**len(signature) components."},
    {"spectral_flow_step", method<spectral_flow_step>(), kFastCall,
     "spectral_flow_step(points)\n--\n\n"
     "One step of the planar map for every point (x, y) on the last axis (length 2)."},
    {"spectral_flow", method<spectral_flow>(), kFastCall,
     "spectral_flow(starts, n_steps, out=None)\n--\n\n"
     "Trajectories of n_steps + 1 points from every start (x, y) on the last axis; "
     "the result has shape starts.shape[:-1] + (n_steps + 1, 2)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* function_table() noexcept {
  return g_functions;
}

}  // namespace vyr::arrays
