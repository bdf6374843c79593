// The echo canceller's metrics as aec_metrics() and EchoCanceller.metrics() return them:
// an EchoMetrics tuple of channel 0's six fields, the reference queue's discarded and
// padded counters, then a list of one ChannelEchoMetrics tuple per channel. Both are
// tuples whose fields also have names.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "core/echo_metrics.hpp"

namespace murello::py {

// Creates the two record classes and adds them to `module` (not to __all__). Returns -1
// with an exception set on failure.
int add_echo_metrics_types(PyObject* module);

// Needs the interpreter lock; returns a new reference (None without channels) or nullptr
// with an exception set.
PyObject* echo_metrics_to_python(const std::vector<EchoMetrics>& channels, uint64_t discarded,
                                 uint64_t padded);

}  // namespace murello::py
