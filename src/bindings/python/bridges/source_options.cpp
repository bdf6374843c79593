#include "bindings/python/bridges/source_options.hpp"

#include <algorithm>
#include <array>

#include "bindings/python/bridges/default_model.hpp"
#include "bindings/python/support/args.hpp"
#include "bindings/python/support/errors.hpp"
#include "bindings/python/support/numpy.hpp"

namespace murello::py {

int warn_unknown_vad_mode(const SourceConfig& config) {
  if (!vad_mode_selects_nothing(config)) return 0;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "vad_mode '%s' selects no voice activity detector, so no block is "
                          "scored; the known modes are 'silero' and 'energy'",
                          config.vad_mode.c_str());
}

int bind_with_file_options(const char* function, std::span<const char* const> leading,
                           size_t required, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** values) {
  std::array<const char*, kMaxLeadingParameters + kFileOptionCount> names{};
  const auto after = std::copy(leading.begin(), leading.end(), names.begin());
  std::copy(kFileOptionNames.begin(), kFileOptionNames.end(), after);
  return bind_arguments(function, std::span(names.data(), leading.size() + kFileOptionCount),
                        required, args, nargs, kwnames, values);
}

int convert_file_options(PyObject* const* values, SourceConfig* config, bool* numpy) {
  FileOptions options{*config, *numpy};
  if (apply_options(kFileOptions, values, options) < 0) return -1;
  use_default_model(options.config);
  *config = std::move(options.config);
  *numpy = options.numpy;
  return 0;
}

bool left_to_file(PyObject*& value) {
  if (value != Py_None) return false;
  value = nullptr;
  return true;
}

int check_file_config(const SourceConfig& config, bool numpy) {
  if (auto format = check_format(config); !format) {
    raise_config_error(format.error());
    return -1;
  }
  if (numpy && require_numpy() < 0) return -1;
  if (auto options = check_file_options(config); !options) {
    raise_config_error(options.error());
    return -1;
  }
  return warn_unknown_vad_mode(config);
}

}  // namespace murello::py
