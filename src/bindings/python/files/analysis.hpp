// A whole-recording analysis as Python sees it.
#pragma once

#include <Python.h>

#include "vad/analysis.hpp"

namespace murello::py {

// (windows, segments): a list of (start, end, probability, is_speech) and a list of
// (start, end), times in seconds; the first list is left empty unless `with_windows` (a
// long recording's windows weigh far more as Python objects than its segments). A new
// reference, or nullptr with an exception set.
PyObject* analysis_to_python(const Analysis& analysis, bool with_windows = true);

}  // namespace murello::py
