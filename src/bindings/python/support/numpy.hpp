// Lazy access to NumPy's C API.
//
// NumPy is imported only when a caller asks for arrays or passes one; the API table is
// process-wide. Include this header instead of numpy/arrayobject.h.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL murello_ARRAY_API
#ifndef MURELLO_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace murello::py {

// Loads the API table. Returns -1 with ImportError "numpy is not installed. ..." set
// (the failed import as its cause) when NumPy cannot be imported.
int require_numpy();

// Whether NumPy has been imported by anyone; an object cannot be an array otherwise.
bool numpy_loaded();

}  // namespace murello::py
