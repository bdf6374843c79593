// EchoCanceller(sample_rate, tail_ms=200, suppression="conservative", format="float32"):
// the same echo-cancellation stage and reference queue a capture stream runs, driven by
// the caller with a near (microphone) and a far (played) signal at one rate.
//
// process() feeds both signals in 100 ms steps, the far end first, so the reference
// queue never holds more than a step ahead of the near end; a far end longer than the
// near end is queued for later calls (up to the queue's two seconds). The output lags
// the input by less than one engine block; flush() returns the rest, so the outputs of
// every process() and the flush() together are exactly as long as the near input.
#include "bindings/python/echo_canceller.hpp"

#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "bindings/python/args.hpp"
#include "bindings/python/echo_metrics.hpp"
#include "bindings/python/entry.hpp"
#include "bindings/python/errors.hpp"
#include "bindings/python/pyref.hpp"
#include "bindings/python/samples.hpp"
#include "chain/echo_reference.hpp"
#include "chain/echo_stage.hpp"

namespace murello::py {
namespace {

struct Canceller {
  std::mutex lock;
  std::shared_ptr<EchoReferenceQueue> queue;
  std::unique_ptr<Stage> stage;
  uint32_t rate_hz;
  SampleFormat format;
  bool flushed = false;
  bool arrays = false;  // the last process() was given an array: flush() returns one too
};

struct CancellerObject {
  PyObject_HEAD
  Canceller canceller;
  bool built;
};

Canceller& canceller_of(PyObject* self) {
  return reinterpret_cast<CancellerObject*>(self)->canceller;
}

void canceller_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = reinterpret_cast<CancellerObject*>(self);
  if (object->built) object->canceller.~Canceller();
  type->tp_free(self);
  Py_DECREF(type);
}

constexpr const char* kFlushed =
    "the echo canceller was flushed; make a new one for another recording";

int parse_suppression(const std::string& text, EchoSuppression* out) {
  if (text == "conservative") {
    *out = EchoSuppression::Conservative;
  } else if (text == "off") {
    *out = EchoSuppression::Off;
  } else {
    PyErr_SetString(PyExc_ValueError, "suppression must be 'conservative' or 'off'");
    return -1;
  }
  return 0;
}

PyObject* canceller_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"sample_rate", "tail_ms", "suppression", "format", nullptr};
  PyObject* rate_arg = nullptr;
  PyObject* tail_arg = nullptr;
  PyObject* suppression_arg = nullptr;
  PyObject* format_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOO:EchoCanceller",
                                   const_cast<char**>(names), &rate_arg, &tail_arg,
                                   &suppression_arg, &format_arg)) {
    return nullptr;
  }
  uint32_t rate_hz = 0;
  uint16_t tail_ms = 200;
  std::string suppression = "conservative";
  std::string format_text = "float32";
  EchoSuppression mode;
  if (convert("sample_rate", rate_arg, to_uint32, &rate_hz) < 0 ||
      convert("tail_ms", tail_arg, to_uint16, &tail_ms) < 0 ||
      convert("suppression", suppression_arg, to_string, &suppression) < 0 ||
      convert("format", format_arg, to_string, &format_text) < 0 ||
      parse_suppression(suppression, &mode) < 0) {
    return nullptr;
  }
  const auto format = parse_sample_format(format_text);
  if (!format) return raise_core_error(CoreError(ErrorKind::InvalidFormat));

  auto queue = std::make_shared<EchoReferenceQueue>(rate_hz, 1);
  auto stage = [&] {
    GilRelease released;
    return EchoStage::create(EchoConfig{tail_ms, mode, rate_hz, queue}, 1, rate_hz);
  }();
  if (!stage) return raise_core_error(stage.error());

  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* object = reinterpret_cast<CancellerObject*>(self);
  new (&object->canceller) Canceller{{}, std::move(queue), std::move(stage).value(), rate_hz,
                                     *format};
  object->built = true;
  return self;
}

bool is_array(PyObject* value) { return !PyBytes_Check(value) && !PyByteArray_Check(value); }

PyObject* canceller_process(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static const char* const names[] = {"near", "far"};
  PyObject* values[2];
  if (bind_arguments("process", names, 2, args, nargs, kwnames, values) < 0) return nullptr;
  Canceller& c = canceller_of(self);
  std::vector<float> near;
  std::vector<float> far;
  if (samples_from_python(values[0], c.format, InputRole::AecReference, near) < 0 ||
      samples_from_python(values[1], c.format, InputRole::AecReference, far) < 0) {
    return nullptr;
  }
  std::vector<float> out;
  Result<void, CoreError> done;
  bool flushed;
  {
    GilRelease released;
    std::lock_guard<std::mutex> lock(c.lock);
    flushed = c.flushed;
    c.arrays = is_array(values[0]);
    const size_t step = std::max<size_t>(c.rate_hz / 10, 1);
    out.reserve(near.size() + aec::Tau::kBlock);
    for (size_t at = 0; !flushed && done && at < near.size(); at += step) {
      const size_t n = std::min(step, near.size() - at);
      if (at < far.size()) c.queue->push(std::span(far).subspan(at, std::min(n, far.size() - at)));
      done = c.stage->process(std::span(near).subspan(at, n), 1, out);
    }
    if (!flushed && far.size() > near.size()) c.queue->push(std::span(far).subspan(near.size()));
  }
  if (flushed) return PyErr_Format(PyExc_ValueError, "%s", kFlushed);
  if (!done) return raise_core_error(done.error());
  return samples_to_python(std::move(out), 1, c.format, is_array(values[0]));
}

PyObject* canceller_flush(PyObject* self, PyObject*) {
  Canceller& c = canceller_of(self);
  std::vector<float> out;
  Result<void, CoreError> done;
  bool flushed;
  bool arrays;
  {
    GilRelease released;
    std::lock_guard<std::mutex> lock(c.lock);
    flushed = c.flushed;
    arrays = c.arrays;
    if (!flushed) done = c.stage->flush(out);
    c.flushed = true;
  }
  if (flushed) return PyErr_Format(PyExc_ValueError, "%s", kFlushed);
  if (!done) return raise_core_error(done.error());
  return samples_to_python(std::move(out), 1, c.format, arrays);
}

PyObject* canceller_metrics(PyObject* self, PyObject*) {
  Canceller& c = canceller_of(self);
  std::vector<EchoMetrics> records;
  {
    GilRelease released;
    std::lock_guard<std::mutex> lock(c.lock);
    records = c.stage->echo_metrics().value_or(std::vector<EchoMetrics>{});
  }
  return echo_metrics_to_python(records, c.queue->discarded(), c.queue->padded());
}

PyMethodDef kMethods[] = {
    {"process",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<canceller_process>)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("process(near, far)\n--\n\nCancel the echo of `far` (what was played) in "
               "`near` (what the microphone heard), both mono at the canceller's rate, as "
               "bytes of the configured format or arrays of its dtype. Returns the cleaned "
               "samples completed so far (bytes, or an array when `near` is one); they lag "
               "`near` by less than 256 samples, which flush() returns.")},
    {"flush", entry<canceller_flush>, METH_NOARGS,
     PyDoc_STR("flush()\n--\n\nEnd the recording: returns the cleaned samples still held, "
               "as an array when the last process() was given one, else as bytes. Afterwards "
               "process() and flush() raise ValueError.")},
    {"metrics", entry<canceller_metrics>, METH_NOARGS,
     PyDoc_STR("metrics()\n--\n\nThe canceller's state as MicrophoneBridge.aec_metrics() "
               "shows it: (delay, erle_db, adaptation_held, far_missing, "
               "samples_without_delay, search_restarts, discarded, padded, channels).")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(entry<canceller_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(canceller_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc,
     const_cast<char*>("EchoCanceller(sample_rate, tail_ms=200, suppression='conservative', "
                       "format='float32')\n--\n\nOffline acoustic echo cancellation of a "
                       "recording against the signal that was played, with the engine that "
                       "capture uses.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"murello._murello.EchoCanceller", sizeof(CancellerObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

}  // namespace

PyObject* create_echo_canceller_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

}  // namespace murello::py
