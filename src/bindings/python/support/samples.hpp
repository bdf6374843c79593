// Sample exchange at the Python boundary: core chunks out as bytes or arrays, caller
// samples in from bytes, arrays or lists.
//
// Chunks are interleaved floats with a channel count. Every function needs the
// interpreter lock; the copies and conversions of large inputs run without it. On
// failure a Python exception is set and nullptr / -1 is returned.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "core/sample.hpp"

namespace murello::py {

// Who asks for an input conversion; it chooses the error texts.
enum class InputRole { SpeakerWrite, AecReference, EchoCanceller };

// "int16" or "float32".
const char* format_name(SampleFormat format);

// bytes (float32 or int16 little-endian), or a C-contiguous array of the format's dtype
// of shape (N,) or (N / channels, channels). The chunk is consumed without a copy when an
// array of float32 is produced.
PyObject* samples_to_python(std::vector<float>&& chunk, uint16_t channels, SampleFormat format,
                            bool as_array);

// bytes or a 1-D/2-D array of the configured format, flattened in memory order.
int samples_from_python(PyObject* samples, SampleFormat format, InputRole role,
                        std::vector<float>& out);

// A sequence of floats or float32 little-endian bytes (in-memory sources).
int buffer_from_python(PyObject* samples, std::vector<float>& out);

// `_numpy_smoke()`: an int16 array [0, 1, 2, 3, 4] over a native buffer.
PyObject* numpy_smoke(PyObject*, PyObject*);

}  // namespace murello::py
