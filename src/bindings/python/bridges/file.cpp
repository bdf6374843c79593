// FileBridge: read, condition, analyse and save audio files and in-memory buffers.
//
// The bridge owns its file source and the lock that serialises the threads using it;
// the source keeps its own lifecycle. Every use of the source runs with the interpreter
// lock released; the properties read the source's fixed or atomic fields without the
// lock.
#include <iterator>
#include <memory>
#include <mutex>
#include <new>

#include "bindings/python/bridges/bridges.hpp"
#include "bindings/python/bridges/source_options.hpp"
#include "bindings/python/files/analysis.hpp"
#include "bindings/python/support/args.hpp"
#include "bindings/python/support/entry.hpp"
#include "bindings/python/support/errors.hpp"
#include "bindings/python/support/pyref.hpp"
#include "bindings/python/support/samples.hpp"
#include "bindings/python/support/types.hpp"
#include "files/file.hpp"

namespace murello::py {
namespace {

struct FileBridge {
  std::mutex lock;
  const std::unique_ptr<FileSource> source;  // never null
  const SampleFormat format;
  const bool numpy;
};

struct FileBridgeObject {
  PyObject_HEAD
  FileBridge bridge;  // constructed in place by new_bridge
};

PyTypeObject* g_file_bridge_type = nullptr;

FileBridge& bridge_of(PyObject* self) { return reinterpret_cast<FileBridgeObject*>(self)->bridge; }

void file_bridge_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  bridge_of(self).~FileBridge();
  type->tp_free(self);
  Py_DECREF(type);
}

// Wraps a built source in a new bridge object.
PyObject* new_bridge(std::unique_ptr<FileSource> source, SampleFormat format, bool numpy) {
  auto* self = reinterpret_cast<FileBridgeObject*>(
      g_file_bridge_type->tp_alloc(g_file_bridge_type, 0));
  if (self == nullptr) return nullptr;
  new (&self->bridge) FileBridge{{}, std::move(source), format, numpy};
  return reinterpret_cast<PyObject*>(self);
}

// Runs `use` on the source under the bridge's lock, without the interpreter lock.
template <class Use>
auto with_source(PyObject* self, Use use) {
  FileBridge& bridge = bridge_of(self);
  GilRelease released;
  std::lock_guard<std::mutex> lock(bridge.lock);
  return use(*bridge.source);
}

// Converts the options of open/buffer (after their leading parameters) and runs the
// checks that come before any audio is read.
int prepare_config(PyObject* const* options, SourceConfig* config, bool* numpy) {
  if (convert_file_options(options, config, numpy) < 0) return -1;
  return check_file_config(*config, *numpy);
}

PyObject* finish_construction(Result<std::unique_ptr<FileSource>, CoreError> built,
                              const SourceConfig& config, bool numpy) {
  if (!built) return raise_core_error(built.error());
  return new_bridge(std::move(built).value(), *parse_sample_format(config.format), numpy);
}

PyObject* file_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kLeading[] = {"path"};
  PyObject* values[std::size(kLeading) + kFileOptionCount];
  if (bind_with_file_options("open", kLeading, 1, args, nargs, kwnames, values) < 0) {
    return nullptr;
  }

  std::filesystem::path path;
  SourceConfig config;
  bool numpy = false;
  if (convert("path", values[0], to_path, &path) < 0) return nullptr;
  if (prepare_config(values + 1, &config, &numpy) < 0) return nullptr;
  auto built = [&] {
    GilRelease released;
    return FileSource::open(path, config);
  }();
  return finish_construction(std::move(built), config, numpy);
}

int to_buffer_samples(PyObject* value, std::vector<float>* out) {
  return buffer_from_python(value, *out);
}

PyObject* file_buffer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kLeading[] = {"samples", "input_rate", "input_channels"};
  PyObject* values[std::size(kLeading) + kFileOptionCount];
  if (bind_with_file_options("buffer", kLeading, 2, args, nargs, kwnames, values) < 0) {
    return nullptr;
  }

  std::vector<float> samples;
  uint32_t input_rate_hz = 0;
  uint16_t input_channels = 1;
  SourceConfig config;
  bool numpy = false;
  if (convert("samples", values[0], to_buffer_samples, &samples) < 0 ||
      convert("input_rate", values[1], to_uint32, &input_rate_hz) < 0 ||
      convert("input_channels", values[2], to_uint16, &input_channels) < 0 ||
      prepare_config(values + 3, &config, &numpy) < 0) {
    return nullptr;
  }
  auto built = [&] {
    GilRelease released;
    return FileSource::buffer(std::move(samples), input_rate_hz, input_channels, config);
  }();
  return finish_construction(std::move(built), config, numpy);
}

PyObject* file_read(PyObject* self, PyObject*) {
  auto chunk = with_source(self, [](FileSource& source) { return source.read(); });
  if (!chunk) return raise_core_error(chunk.error());
  if (!*chunk) Py_RETURN_NONE;
  FileChunk& delivered = **chunk;
  const FileBridge& bridge = bridge_of(self);
  return samples_to_python(std::move(delivered.samples), delivered.channels, bridge.format,
                           bridge.numpy);
}

// Iteration hands out what read() does, ending where it returns None.
PyObject* file_iter(PyObject* self) { return Py_NewRef(self); }

PyObject* file_next(PyObject* self) {
  PyObject* chunk = file_read(self, nullptr);
  if (chunk != Py_None) return chunk;  // a chunk, or nullptr with the read's error
  Py_DECREF(chunk);
  return nullptr;  // exhausted: StopIteration without an exception set
}

PyObject* file_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* file_exit(PyObject* self, PyObject* const*, Py_ssize_t) {
  with_source(self, [](FileSource& source) { source.close(); });
  Py_RETURN_FALSE;
}

const char* stage_name(FileStage stage) {
  switch (stage) {
    case FileStage::Fresh:
      return "fresh";
    case FileStage::Reading:
      return "reading";
    case FileStage::Finished:
      return "finished";
    case FileStage::Consumed:
      return "consumed";
    case FileStage::Closed:
      return "closed";
  }
  return "";
}

PyObject* file_repr(PyObject* self) {
  const FileStage stage = with_source(self, [](FileSource& source) { return source.stage(); });
  const FileSource& source = *bridge_of(self).source;
  return PyUnicode_FromFormat(
      "FileBridge(input_rate=%u, sample_rate=%u, channels=%u, format='%s', state='%s')",
      static_cast<unsigned>(source.input_rate_hz()), static_cast<unsigned>(source.sample_rate_hz()),
      static_cast<unsigned>(source.channels()), format_name(bridge_of(self).format),
      stage_name(stage));
}

PyObject* file_check_not_engaged(PyObject* self, PyObject*) {
  auto checked =
      with_source(self, [](FileSource& source) { return source.check_not_engaged(); });
  if (!checked) return raise_core_error(checked.error());
  Py_RETURN_NONE;
}

PyObject* file_analyze(PyObject* self, PyObject*) {
  auto analysis = with_source(self, [](FileSource& source) { return source.analyze(); });
  if (!analysis) return raise_core_error(analysis.error());
  return analysis_to_python(*analysis);
}

PyObject* file_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"path", "format", "compression", "bits", "float"};
  PyObject* values[5];
  if (bind_arguments("save", kNames, 1, args, nargs, kwnames, values) < 0) return nullptr;
  std::filesystem::path path;
  std::optional<std::string> format;
  std::optional<uint8_t> compression;
  std::optional<uint32_t> bits;
  bool is_float = false;
  if (convert("path", values[0], to_path, &path) < 0 ||
      convert("format", values[1], to_string, &format) < 0 ||
      convert("compression", values[2], to_uint8, &compression) < 0 ||
      convert("bits", values[3], to_uint32, &bits) < 0 ||
      convert("float", values[4], to_bool, &is_float) < 0) {
    return nullptr;
  }
  // The container and depth are questions of the arguments, answered after the source's
  // own first refusal (an engaged source) and before the others.
  const auto container = choose_container(format, path);
  const uint8_t level = compression.value_or(kDefaultFlacCompression);
  auto saved = with_source(self, [&](FileSource& source) -> Result<SaveCounts, ConfigError> {
    if (auto engaged = source.check_not_engaged(); !engaged) {
      return ConfigError(std::move(engaged).error());
    }
    if (!container) return container.error();
    auto depth = choose_depth(bits, is_float, *container);
    if (!depth) return depth.error();
    auto counts = source.save(path, *container, level, *depth);
    if (!counts) return ConfigError(std::move(counts).error());
    return *counts;
  });
  if (!saved) return raise_config_error(saved.error());
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(saved->clipped),
                       static_cast<unsigned long long>(saved->non_finite));
}

PyObject* file_close(PyObject* self, PyObject*) {
  with_source(self, [](FileSource& source) { source.close(); });
  Py_RETURN_NONE;
}

PyObject* get_vad_probability(PyObject* self, void*) {
  return PyFloat_FromDouble(bridge_of(self).source->vad_probability());
}
PyObject* get_sample_rate(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(bridge_of(self).source->sample_rate_hz());
}
PyObject* get_input_rate(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(bridge_of(self).source->input_rate_hz());
}
PyObject* get_channels(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(bridge_of(self).source->channels());
}

#define MURELLO_FILE_SIGNATURE_OPTIONS                                                        \
  "sample_rate=16000, channels=1, channel_map=None, format=..., vad=False, "                  \
  "vad_threshold=0.5, vad_mode=..., vad_holdoff=300, model_path=None, numpy=False, "          \
  "ort_library_path=None, denoise=None, denoise_model_path=None, highpass=None, agc=None, "   \
  "limiter=None, dc_removal=False, detector_source=None)"

PyMethodDef kMethods[] = {
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<file_open>)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     PyDoc_STR("open(path, " MURELLO_FILE_SIGNATURE_OPTIONS
               "\n--\n\nOpen an audio path as an offline source.")},
    {"buffer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<file_buffer>)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     PyDoc_STR("buffer(samples, input_rate, input_channels=1, " MURELLO_FILE_SIGNATURE_OPTIONS
               "\n--\n\nUse samples already in memory as an offline source. `samples` is a "
               "list of floats or raw f32 little-endian bytes, frame-interleaved at "
               "`input_channels`; `input_rate` is their native rate.")},
    {"read", entry<file_read>, METH_NOARGS,
     PyDoc_STR("read($self)\n--\n\nThe next conditioned chunk as bytes or an array, or None once "
               "the recording and its end-of-stream tail are delivered and after close(). "
               "Raises FileConsumed after analyze() or save().")},
    {"check_not_engaged", entry<file_check_not_engaged>, METH_NOARGS,
     PyDoc_STR("check_not_engaged($self)\n--\n\nRaise FileEngaged if a read() has begun; "
               "otherwise do nothing.")},
    {"analyze", entry<file_analyze>, METH_NOARGS,
     PyDoc_STR("analyze($self)\n--\n\nAnalyse the whole recording with the model detector. "
               "Returns (windows, segments): one (start, end, probability, is_speech) per "
               "window and one (start, end) per merged speech segment. Takes the source: "
               "the File cannot be read or saved afterwards.")},
    {"save", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<file_save>)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("save($self, path, format=None, compression=None, bits=None, float=False)\n--\n\n"
               "Write the conditioned recording as WAV, AIFF or FLAC; the format is 'wav', "
               "'aiff' or 'flac', or taken from the path's extension, and compression (0 to "
               "8, default 5) applies to FLAC. Samples are stored as integers of bits (16, "
               "24 or 32; default 16), or with float=True as 32-bit floats, which keep "
               "values beyond +-1.0 (WAV and AIFF only; FLAC takes 16 or 24 bits). Returns "
               "(clipped, non_finite), the numbers of samples clamped to +-1.0 and of "
               "non-finite samples replaced. Takes the source.")},
    {"close", entry<file_close>, METH_NOARGS,
     PyDoc_STR("close($self)\n--\n\nDrop the source; waits for a read in progress. Idempotent. "
               "Afterwards read() returns None, and analyze() and save() raise FileConsumed "
               "(FileEngaged once a read has begun).")},
    {"__enter__", entry<file_enter>, METH_NOARGS,
     PyDoc_STR("__enter__($self)\n--\n\nReturn the bridge.")},
    {"__exit__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<file_exit>)), METH_FASTCALL,
     PyDoc_STR("__exit__($self, exc_type, exc_value, traceback)\n--\n\nclose(); an exception from "
               "the block propagates.")},
    {nullptr, nullptr, 0, nullptr},
};
#undef MURELLO_FILE_SIGNATURE_OPTIONS

PyGetSetDef kGetset[] = {
    {"vad_probability", entry<get_vad_probability>, nullptr,
     PyDoc_STR("The most recent per-chunk voice-activity score (0.0 to 1.0); 0.0 before the "
               "first chunk or without a detector."),
     nullptr},
    {"sample_rate", entry<get_sample_rate>, nullptr,
     PyDoc_STR("The target rate in Hz that every delivered chunk carries."), nullptr},
    {"input_rate", entry<get_input_rate>, nullptr,
     PyDoc_STR("The source's own rate in Hz: from the file header, or input_rate of "
               "buffer()."),
     nullptr},
    {"channels", entry<get_channels>, nullptr,
     PyDoc_STR("The channel count the most recent chunk was interleaved at; 1 before the "
               "first chunk."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(file_bridge_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(entry<file_repr>)},
    {Py_tp_iter, reinterpret_cast<void*>(entry<file_iter>)},
    {Py_tp_iternext, reinterpret_cast<void*>(entry<file_next>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetset},
    {Py_tp_doc, const_cast<char*>("Read, condition, analyse and save audio files and buffers. "
                                  "Create one with FileBridge.open() or FileBridge.buffer().")},
    {0, nullptr},
};

PyType_Spec kSpec = {"murello._murello.FileBridge", sizeof(FileBridgeObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                         Py_TPFLAGS_DISALLOW_INSTANTIATION,
                     kSlots};

}  // namespace

PyObject* create_file_bridge_type(PyObject* module) {
  return create_cached_type(module, &kSpec, &g_file_bridge_type);
}

}  // namespace murello::py
