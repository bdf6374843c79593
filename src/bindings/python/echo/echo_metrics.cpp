#include "bindings/python/echo/echo_metrics.hpp"

#include "bindings/python/support/pyref.hpp"
#include "bindings/python/support/types.hpp"

namespace murello::py {
namespace {

#define MURELLO_CHANNEL_FIELDS                                                          \
  {"delay", "echo delay in samples; None until one is found"},                          \
      {"erle_db", "echo return loss enhancement in dB"},                                \
      {"adaptation_held", "whether the filter's adaptation is held"},                   \
      {"far_missing", "far-end samples read as silence"},                               \
      {"samples_without_delay", "near-end samples processed before a delay was found"}, \
      {"search_restarts", "times the delay search started over"}

PyStructSequence_Field kChannelFields[] = {MURELLO_CHANNEL_FIELDS, {nullptr, nullptr}};
PyStructSequence_Field kFields[] = {
    MURELLO_CHANNEL_FIELDS,
    {"discarded", "reference samples dropped because the queue was full"},
    {"padded", "samples of silence assumed where the reference ran short"},
    {"channels", "one ChannelEchoMetrics per channel"},
    {nullptr, nullptr},
};
#undef MURELLO_CHANNEL_FIELDS

constexpr int kChannelFieldCount = 6;

PyStructSequence_Desc kChannelDesc = {
    "murello._murello.ChannelEchoMetrics", "One channel's echo canceller state.",
    kChannelFields, kChannelFieldCount};
PyStructSequence_Desc kDesc = {
    "murello._murello.EchoMetrics",
    "The echo canceller's state: channel 0's fields, the reference queue's counters and "
    "every channel's record.",
    kFields, kChannelFieldCount + 3};

PyTypeObject* g_channel_type = nullptr;
PyTypeObject* g_metrics_type = nullptr;

PyObject* delay_to_python(const EchoMetrics& m) {
  if (!m.delay_frames) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*m.delay_frames);
}

// Fills items [0, 6) of `record` with the channel fields; false after a failure (the
// record owns whatever was set).
bool set_channel_fields(PyObject* record, const EchoMetrics& m) {
  PyObject* values[kChannelFieldCount] = {
      delay_to_python(m),
      PyFloat_FromDouble(static_cast<double>(m.erle_db)),
      PyBool_FromLong(m.adaptation_held),
      PyLong_FromUnsignedLongLong(m.far_frames_missing),
      PyLong_FromUnsignedLongLong(m.frames_without_delay),
      PyLong_FromUnsignedLongLong(m.search_restarts),
  };
  bool complete = true;
  for (int i = 0; i < kChannelFieldCount; ++i) {
    complete = complete && values[i] != nullptr;
    PyStructSequence_SetItem(record, i, values[i]);
  }
  return complete;
}

PyObject* channel_record(const EchoMetrics& m) {
  PyRef record(PyStructSequence_New(g_channel_type));
  if (!record || !set_channel_fields(record.get(), m)) return nullptr;
  return record.release();
}

}  // namespace

int add_echo_metrics_types(PyObject* module) {
  PyRef channel(create_record_type(&kChannelDesc, &g_channel_type));
  if (!channel || PyModule_AddObjectRef(module, "ChannelEchoMetrics", channel.get()) < 0) {
    return -1;
  }
  PyRef metrics(create_record_type(&kDesc, &g_metrics_type));
  if (!metrics) return -1;
  return PyModule_AddObjectRef(module, "EchoMetrics", metrics.get());
}

PyObject* echo_metrics_to_python(const std::vector<EchoMetrics>& channels, uint64_t discarded,
                                 uint64_t padded) {
  if (channels.empty()) Py_RETURN_NONE;
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (const EchoMetrics& m : channels) {
    PyRef item(channel_record(m));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  PyRef record(PyStructSequence_New(g_metrics_type));
  if (!record || !set_channel_fields(record.get(), channels.front())) return nullptr;
  PyObject* tail[] = {PyLong_FromUnsignedLongLong(discarded),
                      PyLong_FromUnsignedLongLong(padded), Py_NewRef(list.get())};
  bool complete = true;
  for (int i = 0; i < 3; ++i) {
    complete = complete && tail[i] != nullptr;
    PyStructSequence_SetItem(record.get(), kChannelFieldCount + i, tail[i]);
  }
  return complete ? record.release() : nullptr;
}

}  // namespace murello::py
