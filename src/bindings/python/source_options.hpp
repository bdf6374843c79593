// The keywords shared by FileBridge.open and FileBridge.buffer, converted into a source
// configuration.
#pragma once

#include <Python.h>

#include "core/config.hpp"

namespace murello::py {

// The option parameters after the leading ones of each constructor, in signature order.
inline constexpr const char* kFileOptionNames[] = {
    "sample_rate", "channels", "channel_map", "format", "vad", "vad_threshold", "vad_mode",
    "vad_holdoff", "model_path", "numpy", "ort_library_path", "denoise",
    "denoise_model_path", "highpass", "agc", "limiter", "dc_removal", "detector_source",
};
inline constexpr size_t kFileOptionCount = std::size(kFileOptionNames);

// Converts the bound option values (nullptr: not given) into `config` and `numpy`.
// Returns -1 with the conversion's exception (and its parameter note) set.
int convert_file_options(PyObject* const* values, SourceConfig* config, bool* numpy);

// Runs the checks a file or buffer configuration passes before any audio is read:
// format, the NumPy import when arrays were asked for, then the option texts.
int check_file_config(const SourceConfig& config, bool numpy);

}  // namespace murello::py
