// The interpreter and numpy's C API (arrays, ufuncs and the loop API of
// numpy 2), included the same way by every file of the array module.  The API
// tables are filled once, by the module initialiser (the one file that
// defines VYR_ARRAYS_IMPORTS_NUMPY).
#pragma once

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
// Built against numpy 2 headers, the module runs with numpy 2.0 and later:
// its ufuncs use the loop API that numpy 2.0 made public.
#define NPY_TARGET_VERSION NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL vyr_spectral_arrays_numpy_api
#define PY_UFUNC_UNIQUE_SYMBOL vyr_spectral_arrays_ufunc_api
#ifndef VYR_ARRAYS_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#endif
#include <numpy/arrayobject.h>
#include <numpy/dtype_api.h>
#include <numpy/ufuncobject.h>
