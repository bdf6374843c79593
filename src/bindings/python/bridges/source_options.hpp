// The keywords shared by FileBridge.open and FileBridge.buffer, converted into a source
// configuration.
#pragma once

#include <Python.h>

#include <span>
#include <string_view>

#include "bindings/python/support/options.hpp"
#include "core/config.hpp"

namespace murello::py {

// What the file options fill: the source configuration and the array switch.
struct FileOptions {
  SourceConfig config;
  bool numpy = false;
};

// The option parameters after the leading ones of each constructor, in signature order.
inline constexpr OptionSpec<FileOptions> kFileOptions[] = {
    MURELLO_OPTION_IN(config, sample_rate, to_uint32),
    MURELLO_OPTION_IN(config, channels, to_uint16),
    MURELLO_OPTION_IN(config, channel_map, to_channel_map),
    MURELLO_OPTION_IN(config, format, to_string),
    MURELLO_CONDITIONING_OPTIONS,
    MURELLO_OPTION_IN(config, detector_source, to_uint16),
};
inline constexpr auto kFileOptionNames = option_names(kFileOptions);
inline constexpr size_t kFileOptionCount = kFileOptionNames.size();

// Where `name` sits among the file options.
constexpr size_t file_option_index(const char* name) {
  for (size_t i = 0; i < kFileOptionCount; ++i) {
    if (std::string_view(kFileOptionNames[i]) == name) return i;
  }
  return kFileOptionCount;
}

// The functions that read a file whole or in blocks take None for the rate and the
// channel count as "the file's own": such a value is taken out of the options (left
// unset) and reported true.
bool left_to_file(PyObject*& value);

// The most leading parameters a call puts before the file options (_convert's five).
inline constexpr size_t kMaxLeadingParameters = 5;

// Binds a call whose parameters are `leading` followed by the file options; `values`
// holds leading.size() + kFileOptionCount entries. As bind_arguments.
int bind_with_file_options(const char* function, std::span<const char* const> leading,
                           size_t required, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** values);

// Converts the bound option values (nullptr: not given) into `config` and `numpy`; a
// missing model_path becomes the registered default model.
// Returns -1 with the conversion's exception (and its parameter note) set.
int convert_file_options(PyObject* const* values, SourceConfig* config, bool* numpy);

// Runs the checks a file or buffer configuration passes before any audio is read:
// format, the NumPy import when arrays were asked for, then the option texts. Warns
// when detection was asked for with a mode that selects no detector.
int check_file_config(const SourceConfig& config, bool numpy);

// Warns (RuntimeWarning) when `vad` is true and `vad_mode` selects no detector. Returns
// -1 when the warning was turned into an exception.
int warn_unknown_vad_mode(const SourceConfig& config);

}  // namespace murello::py
