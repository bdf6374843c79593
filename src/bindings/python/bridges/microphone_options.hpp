// The 26 parameters of MicrophoneBridge(...), bound by name to the capture configuration.
#pragma once

#include <Python.h>

#include "bindings/python/support/options.hpp"
#include "core/config.hpp"

namespace murello::py {

// What the constructor's parameters fill. The device argument is kept as the caller's
// object: it is interpreted after the format and NumPy checks (bindings/python/bridges/device_argument.hpp).
struct MicrophoneOptions {
  SourceConfig config;
  bool numpy = false;
  PyObject* device = nullptr;  // borrowed; nullptr or None for the default device
  PyObject* echo_reference = nullptr;  // borrowed; nullptr, None or a SpeakerBridge
};

// Borrows the value as it is.
inline int to_object(PyObject* value, PyObject** out) {
  *out = value;
  return 0;
}

// In signature order; the first four are required.
inline constexpr OptionSpec<MicrophoneOptions> kMicrophoneOptions[] = {
    MURELLO_OPTION_IN(config, sample_rate, to_uint32),
    MURELLO_OPTION_IN(config, channels, to_uint16),
    MURELLO_OPTION_IN(config, frames_per_buffer, to_uint32),
    MURELLO_OPTION_IN(config, format, to_string),
    MURELLO_OPTION(device, to_object),
    MURELLO_CONDITIONING_OPTIONS,
    MURELLO_OPTION_IN(config, aec, to_string),
    MURELLO_OPTION_IN(config, aec_tail_ms, to_uint16),
    MURELLO_OPTION_IN(config, aec_suppression, to_string),
    MURELLO_OPTION_IN(config, aec_reference_sample_rate, to_uint32),
    MURELLO_OPTION_IN(config, aec_reference_channels, to_uint16),
    MURELLO_OPTION_IN(config, channel_map, to_channel_map),
    MURELLO_OPTION_IN(config, detector_source, to_uint16),
    MURELLO_OPTION(echo_reference, to_object),
};
inline constexpr auto kMicrophoneOptionNames = option_names(kMicrophoneOptions);
inline constexpr size_t kMicrophoneRequiredOptions = 4;

}  // namespace murello::py
