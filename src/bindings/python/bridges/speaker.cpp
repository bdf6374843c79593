// SpeakerBridge: playback to a speaker.
//
// The bridge owns a Playback (playback/playback.hpp), which does the work and the locking:
// any number of Python threads may call one bridge at once, and a writer blocked on a
// full queue holds no lock that another thread needs. start, stop, close, the queueing
// in write and drain run without the interpreter lock; the properties take the
// playback's state mutex only for a moment.
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "bindings/python/bridges/bridges.hpp"
#include "bindings/python/bridges/device_argument.hpp"
#include "bindings/python/bridges/live_bridge.hpp"
#include "bindings/python/records/records.hpp"
#include "bindings/python/support/args.hpp"
#include "bindings/python/support/entry.hpp"
#include "bindings/python/support/errors.hpp"
#include "bindings/python/support/pyref.hpp"
#include "bindings/python/support/samples.hpp"
#include "bindings/python/support/slices.hpp"
#include "core/config.hpp"
#include "devices/selection.hpp"
#include "playback/playback.hpp"

namespace murello::py {
namespace {

struct SpeakerBridge {
  SpeakerBridge(uint32_t sample_rate_hz, uint16_t channels, SampleFormat format,
                DeviceArgument device)
      : playback(sample_rate_hz, channels, resolver_for(std::move(device), Direction::Playback)),
        sample_rate_hz(sample_rate_hz),
        channels(channels),
        format(format) {}

  Playback playback;
  const uint32_t sample_rate_hz;
  const uint16_t channels;
  const SampleFormat format;
};

struct SpeakerBridgeObject {
  LiveBridgeHead head;
  SpeakerBridge bridge;  // constructed in place by speaker_new
};

SpeakerBridge& bridge_of(PyObject* self) {
  return reinterpret_cast<SpeakerBridgeObject*>(self)->bridge;
}

// The bridge's own refusals carry texts of their own rather than their kinds' messages.
PyObject* raise_playback_error(const CoreError& error) {
  switch (error.kind()) {
    case ErrorKind::AlreadyRunning:
      return raise_by_name("AlreadyRunning", "output is already running");
    case ErrorKind::SpeakerStreamClosed:
      return raise_by_name("SpeakerStreamClosed", "output is not running");
    default:
      return raise_core_error(error);
  }
}

// Conversion, then the checks in their order: format, device, rate, channels.
PyObject* speaker_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kNames[] = {"sample_rate", "channels", "format", "device", nullptr};
  PyObject* values[4] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|O:SpeakerBridge",
                                   const_cast<char**>(kNames), &values[0], &values[1],
                                   &values[2], &values[3])) {
    return nullptr;
  }
  uint32_t sample_rate_hz = 0;
  uint16_t channels = 0;
  std::string format_text;
  if (convert("sample_rate", values[0], to_uint32, &sample_rate_hz) < 0 ||
      convert("channels", values[1], to_uint16, &channels) < 0 ||
      convert("format", values[2], to_string, &format_text) < 0) {
    return nullptr;
  }
  const std::optional<SampleFormat> format = parse_sample_format(format_text);
  if (!format) return raise_core_error(CoreError(ErrorKind::InvalidFormat));
  DeviceArgument device;
  if (device_argument_from_python(values[3], &device) < 0) return nullptr;
  if (sample_rate_hz < kMinSampleRateHz || sample_rate_hz > kMaxSampleRateHz) {
    return raise_core_error(CoreError(ErrorKind::SampleRateOutOfRange));
  }
  if (channels < 1) return raise_core_error(CoreError(ErrorKind::ChannelsOutOfRange));

  auto* self = reinterpret_cast<SpeakerBridgeObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  new (&self->bridge) SpeakerBridge(sample_rate_hz, channels, *format, std::move(device));
  claim_live_bridge(reinterpret_cast<PyObject*>(self));
  return reinterpret_cast<PyObject*>(self);
}

PyObject* speaker_start(PyObject* self, PyObject*) {
  SpeakerBridge& bridge = bridge_of(self);
  auto started = [&] {
    GilRelease released;
    return bridge.playback.start();
  }();
  if (!started) return raise_playback_error(started.error());
  Py_RETURN_NONE;
}

PyObject* speaker_stop(PyObject* self, PyObject*) {
  SpeakerBridge& bridge = bridge_of(self);
  {
    GilRelease released;
    bridge.playback.stop();
  }
  Py_RETURN_NONE;
}

PyObject* speaker_write(PyObject* self, PyObject* samples) {
  SpeakerBridge& bridge = bridge_of(self);
  std::vector<float> converted;
  if (samples_from_python(samples, bridge.format, InputRole::SpeakerWrite, converted) < 0) {
    return nullptr;
  }
  Playback::Pending pending;
  auto written = wait_in_slices(  // waits here while the queue is full
      std::nullopt,
      [&](Deadline until) { return bridge.playback.write_until(converted, pending, until); },
      [](const auto& queued) { return !queued || *queued; });
  if (!written) return nullptr;
  if (!*written) return raise_playback_error(written->error());
  Py_RETURN_NONE;
}

PyObject* speaker_drain(PyObject* self, PyObject*) {
  SpeakerBridge& bridge = bridge_of(self);
  Playback::Pending pending;
  auto drained = wait_in_slices(
      std::nullopt, [&](Deadline until) { return bridge.playback.drain_until(pending, until); },
      [](const auto& done) { return !done || *done; });
  if (!drained) return nullptr;
  if (!*drained) return raise_playback_error(drained->error());
  Py_RETURN_NONE;
}

PyObject* speaker_devices(PyObject*, PyObject*) { return device_list(Direction::Playback); }

PyObject* get_is_playing(PyObject* self, void*) {
  return PyBool_FromLong(bridge_of(self).playback.running());
}

PyObject* speaker_repr(PyObject* self) {
  const SpeakerBridge& bridge = bridge_of(self);
  return PyUnicode_FromFormat("SpeakerBridge(sample_rate=%u, channels=%u, format='%s', state='%s')",
                              static_cast<unsigned>(bridge.sample_rate_hz),
                              static_cast<unsigned>(bridge.channels), format_name(bridge.format),
                              bridge.playback.running() ? "playing" : "stopped");
}

PyObject* get_underrun_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(bridge_of(self).playback.underrun_samples());
}

PyMethodDef kMethods[] = {
    {"start", owned_entry<speaker_start>, METH_NOARGS,
     PyDoc_STR("start($self)\n--\n\nOpen the device and start playing; silence plays until the "
               "first write(). Raises AlreadyRunning while playing, and the device, channel "
               "and stream errors.")},
    {"write", owned_entry<speaker_write>, METH_O,
     PyDoc_STR("write($self, samples)\n--\n\nQueue samples to play: bytes or an array (1-D, or "
               "(frames, channels)) of the bridge's format, interleaved. NaN and infinities "
               "play as 0.0 and samples beyond +-1.0 as +-1.0; a trailing partial frame "
               "waits for the rest of its frame in the next write. Blocks while 32 writes "
               "are queued, which paces a producer to the device. Raises "
               "SpeakerStreamClosed when not playing, and DeviceFailed once after the "
               "device was lost.")},
    {"drain", owned_entry<speaker_drain>, METH_NOARGS,
     PyDoc_STR("drain($self)\n--\n\nWait until everything written before the call has been "
               "taken from the queue (its last samples may still be on their way to the "
               "speaker). Returns early when another thread stops playback.")},
    {"stop", owned_entry<speaker_stop>, METH_NOARGS,
     PyDoc_STR("stop($self)\n--\n\nStop playing; what is still queued is dropped. Never fails; "
               "does nothing when not playing.")},
    {"close", owned_entry<speaker_stop>, METH_NOARGS,
     PyDoc_STR("close($self)\n--\n\nThe same as stop().")},
    {"__enter__", owned_entry<enter_live_bridge<speaker_start>>, METH_NOARGS,
     PyDoc_STR("__enter__($self)\n--\n\nStart playing and return the bridge.")},
    {"__exit__", owned_fastcall<exit_live_bridge<speaker_stop>>(), METH_FASTCALL,
     PyDoc_STR("__exit__($self, exc_type, exc_value, traceback)\n--\n\nStop playing; an exception "
               "from the block propagates.")},
    {"devices", entry<speaker_devices>, METH_NOARGS | METH_STATIC,
     PyDoc_STR("devices()\n--\n\nThe playback devices as a list of SpeakerInfo.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetset[] = {
    {"is_playing", owned_entry<get_is_playing>, nullptr,
     PyDoc_STR("True between a successful start() and stop(), even after the device was "
               "lost."),
     nullptr},
    {"underrun_count", owned_entry<get_underrun_count>, nullptr,
     PyDoc_STR("Samples (all channels) of silence played because nothing was queued; 0 "
               "when not playing."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(entry<speaker_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_live_bridge<SpeakerBridgeObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(owned_entry<speaker_repr>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetset},
    {Py_tp_doc,
     const_cast<char*>("SpeakerBridge(sample_rate, channels, format, device=None)\n--\n\n"
                       "Playback to a speaker: samples written as int16 or float32 bytes or "
                       "arrays, interleaved at channels, are played at sample_rate as "
                       "written.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"murello._murello.SpeakerBridge", sizeof(SpeakerBridgeObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

}  // namespace

std::shared_ptr<EchoLink> speaker_echo_link(PyObject* object) {
  // Every SpeakerBridge, of whichever module instance, is freed by this function.
  if (Py_TYPE(object)->tp_dealloc != dealloc_live_bridge<SpeakerBridgeObject>) return nullptr;
  return bridge_of(object).playback.echo_link();
}

PyObject* create_speaker_bridge_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

}  // namespace murello::py
