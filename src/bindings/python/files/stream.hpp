// The module functions _stream and _analyze and the private class _FileStream: audio
// files read through a block at a time.
#pragma once

#include <Python.h>

namespace murello::py {

// Adds _stream, _analyze and _FileStream to `module` (not to __all__: murello.stream and
// murello.analyze are their public faces). Returns -1 with an exception set on failure.
int add_stream_functions(PyObject* module);

}  // namespace murello::py
