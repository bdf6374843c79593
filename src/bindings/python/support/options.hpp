// Keyword options bound by name: each entry of an option table pairs a parameter name
// with the conversion that stores its value, so a table cannot list a name without the
// field it fills, and the parameter list is read off the table.
//
// MURELLO_OPTION(field, converter) binds the parameter named like `field` to
// target.field, MURELLO_OPTION_IN(member, field, converter) to target.member.field; the
// converters are those of bindings/python/support/args.hpp.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "bindings/python/support/args.hpp"

namespace murello::py {

template <class Target>
struct OptionSpec {
  const char* name;
  // Converts `value` (nullptr: not given, the field keeps its default) into the target.
  int (*apply)(const char* name, PyObject* value, Target& target);
};

#define MURELLO_OPTION_BIND(name, converter, place)                               \
  {                                                                                \
    #name, [](const char* option, PyObject* value, auto& target) {                \
      return ::murello::py::convert(option, value, converter, &target.place);     \
    }                                                                              \
  }
#define MURELLO_OPTION(field, converter) MURELLO_OPTION_BIND(field, converter, field)
#define MURELLO_OPTION_IN(member, field, converter) \
  MURELLO_OPTION_BIND(field, converter, member.field)

// The detection and conditioning parameters that FileBridge and MicrophoneBridge share,
// in the order both signatures list them, for a table whose target has a SourceConfig
// `config` and a `numpy` switch.
#define MURELLO_CONDITIONING_OPTIONS                      \
  MURELLO_OPTION_IN(config, vad, to_bool),                \
  MURELLO_OPTION_IN(config, vad_threshold, to_float),     \
  MURELLO_OPTION_IN(config, vad_mode, to_string),         \
  MURELLO_OPTION_IN(config, vad_holdoff, to_uint32),      \
  MURELLO_OPTION_IN(config, model_path, to_path),         \
  MURELLO_OPTION(numpy, to_bool),                         \
  MURELLO_OPTION_IN(config, ort_library_path, to_path),   \
  MURELLO_OPTION_IN(config, denoise, to_string),          \
  MURELLO_OPTION_IN(config, denoise_model_path, to_path), \
  MURELLO_OPTION_IN(config, highpass, to_int64),          \
  MURELLO_OPTION_IN(config, agc, to_int8),                \
  MURELLO_OPTION_IN(config, limiter, to_float),           \
  MURELLO_OPTION_IN(config, dc_removal, to_bool)

// The parameter names of a table, in its order.
template <class Target, size_t N>
constexpr std::array<const char*, N> option_names(const OptionSpec<Target> (&specs)[N]) {
  std::array<const char*, N> names{};
  for (size_t i = 0; i < N; ++i) names[i] = specs[i].name;
  return names;
}

// Applies every option of the table to `target`; `values` are the bound arguments in
// table order. Returns -1 with the first failing conversion's exception set.
template <class Target, size_t N>
int apply_options(const OptionSpec<Target> (&specs)[N], PyObject* const* values,
                  Target& target) {
  for (size_t i = 0; i < N; ++i) {
    if (specs[i].apply(specs[i].name, values[i], target) < 0) return -1;
  }
  return 0;
}

}  // namespace murello::py
