#include "bindings/python/files/analysis.hpp"

#include "bindings/python/support/pyref.hpp"

namespace murello::py {

PyObject* analysis_to_python(const Analysis& analysis, bool with_windows) {
  const size_t window_count = with_windows ? analysis.windows.size() : 0;
  PyRef windows(PyList_New(static_cast<Py_ssize_t>(window_count)));
  if (!windows) return nullptr;
  for (size_t i = 0; i < window_count; ++i) {
    const AnalysisWindow& w = analysis.windows[i];
    PyObject* item = Py_BuildValue("(ddfN)", w.start_s, w.end_s, w.probability,
                                   PyBool_FromLong(w.is_speech));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(windows.get(), static_cast<Py_ssize_t>(i), item);
  }
  PyRef segments(PyList_New(static_cast<Py_ssize_t>(analysis.segments.size())));
  if (!segments) return nullptr;
  for (size_t i = 0; i < analysis.segments.size(); ++i) {
    const SpeechSegment& s = analysis.segments[i];
    PyObject* item = Py_BuildValue("(dd)", s.start_s, s.end_s);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(segments.get(), static_cast<Py_ssize_t>(i), item);
  }
  return PyTuple_Pack(2, windows.get(), segments.get());
}

}  // namespace murello::py
