// _RecordingFile(path, sample_rate, channels, format=None, compression=None): a 16-bit
// WAV, AIFF or FLAC file written as float32 samples arrive, readable at every moment
// (see files/recording_file.hpp). write() and close() run without the interpreter lock;
// a mutex serialises them. A file dropped without close() is finished by its finaliser.
#include "bindings/python/files/recording_file.hpp"

#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "bindings/python/support/args.hpp"
#include "bindings/python/support/entry.hpp"
#include "bindings/python/support/errors.hpp"
#include "bindings/python/support/pyref.hpp"
#include "files/recording_file.hpp"

namespace murello::py {
namespace {

struct Recording {
  std::mutex lock;
  RecordingFile file;
  std::vector<float> samples;  // one write's samples, reused
};

struct RecordingObject {
  PyObject_HEAD
  Recording recording;  // constructed in place by recording_new
};

Recording& recording_of(PyObject* self) {
  return reinterpret_cast<RecordingObject*>(self)->recording;
}

void recording_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  recording_of(self).~Recording();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* recording_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"path", "sample_rate", "channels", "format", "compression",
                                nullptr};
  PyObject* values[5] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|OO:_RecordingFile",
                                   const_cast<char**>(names), &values[0], &values[1],
                                   &values[2], &values[3], &values[4])) {
    return nullptr;
  }
  std::filesystem::path path;
  uint32_t rate_hz = 0;
  uint16_t channels = 0;
  std::optional<std::string> format;
  std::optional<uint8_t> compression;
  if (convert("path", values[0], to_path, &path) < 0 ||
      convert("sample_rate", values[1], to_uint32, &rate_hz) < 0 ||
      convert("channels", values[2], to_uint16, &channels) < 0 ||
      convert("format", values[3], to_string, &format) < 0 ||
      convert("compression", values[4], to_uint8, &compression) < 0) {
    return nullptr;
  }
  if (rate_hz == 0 || channels == 0) {
    return PyErr_Format(PyExc_ValueError, "sample_rate and channels must be at least 1");
  }
  const auto container = choose_container(format, path);
  if (!container) return raise_config_error(container.error());
  auto created = [&] {
    GilRelease released;
    return RecordingFile::create(path, *container, rate_hz, channels,
                                 compression.value_or(kDefaultFlacCompression));
  }();
  if (!created) return raise_core_error(created.error());
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;  // the file is finished as `created` goes
  new (&reinterpret_cast<RecordingObject*>(self)->recording)
      Recording{{}, std::move(created).value(), {}};
  return self;
}

// write(samples): float32 little-endian samples, interleaved, from any bytes-like object.
PyObject* recording_write(PyObject* self, PyObject* samples) {
  Py_buffer view;
  if (PyObject_GetBuffer(samples, &view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
  Recording& r = recording_of(self);
  Result<void, CoreError> written;
  {
    GilRelease released;
    std::lock_guard<std::mutex> lock(r.lock);
    r.samples.resize(size_t(view.len) / sizeof(float));
    std::memcpy(r.samples.data(), view.buf, r.samples.size() * sizeof(float));
    written = r.file.append(r.samples);
  }
  PyBuffer_Release(&view);
  if (!written) return raise_core_error(written.error());
  Py_RETURN_NONE;
}

PyObject* recording_close(PyObject* self, PyObject*) {
  Recording& r = recording_of(self);
  Result<void, CoreError> finished;
  {
    GilRelease released;
    std::lock_guard<std::mutex> lock(r.lock);
    finished = r.file.finish();
  }
  if (!finished) return raise_core_error(finished.error());
  Py_RETURN_NONE;
}

PyObject* recording_frames(PyObject* self, void*) {
  Recording& r = recording_of(self);
  uint64_t frames;
  {
    GilRelease released;
    std::lock_guard<std::mutex> lock(r.lock);
    frames = r.file.frames();
  }
  return PyLong_FromUnsignedLongLong(frames);
}

PyMethodDef kMethods[] = {
    {"write", entry<recording_write>, METH_O,
     PyDoc_STR("write($self, samples)\n--\n\nAppend float32 little-endian samples, interleaved, "
               "from a bytes-like object; a trailing partial frame is dropped. Raises "
               "FileWriteFailed when the file system refuses them: the file then keeps what "
               "was written whole, and takes nothing more.")},
    {"close", entry<recording_close>, METH_NOARGS,
     PyDoc_STR("close($self)\n--\n\nComplete the header, flush the file to disk and close it; "
               "afterwards a no-op.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"frames", entry<recording_frames>, nullptr,
     PyDoc_STR("Frames written whole so far; after close(), those the file declares."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(entry<recording_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(recording_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {Py_tp_doc,
     const_cast<char*>("_RecordingFile(path, sample_rate, channels, format=None, "
                       "compression=None)\n--\n\nA 16-bit WAV, AIFF or FLAC file written as "
                       "samples arrive and readable at every moment: what `murello record` "
                       "writes.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"murello._murello._RecordingFile", sizeof(RecordingObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

}  // namespace

int add_recording_file_type(PyObject* module) {
  PyRef type(PyType_FromModuleAndSpec(module, &kSpec, nullptr));
  if (!type) return -1;
  return PyModule_AddObjectRef(module, "_RecordingFile", type.get());
}

}  // namespace murello::py
