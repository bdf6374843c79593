// The echo canceller's metrics as the Python tuple aec_metrics() returns: channel 0's six
// fields, the reference queue's discarded and padded counters, then a list of one 6-tuple
// per channel. Needs the interpreter lock; returns a new reference or nullptr with an
// exception set.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "core/echo_metrics.hpp"

namespace murello::py {

PyObject* echo_metrics_to_python(const std::vector<EchoMetrics>& channels, uint64_t discarded,
                                 uint64_t padded);

}  // namespace murello::py
