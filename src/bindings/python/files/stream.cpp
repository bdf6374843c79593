// The module functions _stream(path, block_frames, ...) and _analyze(path, ...): an audio
// file read through a block at a time (the private class _FileStream, which
// murello.stream wraps as an iterator), and its voice analysis, in memory bounded by the
// block rather than the file.
//
// A _FileStream serialises its callers with its own lock; every step runs with the
// interpreter lock released.
#include "bindings/python/files/stream.hpp"

#include <iterator>
#include <memory>
#include <mutex>
#include <new>

#include "bindings/python/bridges/source_options.hpp"
#include "bindings/python/files/analysis.hpp"
#include "bindings/python/support/args.hpp"
#include "bindings/python/support/entry.hpp"
#include "bindings/python/support/errors.hpp"
#include "bindings/python/support/progress.hpp"
#include "bindings/python/support/pyref.hpp"
#include "bindings/python/support/samples.hpp"
#include "bindings/python/support/types.hpp"
#include "files/file_analysis.hpp"
#include "files/file_stream.hpp"

namespace murello::py {
namespace {

constexpr size_t kRateOption = file_option_index("sample_rate");
constexpr size_t kChannelsOption = file_option_index("channels");

struct Stream {
  std::mutex lock;
  std::unique_ptr<FileStream> stream;  // null once closed
  const size_t block_frames;
  const SampleFormat format;
  const bool numpy;
  const uint32_t sample_rate_hz;
  const uint16_t channels;
};

struct StreamObject {
  PyObject_HEAD
  Stream stream;  // constructed in place by stream_open
};

PyTypeObject* g_stream_type = nullptr;

Stream& stream_of(PyObject* self) { return reinterpret_cast<StreamObject*>(self)->stream; }

void stream_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  stream_of(self).~Stream();
  type->tp_free(self);
  Py_DECREF(type);
}

int to_block_frames(PyObject* value, size_t* out) {
  uint32_t frames = 0;
  if (to_uint32(value, &frames) < 0) return -1;
  if (frames == 0) {
    PyErr_SetString(PyExc_ValueError, "block_frames must be at least 1");
    return -1;
  }
  *out = frames;
  return 0;
}

PyObject* stream_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kLeading[] = {"path", "block_frames"};
  PyObject* values[std::size(kLeading) + kFileOptionCount];
  if (bind_with_file_options("_stream", kLeading, 2, args, nargs, kwnames, values) < 0) {
    return nullptr;
  }
  FileInput input;
  size_t block_frames = 0;
  StreamRequest request;
  bool numpy = true;
  PyObject** options = values + std::size(kLeading);
  request.file_rate = left_to_file(options[kRateOption]);
  request.file_channels = left_to_file(options[kChannelsOption]);
  if (convert("path", values[0], to_file_input, &input) < 0 ||
      convert("block_frames", values[1], to_block_frames, &block_frames) < 0 ||
      convert_file_options(options, &request.config, &numpy) < 0 ||
      check_file_config(request.config, numpy) < 0) {
    return nullptr;
  }
  auto opened = [&] {
    GilRelease released;
    return FileStream::open(std::move(input), request);
  }();
  if (!opened) return raise_core_error(opened.error());
  auto* self = reinterpret_cast<StreamObject*>(g_stream_type->tp_alloc(g_stream_type, 0));
  if (self == nullptr) return nullptr;
  const uint32_t rate = (*opened)->sample_rate_hz();
  const uint16_t channels = (*opened)->channels();
  new (&self->stream) Stream{{}, std::move(opened).value(), block_frames,
                             *parse_sample_format(request.config.format), numpy, rate,
                             channels};
  return reinterpret_cast<PyObject*>(self);
}

PyObject* stream_read(PyObject* self, PyObject*) {
  Stream& stream = stream_of(self);
  auto block = [&] {
    GilRelease released;
    std::lock_guard<std::mutex> lock(stream.lock);
    using Block = Result<std::optional<std::vector<float>>, CoreError>;
    if (!stream.stream) return Block(std::optional<std::vector<float>>());
    return stream.stream->next_block(stream.block_frames);
  }();
  if (!block) return raise_core_error(block.error());
  if (!*block) Py_RETURN_NONE;
  return samples_to_python(std::move(**block), stream.channels, stream.format, stream.numpy);
}

PyObject* stream_close(PyObject* self, PyObject*) {
  Stream& stream = stream_of(self);
  std::unique_ptr<FileStream> dropped;
  {
    GilRelease released;
    std::lock_guard<std::mutex> lock(stream.lock);
    dropped = std::move(stream.stream);
    dropped.reset();
  }
  Py_RETURN_NONE;
}

PyObject* get_sample_rate(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(stream_of(self).sample_rate_hz);
}
PyObject* get_channels(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(stream_of(self).channels);
}

PyObject* analyze(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kLeading[] = {"path", "progress", "windows"};
  PyObject* values[std::size(kLeading) + kFileOptionCount];
  if (bind_with_file_options("_analyze", kLeading, 1, args, nargs, kwnames, values) < 0) {
    return nullptr;
  }
  std::filesystem::path path;
  WorkProgress* progress = nullptr;
  bool with_windows = true;
  SourceConfig config;
  bool numpy = false;
  if (convert("path", values[0], to_path, &path) < 0 ||
      convert("progress", values[1], to_progress, &progress) < 0 ||
      convert("windows", values[2], to_bool, &with_windows) < 0 ||
      convert_file_options(values + 3, &config, &numpy) < 0 ||
      check_file_config(config, numpy) < 0) {
    return nullptr;
  }
  // The arguments hold the progress object, and so its counters, until the call returns.
  auto analysis = [&] {
    GilRelease released;
    return analyze_file(path, config, progress);
  }();
  if (!analysis) return raise_core_error(analysis.error());
  return analysis_to_python(*analysis, with_windows);
}

PyMethodDef kMethods[] = {
    {"read", entry<stream_read>, METH_NOARGS,
     PyDoc_STR("read($self)\n--\n\nThe next block of block_frames frames (the last may be "
               "shorter), or None at the end or after close(). An error in the file is "
               "raised once the blocks before it are out.")},
    {"close", entry<stream_close>, METH_NOARGS,
     PyDoc_STR("close($self)\n--\n\nRelease the file; later reads return None. Idempotent.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetset[] = {
    {"sample_rate", entry<get_sample_rate>, nullptr, PyDoc_STR("The delivered rate in Hz."),
     nullptr},
    {"channels", entry<get_channels>, nullptr,
     PyDoc_STR("The delivered channel count."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetset},
    {Py_tp_doc, const_cast<char*>("An audio file read a block at a time; made by _stream().")},
    {0, nullptr},
};

PyType_Spec kSpec = {"murello._murello._FileStream", sizeof(StreamObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                         Py_TPFLAGS_DISALLOW_INSTANTIATION,
                     kSlots};

PyMethodDef kFunctions[] = {
    {"_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<stream_open>)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("_stream(path, block_frames, sample_rate=None, channels=None, ...)\n--\n\n"
               "Open an audio file to read it through block by block, conditioned as "
               "FileBridge.open conditions it; takes FileBridge.open's keywords, with None "
               "for sample_rate or channels keeping the file's own. A resampled stream is "
               "aligned with the file and exactly as long. path may instead be a bytearray "
               "holding the file's bytes. murello.stream wraps it.")},
    {"_analyze", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<analyze>)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("_analyze(path, progress=None, windows=True, sample_rate=16000, channels=1, "
               "...)\n--\n\n"
               "What FileBridge.open(path, ...).analyze() returns, with the file read through "
               "a block at a time; a _Progress counts the frames done and can stop it early, "
               "and windows=False leaves the list of windows empty. murello.analyze wraps "
               "it.")},
};

}  // namespace

int add_stream_functions(PyObject* module) {
  PyRef type(create_cached_type(module, &kSpec, &g_stream_type));
  if (!type || PyModule_AddObjectRef(module, "_FileStream", type.get()) < 0) return -1;
  PyRef name(PyModule_GetNameObject(module));
  if (!name) return -1;
  for (PyMethodDef& function : kFunctions) {
    PyRef callable(PyCFunction_NewEx(&function, module, name.get()));
    if (!callable || PyModule_AddObjectRef(module, function.ml_name, callable.get()) < 0) {
      return -1;
    }
  }
  return 0;
}

}  // namespace murello::py
