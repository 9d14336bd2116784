// The exported functions' entry points and the function table.
#pragma once

#include <Python.h>

#include <span>

namespace vyr::binding {

// One row per exported function, in registration order (also the order of
// the module's __all__).  The records live as long as the process.
std::span<PyMethodDef> function_table() noexcept;

}  // namespace vyr::binding

// Entry points, one per exported function.
extern "C" {
PyObject* vyr_octonion_mul(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* vyr_octonion_mul_n(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* vyr_octonion_norm_n(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* vyr_spectral_flow_step(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* vyr_spectral_flow_n(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* vyr_spectral_flow_batch(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* vyr_e8_norms_squared_n(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* vyr_e8_min_norm_squared(PyObject*, PyObject*);
PyObject* vyr_leech_min_norm_squared(PyObject*, PyObject*);
PyObject* vyr_geometric_product_n(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* vyr_add_n(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
}
