#include "arrays/ufuncs.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "arrays/run.hpp"
#include "core/strided.hpp"
#include "interpreter/pyref.hpp"
#include "src/add.hpp"
#include "src/algebra_operations.hpp"
#include "src/clifford.hpp"
#include "src/lanes.hpp"
#include "src/lattice.hpp"
#include "src/octonion.hpp"
#include "src/octonion_functions.hpp"
#include "src/spectral.hpp"

namespace vyr::arrays {

namespace {

// ------------------------------------------------------------------ costs

// The work of one item in the units of kPoolThreshold, as measured through
// the ufuncs on one thread with eight lanes (bench/thread_sweep.py): an add,
// an octonion product, a few terms of a dense Clifford product (with the
// loads and stores of its items), one step of the planar map.
constexpr std::uint64_t kAddCost = 1;
constexpr std::uint64_t kOctonionProductCost = 17;
constexpr std::uint64_t kCliffordTermsPerUnit = 3;
constexpr std::uint64_t kStepCost = 40;
// A function of one octonion: about a product's work, or a few calls of the
// C library's transcendental functions.
constexpr std::uint64_t kOctonionFunctionCost = 40;

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

// ------------------------------------------------------------------ what a ufunc keeps

// The algebra that a family of gufuncs shares.
struct AlgebraTables {
  std::vector<std::int8_t> entries;
  clifford::Metric metric;
  std::uint64_t product_cost = 0;  // one geometric product of the algebra
};

// What a ufunc's loop needs beyond its operands, owned by the ufunc (through
// a capsule in its `obj` field, which numpy releases with the ufunc).  numpy
// keeps pointers to the name and the docstring, so they live here too.
struct UfuncData {
  std::string name;
  std::string doc;
  std::string signature;
  std::vector<NPY_TYPES> types;  // one per operand, outputs last
  std::shared_ptr<const AlgebraTables> algebra;
  const clifford::Operation* operation = nullptr;
  const octonion::UnaryFunction* unary = nullptr;
};

constexpr const char kCapsuleName[] = "vyr_spectral_arrays.ufunc_data";

void destroy_data(PyObject* capsule) {
  delete static_cast<UfuncData*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

const UfuncData& data_of(PyObject* ufunc) {
  PyObject* capsule = reinterpret_cast<PyUFuncObject*>(ufunc)->obj;
  return *static_cast<const UfuncData*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

const UfuncData& data_of(PyArrayMethod_Context* context) {
  return data_of(context->caller);
}

// ------------------------------------------------------------------ operands

std::size_t count_of(const npy_intp* dimensions) {
  return static_cast<std::size_t>(dimensions[0]);
}

ItemsIn in_items(char* data, npy_intp item_step, npy_intp component_step = sizeof(double)) {
  return {data, item_step, component_step};
}

ItemsOut out_items(char* data, npy_intp item_step, npy_intp component_step = sizeof(double)) {
  return {data, item_step, component_step};
}

// The bytes that `count` items of `item_step` bytes, each `core_bytes` long
// from its start (with a last component `component_bytes` wide), may touch.
struct Extent {
  const char* low;
  const char* high;  // one past the end
};

Extent extent_of(const char* data, std::size_t count, npy_intp item_step, npy_intp core_low,
                 npy_intp core_high) {
  const npy_intp span = count == 0 ? 0 : static_cast<npy_intp>(count - 1) * item_step;
  const npy_intp first = std::min<npy_intp>(0, span);
  const npy_intp last = std::max<npy_intp>(0, span);
  return {data + first + core_low, data + last + core_high};
}

bool overlap(const Extent& a, const Extent& b) {
  return a.low < b.high && b.low < a.high;
}

// The extent of an operand whose items hold `components` doubles
// `component_step` bytes apart.
Extent operand_extent(const char* data, std::size_t count, npy_intp item_step, npy_intp components,
                      npy_intp component_step) {
  npy_intp low = 0;
  npy_intp high = sizeof(double);
  if (components > 0) {
    const npy_intp reach = (components - 1) * component_step;
    low = std::min<npy_intp>(0, reach);
    high = std::max<npy_intp>(0, reach) + static_cast<npy_intp>(sizeof(double));
  }
  return extent_of(data, count, item_step, low, high);
}

// ------------------------------------------------------------------ element-wise add

// Sums one at a time in item order, so that each reads what the sums before
// it wrote: what numpy asks of a loop whose output runs over an input at
// another offset (accumulate) or stays on one element (reduce, a left fold).
int add_in_order(std::size_t count, ItemsIn a, ItemsIn b, ItemsOut sums) {
  const FloatingPointFlagsKept flags;
  constexpr std::size_t kItemsBetweenSignalChecks = std::size_t{1} << 20;
  for (std::size_t first = 0; first < count; first += kItemsBetweenSignalChecks) {
    if (first > 0 && poll_signals() != 0) {
      return -1;
    }
    const std::size_t last = std::min(count, first + kItemsBetweenSignalChecks);
    for (std::size_t i = first; i < last; ++i) {
      *sums.item(i) = add::sum(*a.item(i), *b.item(i));
    }
  }
  return 0;
}

int add_loop(PyArrayMethod_Context*, char* const* data, const npy_intp* dimensions,
             const npy_intp* steps, NpyAuxData*) {
  const std::size_t count = count_of(dimensions);
  const ItemsIn a = in_items(data[0], steps[0]);
  const ItemsIn b = in_items(data[1], steps[1]);
  const ItemsOut sums = out_items(data[2], steps[2]);
  const Extent out_extent = operand_extent(data[2], count, steps[2], 0, 0);
  bool aliases = false;
  for (int k = 0; k < 2; ++k) {
    if (!overlap(out_extent, operand_extent(data[k], count, steps[k], 0, 0))) {
      continue;
    }
    aliases = true;
    // The same elements in the same order: each sum reads its own operands
    // before it writes, so the items stay independent.
    if (data[k] != data[2] || steps[k] != steps[2] || (steps[2] == 0 && count > 1)) {
      return add_in_order(count, a, b, sums);
    }
  }
  auto runs = [&](std::size_t first, std::size_t last) {
    const auto offset = static_cast<npy_intp>(first);
    add::add_items(last - first, in_items(data[0] + offset * steps[0], steps[0]),
                   in_items(data[1] + offset * steps[1], steps[1]),
                   out_items(data[2] + offset * steps[2], steps[2]));
  };
  return run_items(count, Work{kAddCost, kMemoryBoundPoolThreshold, aliases},
                   parallel::RangeFn(runs));
}

// ------------------------------------------------------------------ gufunc operands

// The operands of a gufunc loop: numpy passes the outer steps of every
// operand first, then the steps of each operand's core axes in order.
template <std::size_t N>
struct Operands {
  std::array<char*, N> data;
  std::array<npy_intp, N> item_step;
  std::array<npy_intp, N> component_step{};
  std::array<npy_intp, N> components{};

  // Operand k moved on by `first` items.
  char* at(std::size_t k, std::size_t first) const {
    return data[k] + static_cast<npy_intp>(first) * item_step[k];
  }
  ItemsIn in(std::size_t k, std::size_t first) const {
    return in_items(at(k, first), item_step[k], component_step[k]);
  }
  ItemsOut out(std::size_t k, std::size_t first) const {
    return out_items(at(k, first), item_step[k], component_step[k]);
  }
  // Whether the output (operand `inputs`, after the inputs) shares memory
  // with an input, for `count` items.
  bool output_aliases_input(std::size_t count, std::size_t inputs) const {
    const Extent written = operand_extent(data[inputs], count, item_step[inputs],
                                          components[inputs], component_step[inputs]);
    for (std::size_t i = 0; i < inputs; ++i) {
      if (overlap(written,
                  operand_extent(data[i], count, item_step[i], components[i], component_step[i]))) {
        return true;
      }
    }
    return false;
  }
};

// Operands whose core is at most one axis each: `core[k]` is the length of
// operand k's axis, or 0 for an operand without one.
template <std::size_t N>
Operands<N> one_axis_operands(char* const* data, const npy_intp* steps,
                              const std::array<npy_intp, N>& core) {
  Operands<N> operands;
  std::size_t next_core_step = N;
  for (std::size_t k = 0; k < N; ++k) {
    operands.data[k] = data[k];
    operands.item_step[k] = steps[k];
    if (core[k] > 0) {
      operands.components[k] = core[k];
      operands.component_step[k] = steps[next_core_step++];
    } else {
      operands.component_step[k] = sizeof(double);
    }
  }
  return operands;
}

// The bytes of scratch a run of items whose output shares memory with an
// input is computed into.
constexpr std::size_t kScratchBytes = std::size_t{64} << 10;

// Runs loop(first, last, out) over the items, `out` being where the results
// of items [first, last) go.  numpy hands a gufunc an output that is one of
// its inputs, item for item (out=a), as it is, and copies operands that share
// memory in any other way.  An item loop may write some components of an
// item before it has read all of the item's operands, so where the output
// shares memory with an input, runs of items are computed into scratch and
// then copied out: each item's result is stored after its operands are read.
template <std::size_t N, class Loop>
int run_gufunc(std::size_t count, const Operands<N>& operands, std::size_t inputs,
               std::uint64_t item_cost, Loop&& loop) {
  Work work{item_cost};
  work.output_aliases_input = operands.output_aliases_input(count, inputs);
  if (!work.output_aliases_input) {
    auto runs = [&](std::size_t first, std::size_t last) {
      loop(first, last, operands.out(inputs, first));
    };
    return run_items(count, work, parallel::RangeFn(runs));
  }
  // Doubles or 64-bit integers, copied as bytes.
  const auto width = static_cast<std::size_t>(std::max<npy_intp>(operands.components[inputs], 1));
  const std::size_t block = std::max<std::size_t>(1, kScratchBytes / (width * sizeof(double)));
  const auto row_bytes = static_cast<npy_intp>(width * sizeof(double));
  auto runs = [&](std::size_t first, std::size_t last) {
    std::vector<double> scratch(std::min(block, last - first) * width);
    for (std::size_t begin = first; begin < last; begin += block) {
      const std::size_t end = std::min(last, begin + block);
      loop(begin, end, out_items(reinterpret_cast<char*>(scratch.data()), row_bytes));
      const ItemsOut out = operands.out(inputs, begin);
      const std::size_t items = end - begin;
      if (out.contiguous_components() && out.item_step == row_bytes) {
        std::memcpy(out.item(0), scratch.data(), items * width * sizeof(double));
        continue;
      }
      for (std::size_t i = 0; i < items; ++i) {
        double* const item = out.item(i);
        if (out.contiguous_components()) {
          std::memcpy(item, &scratch[i * width], width * sizeof(double));
          continue;
        }
        for (std::size_t k = 0; k < width; ++k) {
          std::memcpy(&out.component(item, k), &scratch[i * width + k], sizeof(double));
        }
      }
    }
  };
  return run_items(count, work, parallel::RangeFn(runs));
}

// ------------------------------------------------------------------ octonions

int octonion_mul_loop(PyArrayMethod_Context*, char* const* data, const npy_intp* dimensions,
                      const npy_intp* steps, NpyAuxData*) {
  const std::size_t count = count_of(dimensions);
  const auto operands = one_axis_operands<3>(data, steps, {8, 8, 8});
  auto runs = [&](std::size_t first, std::size_t last, ItemsOut out) {
    octonion::mul_items(last - first, operands.in(0, first), operands.in(1, first), out);
  };
  return run_gufunc(count, operands, 2, on_these_lanes(kOctonionProductCost), runs);
}

// The norms over an axis of any length n: octonion_norm and norms_squared.
template <void (*ItemLoop)(std::size_t, ItemsIn, std::size_t, ItemsOut)>
int norm_loop(PyArrayMethod_Context*, char* const* data, const npy_intp* dimensions,
              const npy_intp* steps, NpyAuxData*) {
  const std::size_t count = count_of(dimensions);
  const npy_intp length = dimensions[1];
  const auto operands = one_axis_operands<2>(data, steps, {length, 0});
  auto runs = [&](std::size_t first, std::size_t last, ItemsOut out) {
    ItemLoop(last - first, operands.in(0, first), static_cast<std::size_t>(length), out);
  };
  return run_gufunc(count, operands, 1, static_cast<std::uint64_t>(length) + 1, runs);
}

int unary_octonion_loop(PyArrayMethod_Context* context, char* const* data,
                        const npy_intp* dimensions, const npy_intp* steps, NpyAuxData*) {
  const octonion::UnaryFunction& function = *data_of(context).unary;
  const std::size_t count = count_of(dimensions);
  const auto operands = one_axis_operands<2>(data, steps, {8, 8});
  auto runs = [&](std::size_t first, std::size_t last, ItemsOut out) {
    function.items(last - first, operands.in(0, first), out);
  };
  return run_gufunc(count, operands, 1, kOctonionFunctionCost, runs);
}

// ------------------------------------------------------------------ the planar map

int flow_step_loop(PyArrayMethod_Context*, char* const* data, const npy_intp* dimensions,
                   const npy_intp* steps, NpyAuxData*) {
  const std::size_t count = count_of(dimensions);
  const auto operands = one_axis_operands<2>(data, steps, {2, 2});
  auto runs = [&](std::size_t first, std::size_t last, ItemsOut out) {
    spectral::step_items(last - first, operands.in(0, first), out);
  };
  return run_gufunc(count, operands, 1, kStepCost, runs);
}

// (2)->(m,2): numpy passes the sizes of the core dimensions in the order they
// first appear (2, then m), and the steps of the output's two core axes.
int trajectories_loop(PyArrayMethod_Context*, char* const* data, const npy_intp* dimensions,
                      const npy_intp* steps, NpyAuxData*) {
  const std::size_t count = count_of(dimensions);
  const npy_intp points = dimensions[2];
  if (points == 0) {
    return 0;  // trajectories of no points: nothing to write
  }
  Operands<2> operands;
  operands.data = {data[0], data[1]};
  operands.item_step = {steps[0], steps[1]};
  operands.component_step = {steps[2], steps[4]};
  operands.components = {2, 2};
  const npy_intp point_step = steps[3];
  const auto n_steps = static_cast<std::uint64_t>(points - 1);
  auto runs = [&](std::size_t first, std::size_t last) {
    spectral::flow_items(last - first, operands.in(0, first), n_steps,
                         {operands.out(1, first), point_step});
  };
  Work work{saturating_product(kStepCost, static_cast<std::uint64_t>(points))};
  // The output's extent spans its points as well.
  const Extent written =
      extent_of(data[1], count, steps[1], std::min<npy_intp>(0, (points - 1) * point_step),
                std::max<npy_intp>(0, (points - 1) * point_step) + steps[4] +
                    static_cast<npy_intp>(sizeof(double)));
  work.output_aliases_input =
      overlap(written, operand_extent(data[0], count, steps[0], 2, steps[2]));
  return run_items(count, work, parallel::RangeFn(runs));
}

// ------------------------------------------------------------------ Clifford algebras

template <void (*ItemLoop)(std::size_t, ItemsIn, ItemsIn, const clifford::Metric&, ItemsOut)>
int clifford_loop(PyArrayMethod_Context* context, char* const* data, const npy_intp* dimensions,
                  const npy_intp* steps, NpyAuxData*) {
  const AlgebraTables& algebra = *data_of(context).algebra;
  const std::size_t count = count_of(dimensions);
  const npy_intp dimension = dimensions[1];
  const auto operands = one_axis_operands<3>(data, steps, {dimension, dimension, dimension});
  auto runs = [&](std::size_t first, std::size_t last, ItemsOut out) {
    ItemLoop(last - first, operands.in(0, first), operands.in(1, first), algebra.metric, out);
  };
  return run_gufunc(count, operands, 2, algebra.product_cost, runs);
}

int operation_loop(PyArrayMethod_Context* context, char* const* data, const npy_intp* dimensions,
                   const npy_intp* steps, NpyAuxData*) {
  const UfuncData& ufunc = data_of(context);
  const clifford::Operation& operation = *ufunc.operation;
  const AlgebraTables& algebra = *ufunc.algebra;
  const std::size_t count = count_of(dimensions);
  const npy_intp dimension = npy_intp{1} << algebra.entries.size();
  const std::size_t operand_count = operation.operand_count;
  // At most two operands and a result.
  std::array<npy_intp, 3> core{};
  for (std::size_t k = 0; k < operand_count; ++k) {
    core[k] = operation.operands[k] == clifford::ItemKind::kMultivector ? dimension : 0;
  }
  core[operand_count] = operation.result == clifford::ItemKind::kMultivector ? dimension : 0;
  Operands<3> operands;
  if (operand_count == 1) {
    const auto two = one_axis_operands<2>(data, steps, {core[0], core[1]});
    for (std::size_t k = 0; k < 2; ++k) {
      operands.data[k] = two.data[k];
      operands.item_step[k] = two.item_step[k];
      operands.component_step[k] = two.component_step[k];
      operands.components[k] = two.components[k];
    }
  } else {
    operands = one_axis_operands<3>(data, steps, core);
  }
  auto runs = [&](std::size_t first, std::size_t last, ItemsOut out) {
    std::array<ItemsIn, 2> in{};
    for (std::size_t k = 0; k < operand_count; ++k) {
      in[k] = operands.in(k, first);
    }
    operation.items(last - first, in.data(), algebra.metric, out);
  };
  const auto cost = static_cast<std::uint64_t>(
      std::max(1.0, static_cast<double>(algebra.product_cost) * operation.relative_cost));
  return run_gufunc(count, operands, operand_count, cost, runs);
}

// ------------------------------------------------------------------ making a ufunc

PyArray_DTypeMeta* dtype_of(NPY_TYPES type) {
  return type == NPY_INT64 ? &PyArray_Int64DType : &PyArray_DoubleDType;
}

// Every real dtype goes to the one loop: numpy casts the operands as the
// call's casting rule allows (same_kind by default), so integers, bools,
// float16 to long double and either byte order come in as float64, and
// complex numbers, text, dates and objects are refused with numpy's
// TypeError.  A dtype the caller fixed (dtype=, signature=) stays fixed.
int promote_to_loop(PyObject* ufunc, PyArray_DTypeMeta* const* /*operand_dtypes*/,
                    PyArray_DTypeMeta* const* fixed, PyArray_DTypeMeta** promoted) {
  const UfuncData& data = data_of(ufunc);
  for (std::size_t k = 0; k < data.types.size(); ++k) {
    PyArray_DTypeMeta* dtype = fixed[k] != nullptr ? fixed[k] : dtype_of(data.types[k]);
    Py_INCREF(dtype);
    promoted[k] = dtype;
  }
  return 0;
}

struct UfuncSpec {
  std::string name;
  std::string doc;
  int inputs;
  int outputs;
  std::string signature;  // empty: element-wise
  std::vector<NPY_TYPES> types;
  PyArrayMethod_StridedLoop* loop;
  std::shared_ptr<const AlgebraTables> algebra = nullptr;
  const clifford::Operation* operation = nullptr;
  const octonion::UnaryFunction* unary = nullptr;
};

PyObject* make_ufunc(UfuncSpec spec) {
  auto data = std::make_unique<UfuncData>();
  data->name = std::move(spec.name);
  data->doc = std::move(spec.doc);
  data->signature = std::move(spec.signature);
  data->types = std::move(spec.types);
  data->algebra = std::move(spec.algebra);
  data->operation = spec.operation;
  data->unary = spec.unary;
  PyRef capsule(PyCapsule_New(data.get(), kCapsuleName, destroy_data));
  if (!capsule) {
    return nullptr;
  }
  UfuncData* const kept = data.release();
  PyRef ufunc(PyUFunc_FromFuncAndDataAndSignature(
      nullptr, nullptr, nullptr, 0, spec.inputs, spec.outputs, PyUFunc_None, kept->name.c_str(),
      kept->doc.c_str(), 0, kept->signature.empty() ? nullptr : kept->signature.c_str()));
  if (!ufunc) {
    return nullptr;
  }
  reinterpret_cast<PyUFuncObject*>(ufunc.get())->obj = capsule.release();

  std::vector<PyArray_DTypeMeta*> dtypes;
  for (NPY_TYPES type : kept->types) {
    dtypes.push_back(dtype_of(type));
  }
  PyType_Slot slots[] = {
      {NPY_METH_strided_loop, reinterpret_cast<void*>(spec.loop)},
      {0, nullptr},
  };
  const std::string method_name = kept->name + "_float64_loop";
  PyArrayMethod_Spec method{
      method_name.c_str(),
      spec.inputs,
      spec.outputs,
      NPY_NO_CASTING,
      // The loops raise no floating-point warnings: IEEE results, NaN and
      // infinities included, are the results.
      NPY_METH_NO_FLOATINGPOINT_ERRORS,
      dtypes.data(),
      slots,
  };
  if (PyUFunc_AddLoopFromSpec(ufunc.get(), &method) < 0) {
    return nullptr;
  }
  PyRef promoter(
      PyCapsule_New(reinterpret_cast<void*>(&promote_to_loop), "numpy._ufunc_promoter", nullptr));
  PyRef any_dtypes(PyTuple_New(static_cast<Py_ssize_t>(kept->types.size())));
  if (!promoter || !any_dtypes) {
    return nullptr;
  }
  for (std::size_t k = 0; k < kept->types.size(); ++k) {
    PyTuple_SET_ITEM(any_dtypes.get(), static_cast<Py_ssize_t>(k), Py_NewRef(Py_None));
  }
  if (PyUFunc_AddPromoter(ufunc.get(), any_dtypes.get(), promoter.get()) < 0) {
    return nullptr;
  }
  return ufunc.release();
}

std::vector<NPY_TYPES> float64s(std::size_t count) {
  return std::vector<NPY_TYPES>(count, NPY_DOUBLE);
}

bool add_ufunc(PyObject* module, UfuncSpec spec) {
  const std::string name = spec.name;
  PyRef ufunc(make_ufunc(std::move(spec)));
  return ufunc && PyModule_AddObjectRef(module, name.c_str(), ufunc.get()) == 0;
}

NPY_TYPES type_of(clifford::ItemKind kind) {
  return kind == clifford::ItemKind::kInteger ? NPY_INT64 : NPY_DOUBLE;
}

std::string core_of(clifford::ItemKind kind, const std::string& dimension) {
  std::string core("(");
  if (kind == clifford::ItemKind::kMultivector) {
    core.append(dimension);
  }
  return core.append(")");
}

// The module's own ufuncs, each described once: name, docstring (the order
// of evaluation), inputs, gufunc signature (empty: element-wise) and loop.
struct ModuleUfunc {
  const char* name;
  const char* doc;
  int inputs;
  const char* signature;
  PyArrayMethod_StridedLoop* loop;
};

constexpr ModuleUfunc kModuleUfuncs[] = {
    {"add",
     "Element-wise a + b, one IEEE addition per element.  add.reduce is a left fold: "
     "((a[0] + a[1]) + a[2]) + ...; add.accumulate gives its partial sums.",
     2, "", add_loop},
    {"octonion_mul",
     "Octonion products a b over an axis of 8 components (the last one, unless axes= says "
     "otherwise), broadcast over the others.",
     2, "(8),(8)->(8)", octonion_mul_loop},
    {"octonion_norm",
     "Euclidean norm over an axis of any length: the square root of the left-to-right sum of "
     "squares, which starts at -0.0 (an empty axis gives -0.0).",
     1, "(n)->()", norm_loop<octonion::norm_items>},
    {"norms_squared",
     "Sum of squares over an axis of any length, left to right from -0.0 (an empty axis gives "
     "-0.0).",
     1, "(n)->()", norm_loop<lattice::norm_squared_items>},
    {"spectral_flow_step",
     "One step of the planar map for every point (x, y) on an axis of 2 components.", 1, "(2)->(2)",
     flow_step_loop},
    {"flow_trajectories",
     "Trajectories of the planar map: out[..., k, :] is the start after k steps, for k < m; m "
     "comes from out, which must be given (see spectral_flow).",
     1, "(2)->(m,2)", trajectories_loop},
};

}  // namespace

bool add_module_ufuncs(PyObject* module) {
  try {
    for (const ModuleUfunc& ufunc : kModuleUfuncs) {
      if (!add_ufunc(module, {ufunc.name, ufunc.doc, ufunc.inputs, 1, ufunc.signature,
                              float64s(static_cast<std::size_t>(ufunc.inputs) + 1), ufunc.loop})) {
        return false;
      }
    }
    for (const octonion::UnaryFunction& function : octonion::unary_functions()) {
      UfuncSpec spec{function.name, function.summary,   1, 1, "(8)->(8)",
                     float64s(2),   unary_octonion_loop};
      spec.unary = &function;
      if (!add_ufunc(module, std::move(spec))) {
        return false;
      }
    }
    return true;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

PyObject* algebra_ufuncs(std::span<const std::int8_t> signature, const char* prefix) {
  try {
    auto algebra = std::make_shared<AlgebraTables>();
    algebra->entries.assign(signature.begin(), signature.end());
    algebra->metric = clifford::describe(algebra->entries);
    const auto dimension = std::uint64_t{1} << signature.size();
    algebra->product_cost =
        on_these_lanes(saturating_product(dimension, dimension) / kCliffordTermsPerUnit + 2);
    const std::string d = std::to_string(dimension);
    const std::string products = "(" + d + "),(" + d + ")->(" + d + ")";
    const std::string named = std::string(prefix) + ".";

    PyRef methods(PyDict_New());
    if (!methods) {
      return nullptr;
    }
    auto add_method = [&](const std::string& method, UfuncSpec spec) {
      PyRef ufunc(make_ufunc(std::move(spec)));
      return ufunc && PyDict_SetItemString(methods.get(), method.c_str(), ufunc.get()) == 0;
    };
    if (!add_method(
            "geometric_product",
            {named + "geometric_product",
             "Geometric products a b. "
             "For each nonzero a[j] (j ascending) and each nonzero b[k] (k "
             "ascending), out[j ^ k] = b[k] * (g * a[j]) + out[j ^ k], from +0.0, where "
             "g is the sign of reordering e_j e_k times the squares of the shared basis "
             "vectors, multiplied in ascending order.",
             2, 1, products, float64s(3), clifford_loop<clifford::product_items>, algebra}) ||
        !add_method(
            "sandwich",
            {named + "sandwich",
             "The sandwiches r x r~, r~ the "
             "reverse of r (the components of grades 2 and 3 mod 4 negated): bit for "
             "bit geometric_product(geometric_product(r, x), r~).",
             2, 1, products, float64s(3), clifford_loop<clifford::sandwich_items>, algebra})) {
      return nullptr;
    }
    for (const clifford::Operation& operation : clifford::operations()) {
      if (operation.available != nullptr && !operation.available(algebra->metric)) {
        continue;
      }
      std::string core;
      std::vector<NPY_TYPES> types;
      for (std::size_t k = 0; k < operation.operand_count; ++k) {
        if (k > 0) {
          core.append(",");
        }
        core.append(core_of(operation.operands[k], d));
        types.push_back(type_of(operation.operands[k]));
      }
      core.append("->").append(core_of(operation.result, d));
      types.push_back(type_of(operation.result));
      // numpy starts the docstring with the call's signature itself.
      std::string doc(operation.summary);
      UfuncSpec spec{named + operation.name,
                     std::move(doc),
                     static_cast<int>(operation.operand_count),
                     1,
                     std::move(core),
                     std::move(types),
                     operation_loop,
                     algebra};
      spec.operation = &operation;
      if (!add_method(operation.name, std::move(spec))) {
        return nullptr;
      }
    }
    return methods.release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace vyr::arrays
