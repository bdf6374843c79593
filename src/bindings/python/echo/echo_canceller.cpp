// EchoCanceller(sample_rate, tail_ms=200, suppression="conservative", format="float32"):
// the same echo-cancellation stage and reference queue a capture stream runs, driven by
// the caller with a near (microphone) and a far (played) signal at one rate.
//
// process() feeds both signals in 100 ms steps, the far end first, so the reference
// queue never holds more than a step ahead of the near end; a far end longer than the
// near end is queued for later calls (up to the queue's two seconds). The output lags
// the input by less than one engine block; flush() returns the rest, so the outputs of
// every process() and the flush() together are exactly as long as the near input.
//
// A near end of several channels (an (N, C) array) gets one engine per channel, all fed
// the one far end, as a capture stream's stage does; the stage is rebuilt for that count
// by the first process(), and later calls must keep it.
#include "bindings/python/echo/echo_canceller.hpp"

#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "bindings/python/echo/echo_metrics.hpp"
#include "bindings/python/support/args.hpp"
#include "bindings/python/support/entry.hpp"
#include "bindings/python/support/errors.hpp"
#include "bindings/python/support/pyref.hpp"
#include "bindings/python/support/samples.hpp"
#include "echo/echo_reference.hpp"
#include "chain/echo_stage.hpp"
#include "chain/planar.hpp"

namespace murello::py {
namespace {

struct Canceller {
  std::mutex lock;
  std::shared_ptr<EchoReferenceQueue> queue;
  std::unique_ptr<Stage> stage;
  EchoConfig echo;
  uint32_t rate_hz;
  SampleFormat format;
  uint16_t channels = 1;  // of the near end, fixed by the first process()
  bool started = false;
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
    PyErr_Format(PyExc_ValueError, "suppression must be 'conservative' or 'off', got '%s'",
                 text.c_str());
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
  const EchoConfig echo{tail_ms, mode, rate_hz, queue};
  auto stage = [&] {
    GilRelease released;
    return EchoStage::create(echo, 1, rate_hz);
  }();
  if (!stage) return raise_core_error(stage.error());

  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* object = reinterpret_cast<CancellerObject*>(self);
  new (&object->canceller) Canceller{{}, std::move(queue), std::move(stage).value(), echo,
                                     rate_hz, *format};
  object->built = true;
  return self;
}

bool is_array(PyObject* value) { return !PyBytes_Check(value) && !PyByteArray_Check(value); }

// The channel count of a signal: the columns of a 2-D array, else 1 (bytes and 1-D
// arrays are mono). -1 with an exception set when the shape cannot be read.
long channels_of(PyObject* value) {
  if (!is_array(value)) return 1;
  PyRef shape(PyObject_GetAttrString(value, "shape"));
  if (!shape) {
    PyErr_Clear();
    return 1;  // not an array: the conversion refuses it with its own text
  }
  if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2) return 1;
  return PyLong_AsLong(PyTuple_GET_ITEM(shape.get(), 1));
}

// Cleaned planar output of `channels` channels appended interleaved to `out`.
void append_interleaved(const std::vector<float>& planar, uint16_t channels,
                        std::vector<float>& out) {
  if (channels == 1) {
    out.insert(out.end(), planar.begin(), planar.end());
  } else {
    interleave(planar, channels, out);
  }
}

constexpr uint16_t kMaxNearChannels = 64;

PyObject* canceller_process(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static const char* const names[] = {"near", "far"};
  PyObject* values[2];
  if (bind_arguments("process", names, 2, args, nargs, kwnames, values) < 0) return nullptr;
  Canceller& c = canceller_of(self);
  const long near_channels = channels_of(values[0]);
  const long far_channels = channels_of(values[1]);
  if (near_channels < 0 || far_channels < 0) return nullptr;
  if (far_channels != 1) {
    return PyErr_Format(PyExc_ValueError,
                        "far must be mono (what was played, as one channel), got %ld channels",
                        far_channels);
  }
  if (near_channels < 1 || near_channels > kMaxNearChannels) {
    return PyErr_Format(PyExc_ValueError, "near must have 1 to %d channels, got %ld",
                        static_cast<int>(kMaxNearChannels), near_channels);
  }
  const auto channels = static_cast<uint16_t>(near_channels);
  std::vector<float> near;
  std::vector<float> far;
  if (samples_from_python(values[0], c.format, InputRole::EchoCanceller, near) < 0 ||
      samples_from_python(values[1], c.format, InputRole::EchoCanceller, far) < 0) {
    return nullptr;
  }
  std::vector<float> out;
  Result<void, CoreError> done;
  bool flushed;
  uint16_t fixed;
  {
    GilRelease released;
    std::lock_guard<std::mutex> lock(c.lock);
    flushed = c.flushed;
    if (!c.started && !flushed && channels != c.channels) {
      auto rebuilt = EchoStage::create(c.echo, channels, c.rate_hz);
      if (rebuilt) {
        c.stage = std::move(rebuilt).value();
        c.channels = channels;
      } else {
        done = rebuilt.error();
      }
    }
    fixed = c.channels;
    const bool run = !flushed && done && channels == fixed;
    if (run) {
      c.started = true;
      c.arrays = is_array(values[0]);
    }
    const size_t frames = near.size() / channels;
    const size_t step = std::max<size_t>(c.rate_hz / 10, 1);
    out.reserve(near.size() + size_t{aec::Tau::kBlock} * channels);
    std::vector<float> planar;
    std::vector<float> cleaned;
    for (size_t at = 0; run && done && at < frames; at += step) {
      const size_t n = std::min(step, frames - at);
      if (at < far.size()) c.queue->push(std::span(far).subspan(at, std::min(n, far.size() - at)));
      const auto block = std::span(near).subspan(at * channels, n * channels);
      cleaned.clear();
      if (channels == 1) {
        done = c.stage->process(block, 1, cleaned);
      } else {
        planar.clear();
        deinterleave(block, channels, planar);
        done = c.stage->process(planar, channels, cleaned);
      }
      append_interleaved(cleaned, channels, out);
    }
    if (run && far.size() > frames) c.queue->push(std::span(far).subspan(frames));
  }
  if (flushed) return PyErr_Format(PyExc_ValueError, "%s", kFlushed);
  if (!done) return raise_core_error(done.error());
  if (channels != fixed) {
    return PyErr_Format(PyExc_ValueError,
                        "near has %d channels, but this canceller was given %d before",
                        static_cast<int>(channels), static_cast<int>(fixed));
  }
  return samples_to_python(std::move(out), channels, c.format, is_array(values[0]));
}

PyObject* canceller_flush(PyObject* self, PyObject*) {
  Canceller& c = canceller_of(self);
  std::vector<float> out;
  Result<void, CoreError> done;
  bool flushed;
  bool arrays;
  uint16_t channels;
  {
    GilRelease released;
    std::lock_guard<std::mutex> lock(c.lock);
    flushed = c.flushed;
    arrays = c.arrays;
    channels = c.channels;
    if (!flushed) {
      std::vector<float> cleaned;
      done = c.stage->flush(cleaned);
      append_interleaved(cleaned, channels, out);
    }
    c.flushed = true;
  }
  if (flushed) return PyErr_Format(PyExc_ValueError, "%s", kFlushed);
  if (!done) return raise_core_error(done.error());
  return samples_to_python(std::move(out), channels, c.format, arrays);
}

PyObject* canceller_repr(PyObject* self) {
  Canceller& c = canceller_of(self);
  uint16_t channels;
  bool flushed;
  {
    GilRelease released;  // a process() may hold the lock
    std::lock_guard<std::mutex> lock(c.lock);
    channels = c.channels;
    flushed = c.flushed;
  }
  return PyUnicode_FromFormat(
      "EchoCanceller(sample_rate=%u, channels=%u, tail_ms=%u, suppression='%s', format='%s', "
      "state='%s')",
      static_cast<unsigned>(c.rate_hz), static_cast<unsigned>(channels),
      static_cast<unsigned>(c.echo.tail_ms.value_or(200)),
      c.echo.suppression == EchoSuppression::Off ? "off" : "conservative",
      format_name(c.format), flushed ? "flushed" : "open");
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
     PyDoc_STR("process($self, near, far)\n--\n\nCancel the echo of `far` (what was played) in "
               "`near` (what the microphone heard), both mono at the canceller's rate, as "
               "bytes of the configured format or arrays of its dtype. Returns the cleaned "
               "samples completed so far (bytes, or an array when `near` is one); they lag "
               "`near` by less than 256 samples, which flush() returns.")},
    {"flush", entry<canceller_flush>, METH_NOARGS,
     PyDoc_STR("flush($self)\n--\n\nEnd the recording: returns the cleaned samples still held, "
               "as an array when the last process() was given one, else as bytes. Afterwards "
               "process() and flush() raise ValueError.")},
    {"metrics", entry<canceller_metrics>, METH_NOARGS,
     PyDoc_STR("metrics($self)\n--\n\nThe canceller's state as MicrophoneBridge.aec_metrics() "
               "shows it: (delay, erle_db, adaptation_held, far_missing, "
               "samples_without_delay, search_restarts, discarded, padded, channels).")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(entry<canceller_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(canceller_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(entry<canceller_repr>)},
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
