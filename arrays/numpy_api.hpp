// The interpreter and numpy's C API, included the same way by every file of
// the array module.  The API table is filled once, by the module initialiser
// (the one file that defines VYR_ARRAYS_IMPORTS_NUMPY).
#pragma once

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// Built against numpy 2 headers, the module runs with numpy 1.25 and later.
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL vyr_spectral_arrays_numpy_api
#ifndef VYR_ARRAYS_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
