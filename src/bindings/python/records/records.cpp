#include "bindings/python/records/records.hpp"

#include <alsa/asoundlib.h>

#include <new>
#include <string>

#include "bindings/python/support/entry.hpp"
#include "bindings/python/support/errors.hpp"
#include "bindings/python/support/pyref.hpp"
#include "bindings/python/support/types.hpp"

namespace murello::py {
namespace {

// The build defines the version from CMakeLists.txt's project(), its one source.
constexpr const char* kCoreVersion = MURELLO_VERSION;
constexpr const char* kBindingVersion = "0.13.0";

PyTypeObject* g_version_type = nullptr;
PyTypeObject* g_microphone_type = nullptr;
PyTypeObject* g_speaker_type = nullptr;

// A Python object that holds one C++ value.
template <class T>
struct Boxed {
  PyObject_HEAD
  T value;
};

template <class T>
PyObject* box(PyTypeObject* type, T value) {
  auto* self = reinterpret_cast<Boxed<T>*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  new (&self->value) T(std::move(value));
  return reinterpret_cast<PyObject*>(self);
}

template <class T>
const T& unbox(PyObject* self) {
  return reinterpret_cast<Boxed<T>*>(self)->value;
}

template <class T>
void boxed_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Boxed<T>*>(self)->value.~T();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* str(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// ---- VersionInfo ----

struct Versions {
  std::string murello;
  std::string audio_backend;
  std::string binding;
};

PyObject* version_murello(PyObject* self, void*) { return str(unbox<Versions>(self).murello); }
PyObject* version_backend(PyObject* self, void*) {
  return str(unbox<Versions>(self).audio_backend);
}
PyObject* version_binding(PyObject* self, void*) { return str(unbox<Versions>(self).binding); }

PyObject* version_repr(PyObject* self) {
  const Versions& v = unbox<Versions>(self);
  return str("VersionInfo(murello='" + v.murello + "', audio_backend='" + v.audio_backend +
             "', binding='" + v.binding + "')");
}

PyGetSetDef kVersionGetset[] = {
    {"murello", entry<version_murello>, nullptr, PyDoc_STR("the core version"), nullptr},
    {"audio_backend", entry<version_backend>, nullptr,
     PyDoc_STR("the audio backend's name and version"), nullptr},
    {"binding", entry<version_binding>, nullptr, PyDoc_STR("the binding version"), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kVersionSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<Versions>)},
    {Py_tp_repr, reinterpret_cast<void*>(entry<version_repr>)},
    {Py_tp_getset, kVersionGetset},
    {Py_tp_doc, const_cast<char*>("Versions of the core, its audio backend and the binding.")},
    {0, nullptr},
};

// ---- MicrophoneInfo / SpeakerInfo ----

PyObject* device_name_get(PyObject* self, void*) {
  return str(unbox<DeviceDescription>(self).name);
}
PyObject* device_id_get(PyObject* self, void*) { return str(unbox<DeviceDescription>(self).id); }
PyObject* device_index_get(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(unbox<DeviceDescription>(self).index);
}
PyObject* device_channels_get(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(unbox<DeviceDescription>(self).max_channels);
}
PyObject* device_rate_get(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(unbox<DeviceDescription>(self).default_sample_rate_hz);
}
PyObject* device_default_get(PyObject* self, void*) {
  return PyBool_FromLong(unbox<DeviceDescription>(self).is_default);
}

PyObject* device_repr(PyObject* self, const char* class_name, const char* channels_name) {
  const DeviceDescription& d = unbox<DeviceDescription>(self);
  return str(std::string(class_name) + "(index=" + std::to_string(d.index) + ", name='" +
             d.name + "', id='" + d.id + "', " + channels_name + "=" +
             std::to_string(d.max_channels) +
             ", default_sample_rate=" + std::to_string(d.default_sample_rate_hz) +
             ", is_default=" + (d.is_default ? "true" : "false") + ")");
}

PyObject* microphone_repr(PyObject* self) {
  return device_repr(self, "MicrophoneInfo", "max_input_channels");
}
PyObject* speaker_repr(PyObject* self) {
  return device_repr(self, "SpeakerInfo", "max_output_channels");
}

#define MURELLO_DEVICE_GETSET(channels_name)                                                      \
  {                                                                                               \
    {"index", entry<device_index_get>, nullptr, PyDoc_STR("position in the listing"), nullptr},   \
    {"name", entry<device_name_get>, nullptr, PyDoc_STR("human-readable name"), nullptr},         \
    {"id", entry<device_id_get>, nullptr, PyDoc_STR("\"alsa:\" and the PCM name"), nullptr},      \
    {channels_name, entry<device_channels_get>, nullptr,                                          \
     PyDoc_STR("channels of the default configuration"), nullptr},                                \
    {"default_sample_rate", entry<device_rate_get>, nullptr,                                      \
     PyDoc_STR("rate of the default configuration in Hz"), nullptr},                              \
    {"is_default", entry<device_default_get>, nullptr, PyDoc_STR("whether this is the default"),  \
     nullptr},                                                                                    \
    {nullptr, nullptr, nullptr, nullptr, nullptr},                                                \
  }

PyGetSetDef kMicrophoneGetset[] = MURELLO_DEVICE_GETSET("max_input_channels");
PyGetSetDef kSpeakerGetset[] = MURELLO_DEVICE_GETSET("max_output_channels");
#undef MURELLO_DEVICE_GETSET

PyType_Slot kMicrophoneSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<DeviceDescription>)},
    {Py_tp_repr, reinterpret_cast<void*>(entry<microphone_repr>)},
    {Py_tp_getset, kMicrophoneGetset},
    {Py_tp_doc, const_cast<char*>("A capture device as listed by MicrophoneBridge.devices().")},
    {0, nullptr},
};

PyType_Slot kSpeakerSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<DeviceDescription>)},
    {Py_tp_repr, reinterpret_cast<void*>(entry<speaker_repr>)},
    {Py_tp_getset, kSpeakerGetset},
    {Py_tp_doc, const_cast<char*>("A playback device as listed by SpeakerBridge.devices().")},
    {0, nullptr},
};

constexpr unsigned kRecordFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyType_Spec kVersionSpec = {"murello._murello.VersionInfo", sizeof(Boxed<Versions>), 0,
                            kRecordFlags, kVersionSlots};
PyType_Spec kMicrophoneSpec = {"murello._murello.MicrophoneInfo",
                               sizeof(Boxed<DeviceDescription>), 0, kRecordFlags,
                               kMicrophoneSlots};
PyType_Spec kSpeakerSpec = {"murello._murello.SpeakerInfo", sizeof(Boxed<DeviceDescription>),
                            0, kRecordFlags, kSpeakerSlots};

}  // namespace

PyObject* create_version_info_type(PyObject* module) {
  return create_cached_type(module, &kVersionSpec, &g_version_type);
}

PyObject* create_microphone_info_type(PyObject* module) {
  return create_cached_type(module, &kMicrophoneSpec, &g_microphone_type);
}

PyObject* create_speaker_info_type(PyObject* module) {
  return create_cached_type(module, &kSpeakerSpec, &g_speaker_type);
}

PyObject* version_info(PyObject*, PyObject*) {
  return box(g_version_type, Versions{kCoreVersion,
                                      std::string("alsa ") + snd_asoundlib_version(),
                                      kBindingVersion});
}

PyObject* device_list(Direction direction) {
  auto listing = [direction] {
    GilRelease released;
    return list_devices(direction);
  }();
  if (!listing) return raise_core_error(listing.error());

  PyTypeObject* type = direction == Direction::Capture ? g_microphone_type : g_speaker_type;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(listing->size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < listing->size(); ++i) {
    PyObject* record = box(type, std::move((*listing)[i]));
    if (record == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record);
  }
  return list.release();
}

}  // namespace murello::py
