// The array functions: bind and convert the arguments, check every shape,
// make the result, and run the kernels' item loops over the broadcast items.
#include "arrays/functions.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "arrays/args.hpp"
#include "arrays/frame.hpp"
#include "arrays/grid.hpp"
#include "arrays/operands.hpp"
#include "arrays/run.hpp"
#include "src/add.hpp"
#include "src/clifford.hpp"
#include "src/lanes.hpp"
#include "src/lattice.hpp"
#include "src/octonion.hpp"
#include "src/spectral.hpp"

namespace vyr::arrays {

namespace {

using Steps = const std::ptrdiff_t*;
using Pointers = char* const*;

// The work of one item in the units of kPoolThreshold, as measured on ready
// arrays with eight lanes (bench/kernels.cpp): an add, an octonion product,
// 16 terms of a dense Clifford product, one step of the planar map.
constexpr std::uint64_t kAddCost = 1;
constexpr std::uint64_t kOctonionProductCost = 10;
constexpr std::uint64_t kCliffordSixteenTermsCost = 1;
constexpr std::uint64_t kStepCost = 40;

std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) noexcept {
  return b != 0 && a > std::numeric_limits<std::uint64_t>::max() / b
             ? std::numeric_limits<std::uint64_t>::max()
             : a * b;
}

// Work measured on eight lanes, on the lanes of this process.
std::uint64_t on_these_lanes(std::uint64_t cost) {
  const std::uint64_t lanes = lanes::kernels().lanes;
  return saturating_product(cost, 8) / std::max<std::uint64_t>(lanes, 1);
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

PyObject* add(const char* function, PyObject* const* slots) {
  const Operand a = to_float64(function, "a", slots[0]);
  const Operand b = to_float64(function, "b", slots[1]);
  const BatchShape batch = broadcast_batches(function, "a", a, "b", b, 0);
  const Operand* inputs[] = {&a, &b};
  Result result = make_result(function, {batch.extents, static_cast<std::size_t>(batch.axes)},
                              slots[2], inputs, Aliasing::kSameItemSafe);
  ItemGrid grid = grid_of(batch);
  add_batch(grid, a.array(), 0);
  add_batch(grid, b.array(), 0);
  add_batch(grid, result.array(), 0);
  grid.coalesce();
  run_items(
      grid, kAddCost,
      [](std::size_t n, Pointers p, Steps s) {
        add::add_items(n, {p[0], s[0]}, {p[1], s[1]}, {p[2], s[2]});
      },
      kMemoryBoundPoolThreshold);
  return finish(result);
}

// ------------------------------------------------------------------ octonions

// The names of the two operands of a product.
struct Names {
  const char* left;
  const char* right;
};
constexpr Names kAB{"a", "b"};

// Products of corresponding items of `a` and `b`, which have `width`
// components on their last axis, into a result of the same width:
// item_loop(n, a, b, products) runs over the broadcast items.
template <class ItemLoop>
PyObject* products_over_last_axis(const char* function, const Operand& a, const Operand& b,
                                  PyObject* out, npy_intp width, const char* width_text,
                                  std::uint64_t item_cost, Aliasing aliasing, ItemLoop&& item_loop,
                                  Names names = kAB) {
  require_last_axis(function, names.left, a, width, width_text, names.right, &b);
  require_last_axis(function, names.right, b, width, width_text, names.left, &a);
  const BatchShape batch = broadcast_batches(function, names.left, a, names.right, b, 1);
  npy_intp shape[NPY_MAXDIMS + 1];
  const Operand* inputs[] = {&a, &b};
  Result result = make_result(function, with_core(batch, shape, {width}), out, inputs, aliasing);
  ItemGrid grid = grid_of(batch);
  add_batch(grid, a.array(), 1);
  add_batch(grid, b.array(), 1);
  add_batch(grid, result.array(), 1);
  grid.coalesce();
  const std::ptrdiff_t a_step = a.last_stride();
  const std::ptrdiff_t b_step = b.last_stride();
  const std::ptrdiff_t out_step = component_step(result, batch.axes);
  run_items(grid, item_cost, [&](std::size_t n, Pointers p, Steps s) {
    item_loop(n, ItemsIn{p[0], s[0], a_step}, ItemsIn{p[1], s[1], b_step},
              ItemsOut{p[2], s[2], out_step});
  });
  return finish(result);
}

PyObject* octonion_mul(const char* function, PyObject* const* slots) {
  const Operand a = to_float64(function, "a", slots[0]);
  const Operand b = to_float64(function, "b", slots[1]);
  return products_over_last_axis(function, a, b, slots[2], 8, "8",
                                 on_these_lanes(kOctonionProductCost), Aliasing::kSameItemSafe,
                                 octonion::mul_items);
}

// The norms over the last axis: octonion_norm and norms_squared.
template <class ItemLoop>
PyObject* reduce_last_axis(const char* function, PyObject* const* slots, ItemLoop item_loop) {
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

PyObject* octonion_norm(const char* function, PyObject* const* slots) {
  return reduce_last_axis(function, slots, octonion::norm_items);
}

PyObject* norms_squared(const char* function, PyObject* const* slots) {
  return reduce_last_axis(function, slots, lattice::norm_squared_items);
}

// ------------------------------------------------------------------ Clifford

// Largest signature whose component count is a valid array length.
constexpr std::size_t kMaxRepresentableBasisVectors = 62;

// `object` through __index__, TypeError naming `what` when it has none; the
// value with PyLong_AsLongLongAndOverflow's overflow flag.
struct Integer {
  Ref object;
  long long value;
  int overflow;
};

Integer to_integer(const char* function, const char* what, PyObject* object) {
  Integer integer{Ref(PyNumber_Index(object)), 0, 0};
  if (!integer.object) {
    PyErr_Clear();
    raise(PyExc_TypeError, "%s: %s must be an integer, not '%s'", function, what,
          Py_TYPE(object)->tp_name);
  }
  integer.value = PyLong_AsLongLongAndOverflow(integer.object.get(), &integer.overflow);
  if (integer.value == -1 && PyErr_Occurred()) {
    raise_pending();
  }
  return integer;
}

std::int8_t signature_entry(const char* function, PyObject* item, Py_ssize_t position) {
  const Integer entry = to_integer(function, "a signature entry", item);
  if (entry.overflow != 0 || entry.value < -128 || entry.value > 127) {
    raise(PyExc_ValueError,
          "%s: signature entry %zd is %S, outside the signed 8-bit range -128..127", function,
          position, entry.object.get());
  }
  return static_cast<std::int8_t>(entry.value);
}

std::vector<std::int8_t> to_signature(const char* function, PyObject* object) {
  Ref sequence;
  if (PyArray_Check(object)) {
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    const char kind = PyArray_DESCR(array)->kind;
    if (PyArray_NDIM(array) != 1) {
      raise(
          PyExc_ValueError, "%s: signature must have one axis, but has shape %s", function,
          shape_text({PyArray_DIMS(array), static_cast<std::size_t>(PyArray_NDIM(array))}).c_str());
    }
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'O') {
      raise(PyExc_TypeError, "%s: signature entries must be integers, not %S", function,
            reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
    }
    sequence = Ref(PyArray_ToList(array));
  } else if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object)) {
    raise(PyExc_TypeError, "%s: signature must be a sequence of integers, not '%s'", function,
          Py_TYPE(object)->tp_name);
  } else {
    sequence = new_ref(object);
  }
  if (!sequence) {
    raise_pending();
  }
  // A tuple of the entries: reading an entry runs its __index__, which may
  // change the caller's list, so the entries are held apart from it.
  if (!PySequence_Check(sequence.get())) {
    raise(PyExc_TypeError, "%s: signature must be a sequence of integers, not '%s'", function,
          Py_TYPE(object)->tp_name);
  }
  Ref entries(PySequence_Tuple(sequence.get()));
  if (!entries) {
    raise_pending();
  }
  const Py_ssize_t size = PyTuple_GET_SIZE(entries.get());
  std::vector<std::int8_t> signature;
  signature.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    signature.push_back(signature_entry(function, PyTuple_GET_ITEM(entries.get(), i), i));
  }
  return signature;
}

// Clifford products over the last axis (the signature in slots[2], out in
// slots[3]), `products_per_item` products' work per item; `item_loop(n, a,
// b, signature, products)` computes them.
template <class ItemLoop>
PyObject* clifford_over_last_axis(const char* function, PyObject* const* slots, Names names,
                                  std::uint64_t products_per_item, ItemLoop item_loop) {
  const Operand a = to_float64(function, names.left, slots[0]);
  const Operand b = to_float64(function, names.right, slots[1]);
  const std::vector<std::int8_t> signature = to_signature(function, slots[2]);
  const std::size_t n = signature.size();
  if (n > kMaxRepresentableBasisVectors) {
    raise(PyExc_ValueError,
          "%s: a signature of %zu entries makes multivectors of 2**%zu "
          "components, more than an array axis can hold",
          function, n, n);
  }
  const auto dimension = static_cast<std::int64_t>(std::int64_t{1} << n);
  const std::string dimension_text = "2**len(signature) = " + std::to_string(dimension);
  // Past the shape checks n is at most 59 whenever there is an item: numpy
  // keeps every array below 2^63 bytes, so no float64 array with an item has
  // a last axis of 2^60 components.
  const auto d = static_cast<std::uint64_t>(dimension);
  const std::uint64_t product_cost =
      saturating_product(kCliffordSixteenTermsCost, saturating_product(d, d) / 16 + 2);
  const clifford::Metric metric = clifford::describe(signature);
  return products_over_last_axis(
      function, a, b, slots[3], dimension, dimension_text.c_str(),
      on_these_lanes(saturating_product(product_cost, products_per_item)), Aliasing::kNone,
      [&metric, &item_loop](std::size_t count, ItemsIn left, ItemsIn right, ItemsOut products) {
        item_loop(count, left, right, metric, products);
      },
      names);
}

PyObject* geometric_product(const char* function, PyObject* const* slots) {
  return clifford_over_last_axis(function, slots, kAB, 1, clifford::product_items);
}

// Both products of a sandwich run in one pass over the items, which costs
// about what one product costs on its own.
PyObject* sandwich(const char* function, PyObject* const* slots) {
  return clifford_over_last_axis(function, slots, Names{"r", "x"}, 1, clifford::sandwich_items);
}

// ------------------------------------------------------------------ the planar map

PyObject* spectral_flow_step(const char* function, PyObject* const* slots) {
  const Operand points = to_float64(function, "points", slots[0]);
  require_last_axis(function, "points", points, 2, "2", nullptr, nullptr);
  const BatchShape batch = batch_of(points, 1);
  npy_intp shape[NPY_MAXDIMS + 1];
  const Operand* inputs[] = {&points};
  Result result =
      make_result(function, with_core(batch, shape, {2}), nullptr, inputs, Aliasing::kSameItemSafe);
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

std::uint64_t to_step_count(const char* function, PyObject* object) {
  const Integer steps = to_integer(function, "n_steps", object);
  if (steps.overflow < 0 || (steps.overflow == 0 && steps.value < 0)) {
    raise(PyExc_ValueError, "%s: n_steps must not be negative, got %S", function,
          steps.object.get());
  }
  if (steps.overflow > 0 || steps.value >= NPY_MAX_INTP) {
    raise(PyExc_ValueError,
          "%s: n_steps = %S is too large: a trajectory of n_steps + 1 points would not fit an "
          "array axis",
          function, steps.object.get());
  }
  return static_cast<std::uint64_t>(steps.value);
}

PyObject* spectral_flow(const char* function, PyObject* const* slots) {
  const Operand starts = to_float64(function, "starts", slots[0]);
  const std::uint64_t n_steps = to_step_count(function, slots[1]);
  require_last_axis(function, "starts", starts, 2, "2", nullptr, nullptr);
  const BatchShape batch = batch_of(starts, 1);
  if (batch.axes + 2 > NPY_MAXDIMS) {
    raise(PyExc_ValueError, "%s: starts has %d axes, one more than the result can have", function,
          starts.axes());
  }
  npy_intp shape[NPY_MAXDIMS + 2];
  const Operand* inputs[] = {&starts};
  Result result =
      make_result(function, with_core(batch, shape, {static_cast<npy_intp>(n_steps) + 1, 2}),
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

// Each function described once: its name, its parameters (the first
// `required` of them must be given), a summary, and its body.  The docstring
// with its text signature and the argument binding derive from this.
struct Function {
  Parameters parameters;
  const char* summary;
  PyObject* (*body)(const char* function, PyObject* const* slots);
};

const Function kFunctions[] = {
    {{"add", {"a", "b", "out"}, 2}, "Element-wise a + b over the broadcast of a and b.", add},
    {{"octonion_mul", {"a", "b", "out"}, 2},
     "Octonion products over the last axis (length 8), broadcast over the others.",
     octonion_mul},
    {{"octonion_norm", {"a", "out"}, 1},
     "Euclidean norm over the last axis (any length; an empty axis gives -0.0).",
     octonion_norm},
    {{"norms_squared", {"a", "out"}, 1},
     "Sum of squares over the last axis (any length; an empty axis gives -0.0).",
     norms_squared},
    {{"geometric_product", {"a", "b", "signature", "out"}, 3},
     "Geometric products in the Clifford algebra whose basis vectors square to the entries of "
     "signature; the last axis holds the 2**len(signature) components.",
     geometric_product},
    {{"sandwich", {"r", "x", "signature", "out"}, 3},
     "The sandwiches r x r~ in the Clifford algebra of signature (r~: the reverse of r, whose "
     "components of grades 2 and 3 mod 4 are negated), bit for bit "
     "geometric_product(geometric_product(r, x, signature), r~, signature); r and x broadcast "
     "over all axes but the last, which holds the 2**len(signature) components.",
     sandwich},
    {{"spectral_flow_step", {"points"}, 1},
     "One step of the planar map for every point (x, y) on the last axis (length 2).",
     spectral_flow_step},
    {{"spectral_flow", {"starts", "n_steps", "out"}, 2},
     "Trajectories of n_steps + 1 points from every start (x, y) on the last axis; the result "
     "has shape starts.shape[:-1] + (n_steps + 1, 2).",
     spectral_flow},
};
constexpr std::size_t kFunctionCount = std::size(kFunctions);
constexpr std::size_t kMaxParameters = 4;

template <std::size_t I>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return array_frame([&] {
    const Function& function = kFunctions[I];
    PyObject* slots[kMaxParameters];
    bind(function.parameters, args, nargs, kwnames, slots);
    return function.body(function.parameters.function, slots);
  });
}

// "name(a, b, out=None)\n--\n\nsummary": the text signature that
// inspect.signature reads, then the summary.
std::string docstring(const Function& function) {
  std::string text = std::string(function.parameters.function) + "(";
  std::size_t index = 0;
  for (const char* name : function.parameters.names) {
    text += index > 0 ? ", " : "";
    text += name;
    text += index++ < function.parameters.required ? "" : "=None";
  }
  return text + ")\n--\n\n" + function.summary;
}

struct MethodTable {
  std::array<std::string, kFunctionCount> docs;
  std::array<PyMethodDef, kFunctionCount + 1> records{};

  MethodTable() { fill(std::make_index_sequence<kFunctionCount>()); }

  template <std::size_t... I>
  void fill(std::index_sequence<I...>) {
    ((docs[I] = docstring(kFunctions[I]),
      records[I] = {kFunctions[I].parameters.function,
                    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<I>)),
                    METH_FASTCALL | METH_KEYWORDS, docs[I].c_str()}),
     ...);
  }
};

}  // namespace

PyMethodDef* function_table() {
  // Made on first use and kept for the life of the process, as the function
  // objects refer to it.
  static MethodTable* const table = new MethodTable();
  return table->records.data();
}

}  // namespace vyr::arrays
