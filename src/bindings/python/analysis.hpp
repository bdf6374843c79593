// A whole-recording analysis as Python sees it.
#pragma once

#include <Python.h>

#include "vad/analysis.hpp"

namespace murello::py {

// (windows, segments): a list of (start, end, probability, is_speech) and a list of
// (start, end), times in seconds. A new reference, or nullptr with an exception set.
PyObject* analysis_to_python(const Analysis& analysis);

}  // namespace murello::py
