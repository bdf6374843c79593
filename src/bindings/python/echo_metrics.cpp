#include "bindings/python/echo_metrics.hpp"

#include "bindings/python/pyref.hpp"

namespace murello::py {
namespace {

PyObject* delay_to_python(const EchoMetrics& m) {
  if (!m.delay_frames) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*m.delay_frames);
}

// The six channel fields, in the record's order.
PyObject* channel_tuple(const EchoMetrics& m) {
  PyRef delay(delay_to_python(m));
  if (!delay) return nullptr;
  return Py_BuildValue("(OdOKKK)", delay.get(), static_cast<double>(m.erle_db),
                       m.adaptation_held ? Py_True : Py_False,
                       static_cast<unsigned long long>(m.far_frames_missing),
                       static_cast<unsigned long long>(m.frames_without_delay),
                       static_cast<unsigned long long>(m.search_restarts));
}

}  // namespace

PyObject* echo_metrics_to_python(const std::vector<EchoMetrics>& channels, uint64_t discarded,
                                 uint64_t padded) {
  if (channels.empty()) Py_RETURN_NONE;
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (const EchoMetrics& m : channels) {
    PyRef item(channel_tuple(m));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  PyRef first(channel_tuple(channels.front()));
  if (!first) return nullptr;
  PyObject* f = first.get();
  return Py_BuildValue("(OOOOOOKKO)", PyTuple_GET_ITEM(f, 0), PyTuple_GET_ITEM(f, 1),
                       PyTuple_GET_ITEM(f, 2), PyTuple_GET_ITEM(f, 3), PyTuple_GET_ITEM(f, 4),
                       PyTuple_GET_ITEM(f, 5), static_cast<unsigned long long>(discarded),
                       static_cast<unsigned long long>(padded), list.get());
}

}  // namespace murello::py
