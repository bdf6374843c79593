// MicrophoneBridge: capture from a microphone, conditioned and scored.
//
// The bridge owns a Capture (capture/capture.hpp), which does all the work and all the
// locking: any number of Python threads may call one bridge at once. start, stop,
// close, read and the model loading at construction run without the interpreter lock;
// the properties read atomics or take the capture's state mutex for a moment.
#include <chrono>
#include <memory>
#include <new>
#include <optional>

#include "bindings/python/bridges/bridges.hpp"
#include "bindings/python/bridges/default_model.hpp"
#include "bindings/python/bridges/device_argument.hpp"
#include "bindings/python/bridges/live_bridge.hpp"
#include "bindings/python/bridges/microphone_options.hpp"
#include "bindings/python/bridges/source_options.hpp"
#include "bindings/python/echo/echo_metrics.hpp"
#include "bindings/python/records/records.hpp"
#include "bindings/python/support/args.hpp"
#include "bindings/python/support/entry.hpp"
#include "bindings/python/support/errors.hpp"
#include "bindings/python/support/numpy.hpp"
#include "bindings/python/support/pyref.hpp"
#include "bindings/python/support/samples.hpp"
#include "bindings/python/support/slices.hpp"
#include "capture/capture.hpp"

namespace murello::py {
namespace {

struct MicrophoneBridge {
  std::unique_ptr<Capture> capture;  // never null
  SampleFormat format;
  bool numpy;
};

struct MicrophoneBridgeObject {
  LiveBridgeHead head;
  MicrophoneBridge bridge;  // constructed in place by microphone_new
};

MicrophoneBridge& bridge_of(PyObject* self) {
  return reinterpret_cast<MicrophoneBridgeObject*>(self)->bridge;
}

PyObject* raise_capture_error(const CaptureError& error) {
  if (const auto* refusal = std::get_if<CaptureRefusal>(&error)) {
    return *refusal == CaptureRefusal::AlreadyRunning
               ? raise_by_name("AlreadyRunning", "capture is already running")
               : raise_by_name("MicrophoneStreamClosed", "capture is not running");
  }
  return raise_config_error(std::get<ConfigError>(error));
}

// The tuple and dict of a type call, laid out as a vectorcall's arguments.
int bind_call_arguments(PyObject* args, PyObject* kwargs, PyObject** values) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
  std::vector<PyObject*> flat(static_cast<size_t>(nargs + nkw));
  for (Py_ssize_t i = 0; i < nargs; ++i) flat[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
  PyRef kwnames;
  if (nkw > 0) {
    kwnames = PyRef(PyTuple_New(nkw));
    if (!kwnames) return -1;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (Py_ssize_t k = 0; PyDict_Next(kwargs, &pos, &key, &value); ++k) {
      PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
      flat[static_cast<size_t>(nargs + k)] = value;
    }
  }
  return bind_arguments("MicrophoneBridge", kMicrophoneOptionNames, kMicrophoneRequiredOptions,
                        flat.data(), nargs, kwnames.get(), values);
}

// Conversion, then the capture configuration's checks in their order: format, NumPy,
// device argument, option texts and numbers, detector.
int prepare(PyObject* args, PyObject* kwargs, MicrophoneOptions& options,
            DeviceArgument& device) {
  PyObject* values[kMicrophoneOptionNames.size()];
  if (bind_call_arguments(args, kwargs, values) < 0) return -1;
  options.config.vad_holdoff = 0;
  if (apply_options(kMicrophoneOptions, values, options) < 0) return -1;
  use_default_model(options.config);
  if (auto format = check_format(options.config); !format) {
    raise_config_error(format.error());
    return -1;
  }
  if (options.numpy && require_numpy() < 0) return -1;
  if (device_argument_from_python(options.device, &device) < 0) return -1;
  if (auto checked = check_capture_options(options.config); !checked) {
    raise_config_error(checked.error());
    return -1;
  }
  return warn_unknown_vad_mode(options.config);
}

// The speaker whose playing is the echo canceller's far end: a SpeakerBridge, with
// echo cancellation on and the reference's own rate and layout left to the speaker.
int echo_link_from(PyObject* value, const SourceConfig& config,
                   std::shared_ptr<EchoLink>* out) {
  if (value == nullptr || value == Py_None) return 0;
  *out = speaker_echo_link(value);
  if (!*out) {
    PyErr_SetString(PyExc_TypeError, "echo_reference must be a SpeakerBridge or None");
    return -1;
  }
  // A speaker inherited through fork() plays in the parent: its link is not this process's.
  if (check_live_bridge_owner(value) < 0) return -1;
  if (!config.aec) {
    PyErr_SetString(PyExc_ValueError, "echo_reference needs echo cancellation (aec='tau')");
    return -1;
  }
  if (config.aec_reference_sample_rate || config.aec_reference_channels) {
    PyErr_SetString(PyExc_ValueError,
                    "echo_reference plays at the speaker's rate and channels; leave "
                    "aec_reference_sample_rate and aec_reference_channels unset");
    return -1;
  }
  return 0;
}

PyObject* microphone_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  MicrophoneOptions options;
  DeviceArgument device;
  if (prepare(args, kwargs, options, device) < 0) return nullptr;
  std::shared_ptr<EchoLink> link;
  if (echo_link_from(options.echo_reference, options.config, &link) < 0) return nullptr;
  const SampleFormat format = *parse_sample_format(options.config.format);
  auto built = [&] {
    GilRelease released;  // a model detector loads its runtime and model here
    return Capture::create(std::move(options.config),
                           resolver_for(std::move(device), Direction::Capture));
  }();
  if (!built) return raise_core_error(built.error());
  if (link) (*built)->link_echo_reference(std::move(link));
  auto* self = reinterpret_cast<MicrophoneBridgeObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  new (&self->bridge) MicrophoneBridge{std::move(built).value(), format, options.numpy};
  claim_live_bridge(reinterpret_cast<PyObject*>(self));
  return reinterpret_cast<PyObject*>(self);
}

PyObject* microphone_start(PyObject* self, PyObject*) {
  Capture& capture = *bridge_of(self).capture;
  auto started = [&] {
    GilRelease released;
    return capture.start();
  }();
  if (!started) return raise_capture_error(started.error());
  Py_RETURN_NONE;
}

PyObject* microphone_stop(PyObject* self, PyObject*) {
  Capture& capture = *bridge_of(self).capture;
  {
    GilRelease released;
    capture.stop();
  }
  Py_RETURN_NONE;
}

// One block; nullptr with no exception set when the timeout ran out.
PyObject* read_block(PyObject* self, std::optional<std::chrono::milliseconds> timeout) {
  MicrophoneBridge& bridge = bridge_of(self);
  auto waited = wait_in_slices(
      deadline_after(timeout), [&](Deadline until) { return bridge.capture->read_until(until); },
      [](const auto& block) { return !block || block->has_value(); });
  if (!waited) return nullptr;
  auto& block = *waited;
  if (!block) return raise_capture_error(block.error());
  if (!*block) return nullptr;
  CaptureBlock& delivered = **block;
  return samples_to_python(std::move(delivered.samples), delivered.channels, bridge.format,
                           bridge.numpy);
}

int to_timeout(PyObject* value, std::optional<std::chrono::milliseconds>* out) {
  if (value == nullptr || value == Py_None) return 0;
  PyRef index(PyNumber_Index(value));
  if (!index) return -1;
  constexpr const char* kRange = "(timeout_ms is None or 0 to 18446744073709551615)";
  int overflow = 0;
  const long long wide = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (wide == -1 && PyErr_Occurred()) return -1;
  // Above the signed range (overflow > 0) is still a valid unsigned value, up to 2**64 - 1.
  if (overflow < 0 || (overflow == 0 && wide < 0)) {
    PyErr_Format(PyExc_OverflowError, "number too small to fit in target type %s", kRange);
    return -1;
  }
  const unsigned long long ms = PyLong_AsUnsignedLongLong(index.get());
  if (ms == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Format(PyExc_OverflowError, "number too large to fit in target type %s", kRange);
    return -1;
  }
  // Longer than the clock can count waits without a deadline.
  constexpr unsigned long long kForever = std::chrono::milliseconds::max().count();
  if (ms <= kForever) *out = std::chrono::milliseconds(ms);
  return 0;
}

PyObject* microphone_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static constexpr const char* kNames[] = {"timeout_ms"};
  PyObject* value = nullptr;
  if (bind_arguments("read", kNames, 0, args, nargs, kwnames, &value) < 0) return nullptr;
  std::optional<std::chrono::milliseconds> timeout;
  if (to_timeout(value, &timeout) < 0) {
    add_parameter_note("timeout_ms");
    return nullptr;
  }
  PyObject* block = read_block(self, timeout);
  if (block == nullptr && !PyErr_Occurred()) Py_RETURN_NONE;
  return block;
}

PyObject* microphone_iter(PyObject* self) { return Py_NewRef(self); }

// nullptr without an exception ends the iteration.
PyObject* microphone_next(PyObject* self) { return read_block(self, std::nullopt); }

// The input is converted (and refused) whether or not a stream runs; without a running
// stream with echo cancellation it is then dropped.
PyObject* microphone_push_aec_reference(PyObject* self, PyObject* samples) {
  std::vector<float> reference;
  if (samples_from_python(samples, bridge_of(self).format, InputRole::AecReference, reference) <
      0) {
    return nullptr;
  }
  Capture& capture = *bridge_of(self).capture;
  {
    GilRelease released;
    capture.push_reference(reference);
  }
  Py_RETURN_NONE;
}

PyObject* microphone_aec_metrics(PyObject* self, PyObject*) {
  const Capture& capture = *bridge_of(self).capture;
  std::optional<Capture::EchoReport> report;
  {
    GilRelease released;
    report = capture.echo_report();
  }
  if (!report) Py_RETURN_NONE;
  return echo_metrics_to_python(report->channels, report->discarded, report->padded);
}

PyObject* microphone_devices(PyObject*, PyObject*) { return device_list(Direction::Capture); }

PyObject* get_is_open(PyObject* self, void*) {
  const Capture& capture = *bridge_of(self).capture;
  bool running = false;
  {
    GilRelease released;  // the state mutex may be held by a start in progress
    running = capture.is_running();
  }
  return PyBool_FromLong(running);
}

PyObject* get_vad_probability(PyObject* self, void*) {
  return PyFloat_FromDouble(bridge_of(self).capture->vad_probability());
}

PyObject* microphone_repr(PyObject* self) {
  const Capture& capture = *bridge_of(self).capture;
  const SourceConfig& config = capture.config();
  bool running = false;
  {
    GilRelease released;  // as is_open
    running = capture.is_running();
  }
  return PyUnicode_FromFormat(
      "MicrophoneBridge(sample_rate=%u, channels=%u, frames_per_buffer=%u, format='%s', "
      "state='%s')",
      static_cast<unsigned>(config.sample_rate), static_cast<unsigned>(config.channels),
      static_cast<unsigned>(config.frames_per_buffer), config.format.c_str(),
      running ? "running" : "stopped");
}

PyObject* get_vad_holdoff_ms(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(bridge_of(self).capture->config().vad_holdoff);
}

PyObject* get_overrun_count(PyObject* self, void*) {
  const Capture& capture = *bridge_of(self).capture;
  uint64_t count = 0;
  {
    GilRelease released;
    count = capture.overrun_count();
  }
  return PyLong_FromUnsignedLongLong(count);
}

PyMethodDef kMethods[] = {
    {"start", owned_entry<microphone_start>, METH_NOARGS,
     PyDoc_STR("start($self)\n--\n\nOpen the device and start capturing. Raises AlreadyRunning "
               "while a capture runs, and the device, channel and stream errors.")},
    {"stop", owned_entry<microphone_stop>, METH_NOARGS,
     PyDoc_STR("stop($self)\n--\n\nStop capturing; blocks not yet read are lost. Never fails; "
               "does nothing when not capturing.")},
    {"close", owned_entry<microphone_stop>, METH_NOARGS,
     PyDoc_STR("close($self)\n--\n\nThe same as stop().")},
    {"read", owned_fastcall<microphone_read>(), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("read($self, timeout_ms=None)\n--\n\nThe next block of frames_per_buffer frames as "
               "bytes or an array, or None when timeout_ms passed first (None waits as long "
               "as it takes). Once the device is lost the remaining blocks come out, the "
               "last one possibly shorter, then DeviceFailed once, then "
               "MicrophoneStreamClosed.")},
    {"__enter__", owned_entry<enter_live_bridge<microphone_start>>, METH_NOARGS,
     PyDoc_STR("__enter__($self)\n--\n\nStart capturing and return the bridge.")},
    {"__exit__", owned_fastcall<exit_live_bridge<microphone_stop>>(), METH_FASTCALL,
     PyDoc_STR("__exit__($self, exc_type, exc_value, traceback)\n--\n\nStop capturing; an "
               "exception from the block propagates.")},
    {"push_aec_reference", owned_entry<microphone_push_aec_reference>, METH_O,
     PyDoc_STR("push_aec_reference($self, samples)\n--\n\nThe far-end signal for echo "
               "cancellation, as bytes or an array of the bridge's format. Without an echo "
               "canceller, or with an echo_reference speaker, it is dropped.")},
    {"aec_metrics", owned_entry<microphone_aec_metrics>, METH_NOARGS,
     PyDoc_STR("aec_metrics($self)\n--\n\nThe echo canceller's metrics while a capture with "
               "echo cancellation runs, else None: (delay, erle_db, adaptation_held, "
               "far_missing, samples_without_delay, search_restarts) of channel 0, the "
               "reference queue's discarded and padded counts, and a list of each channel's "
               "six fields.")},
    {"devices", entry<microphone_devices>, METH_NOARGS | METH_STATIC,
     PyDoc_STR("devices()\n--\n\nThe capture devices as a list of MicrophoneInfo.")},
    {"version", entry<version_info>, METH_NOARGS | METH_STATIC,
     PyDoc_STR("version()\n--\n\nThe versions of the core, audio backend and binding.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetset[] = {
    {"is_open", owned_entry<get_is_open>, nullptr,
     PyDoc_STR("True while capturing (between a successful start() and stop())."), nullptr},
    {"vad_probability", owned_entry<get_vad_probability>, nullptr,
     PyDoc_STR("The latest block's voice-activity score; 0.0 before the first and without a "
               "detector."),
     nullptr},
    {"vad_holdoff_ms", owned_entry<get_vad_holdoff_ms>, nullptr,
     PyDoc_STR("The vad_holdoff given at construction, for the caller's own hold-off."),
     nullptr},
    {"overrun_count", owned_entry<get_overrun_count>, nullptr,
     PyDoc_STR("Device periods of audio lost: dropped because the reader fell 64 periods "
               "behind, or lost by the device in an overrun of its own buffer (rounded up "
               "to whole periods); 0 when not capturing."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(entry<microphone_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_live_bridge<MicrophoneBridgeObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(owned_entry<microphone_repr>)},
    {Py_tp_iter, reinterpret_cast<void*>(owned_entry<microphone_iter>)},
    {Py_tp_iternext, reinterpret_cast<void*>(owned_entry<microphone_next>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetset},
    {Py_tp_doc,
     const_cast<char*>(
         "MicrophoneBridge(sample_rate, channels, frames_per_buffer, format, device=None, "
         "vad=False, vad_threshold=0.5, vad_mode=..., vad_holdoff=0, model_path=None, "
         "numpy=False, ort_library_path=None, denoise=None, denoise_model_path=None, "
         "highpass=None, agc=None, limiter=None, dc_removal=False, aec=None, "
         "aec_tail_ms=None, aec_suppression=None, aec_reference_sample_rate=None, "
         "aec_reference_channels=None, channel_map=None, detector_source=None, "
         "echo_reference=None)\n--\n\n"
         "Capture from a microphone, conditioned and scored. Blocks of frames_per_buffer "
         "frames at sample_rate and channels come from read() or iteration, as int16 or "
         "float32 bytes, or arrays with numpy=True.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"murello._murello.MicrophoneBridge", sizeof(MicrophoneBridgeObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

}  // namespace

PyObject* create_microphone_bridge_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

}  // namespace murello::py
