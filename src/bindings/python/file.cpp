// FileBridge: read, condition, analyse and save audio files and in-memory buffers.
//
// The file source lives in a slot behind a mutex; every use of it runs with the
// interpreter lock released. The engaged and consumed flags and the latest score and
// channel count are atomics read without the mutex.
#include <atomic>
#include <memory>
#include <mutex>
#include <new>

#include "bindings/python/args.hpp"
#include "bindings/python/bridges.hpp"
#include "bindings/python/errors.hpp"
#include "bindings/python/pyref.hpp"
#include "bindings/python/samples.hpp"
#include "bindings/python/source_options.hpp"
#include "bindings/python/types.hpp"
#include "sources/file.hpp"

namespace murello::py {
namespace {

constexpr const char* kConsumed = "File already consumed; construct a new File for another pass";

struct FileState {
  std::mutex slot_mutex;
  std::unique_ptr<FileSource> source;  // empty after close, analyze or save
  std::atomic<bool> engaged{false};
  std::atomic<bool> consumed{false};
  std::atomic<float> vad_probability{0.0f};
  std::atomic<uint16_t> channels{1};
  SampleFormat format = SampleFormat::Int16;
  bool numpy = false;
  uint32_t sample_rate_hz = 0;
  uint32_t input_rate_hz = 0;
};

struct FileBridgeObject {
  PyObject_HEAD
  FileState* state;
};

PyTypeObject* g_file_bridge_type = nullptr;

FileState& state_of(PyObject* self) { return *reinterpret_cast<FileBridgeObject*>(self)->state; }

void file_bridge_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<FileBridgeObject*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

// Wraps a built source in a new bridge object.
PyObject* new_bridge(std::unique_ptr<FileSource> source, SampleFormat format, bool numpy) {
  auto* self = reinterpret_cast<FileBridgeObject*>(
      g_file_bridge_type->tp_alloc(g_file_bridge_type, 0));
  if (self == nullptr) return nullptr;
  auto* state = new FileState();
  state->format = format;
  state->numpy = numpy;
  state->sample_rate_hz = source->sample_rate_hz();
  state->input_rate_hz = source->input_rate_hz();
  state->source = std::move(source);
  self->state = state;
  return reinterpret_cast<PyObject*>(self);
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
  constexpr size_t kCount = 1 + kFileOptionCount;
  const char* names[kCount] = {"path"};
  std::copy(std::begin(kFileOptionNames), std::end(kFileOptionNames), names + 1);
  PyObject* values[kCount];
  if (bind_arguments("open", names, 1, args, nargs, kwnames, values) < 0) return nullptr;

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
  constexpr size_t kCount = 3 + kFileOptionCount;
  const char* names[kCount] = {"samples", "input_rate", "input_channels"};
  std::copy(std::begin(kFileOptionNames), std::end(kFileOptionNames), names + 3);
  PyObject* values[kCount];
  if (bind_arguments("buffer", names, 2, args, nargs, kwnames, values) < 0) return nullptr;

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
  FileState& state = state_of(self);
  if (state.consumed.load()) return raise_by_name("FileConsumed", kConsumed);
  Result<std::optional<FileChunk>, CoreError> chunk = std::optional<FileChunk>();
  {
    GilRelease released;
    std::lock_guard<std::mutex> lock(state.slot_mutex);
    if (state.source) {
      state.engaged.store(true);
      chunk = state.source->read();
      state.vad_probability.store(state.source->vad_probability());
      if (chunk && *chunk) state.channels.store((*chunk)->channels);
    }
  }
  if (!chunk) return raise_core_error(chunk.error());
  if (!*chunk) Py_RETURN_NONE;
  FileChunk& delivered = **chunk;
  return samples_to_python(std::move(delivered.samples), delivered.channels, state.format,
                           state.numpy);
}

PyObject* file_check_not_engaged(PyObject* self, PyObject*) {
  if (state_of(self).engaged.load()) return raise_core_error(CoreError(ErrorKind::FileEngaged));
  Py_RETURN_NONE;
}

// Why a source cannot be taken for analyze or save.
enum class TakeRefusal { Engaged, Consumed, Refused };

struct Taken {
  std::unique_ptr<FileSource> source;          // set when taken
  TakeRefusal refusal = TakeRefusal::Refused;  // otherwise why not
  std::optional<CoreError> error;              // the source's own refusal
};

// Takes the source out of the slot unless a check refuses, which leaves the bridge as
// it was. `check` runs on the source in the slot and may refuse with a core error. Runs
// without the interpreter lock.
template <class Check>
Taken take_source(FileState& state, Check check) {
  std::lock_guard<std::mutex> lock(state.slot_mutex);
  Taken taken;
  if (state.engaged.load()) {
    taken.refusal = TakeRefusal::Engaged;
  } else if (!state.source) {
    taken.refusal = TakeRefusal::Consumed;
  } else if (Result<void, CoreError> checked = check(*state.source); !checked) {
    taken.error = std::move(checked).error();
  } else {
    taken.source = std::move(state.source);
    state.consumed.store(true);
  }
  return taken;
}

PyObject* raise_refusal(const Taken& taken) {
  switch (taken.refusal) {
    case TakeRefusal::Engaged:
      return raise_core_error(CoreError(ErrorKind::FileEngaged));
    case TakeRefusal::Consumed:
      return raise_by_name("FileConsumed", kConsumed);
    case TakeRefusal::Refused:
      break;
  }
  return raise_core_error(*taken.error);
}

PyObject* analysis_to_python(const AnalysisResult& analysis) {
  PyRef windows(PyList_New(static_cast<Py_ssize_t>(analysis.windows.size())));
  if (!windows) return nullptr;
  for (size_t i = 0; i < analysis.windows.size(); ++i) {
    const AnalysisWindow& w = analysis.windows[i];
    PyObject* item = Py_BuildValue("(ddfN)", w.start_s, w.end_s, w.probability,
                                   PyBool_FromLong(w.is_speech));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(windows.get(), static_cast<Py_ssize_t>(i), item);
  }
  PyRef segments(PyList_New(static_cast<Py_ssize_t>(analysis.segments.size())));
  if (!segments) return nullptr;
  for (size_t i = 0; i < analysis.segments.size(); ++i) {
    const SpeechSegment& s = analysis.segments[i];
    PyObject* item = Py_BuildValue("(dd)", s.start_s, s.end_s);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(segments.get(), static_cast<Py_ssize_t>(i), item);
  }
  return PyTuple_Pack(2, windows.get(), segments.get());
}

PyObject* file_analyze(PyObject* self, PyObject*) {
  FileState& state = state_of(self);
  Taken taken;
  std::optional<Result<AnalysisResult, CoreError>> analysis;
  {
    GilRelease released;
    taken = take_source(state, [](const FileSource& source) -> Result<void, CoreError> {
      if (!source.can_analyze()) return CoreError(ErrorKind::VadNotConfigured);
      return {};
    });
    if (taken.source) {
      analysis.emplace(taken.source->analyze());
      taken.source.reset();
    }
  }
  if (!analysis) return raise_refusal(taken);
  if (!*analysis) return raise_core_error(analysis->error());
  return analysis_to_python(analysis->value());
}

PyObject* file_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"path", "format", "compression"};
  PyObject* values[3];
  if (bind_arguments("save", kNames, 1, args, nargs, kwnames, values) < 0) return nullptr;
  std::filesystem::path path;
  std::optional<std::string> format;
  std::optional<uint8_t> compression;
  if (convert("path", values[0], to_path, &path) < 0 ||
      convert("format", values[1], to_string, &format) < 0 ||
      convert("compression", values[2], to_uint8, &compression) < 0) {
    return nullptr;
  }

  FileState& state = state_of(self);
  if (state.engaged.load()) return raise_core_error(CoreError(ErrorKind::FileEngaged));
  auto container = choose_container(format, path);
  if (!container) return raise_config_error(container.error());
  auto level = flac_compression(compression);
  if (!level) return raise_core_error(level.error());

  Taken taken;
  std::optional<Result<SaveCounts, CoreError>> saved;
  {
    GilRelease released;
    // What the encoder would refuse is checked before the recording is consumed.
    taken = take_source(state, [&](const FileSource& source) {
      return source.check_save(*container, *level);
    });
    if (taken.source) {
      saved.emplace(taken.source->save(path, *container, *level));
      taken.source.reset();
    }
  }
  if (!saved) return raise_refusal(taken);
  if (!*saved) return raise_core_error(saved->error());
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(saved->value().clipped),
                       static_cast<unsigned long long>(saved->value().non_finite));
}

PyObject* file_close(PyObject* self, PyObject*) {
  FileState& state = state_of(self);
  std::unique_ptr<FileSource> dropped;
  {
    GilRelease released;
    {
      std::lock_guard<std::mutex> lock(state.slot_mutex);
      dropped = std::move(state.source);
    }
    dropped.reset();
  }
  Py_RETURN_NONE;
}

PyObject* get_vad_probability(PyObject* self, void*) {
  return PyFloat_FromDouble(state_of(self).vad_probability.load());
}
PyObject* get_sample_rate(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(state_of(self).sample_rate_hz);
}
PyObject* get_input_rate(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(state_of(self).input_rate_hz);
}
PyObject* get_channels(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(state_of(self).channels.load());
}

#define MURELLO_FILE_SIGNATURE_OPTIONS                                                        \
  "sample_rate=16000, channels=1, channel_map=None, format=..., vad=False, "                  \
  "vad_threshold=0.5, vad_mode=..., vad_holdoff=300, model_path=None, numpy=False, "          \
  "ort_library_path=None, denoise=None, denoise_model_path=None, highpass=None, agc=None, "   \
  "limiter=None, dc_removal=False, detector_source=None)"

PyMethodDef kMethods[] = {
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(file_open)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     PyDoc_STR("open(path, " MURELLO_FILE_SIGNATURE_OPTIONS
               "\n--\n\nOpen an audio path as an offline source.")},
    {"buffer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(file_buffer)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     PyDoc_STR("buffer(samples, input_rate, input_channels=1, " MURELLO_FILE_SIGNATURE_OPTIONS
               "\n--\n\nUse samples already in memory as an offline source. `samples` is a "
               "list of floats or raw f32 little-endian bytes, frame-interleaved at "
               "`input_channels`; `input_rate` is their native rate.")},
    {"read", file_read, METH_NOARGS,
     PyDoc_STR("read()\n--\n\nThe next conditioned chunk as bytes or an array, or None once "
               "the recording and its end-of-stream tail are delivered and after close(). "
               "Raises FileConsumed after analyze() or save().")},
    {"check_not_engaged", file_check_not_engaged, METH_NOARGS,
     PyDoc_STR("check_not_engaged()\n--\n\nRaise FileEngaged if a read() has begun; "
               "otherwise do nothing.")},
    {"analyze", file_analyze, METH_NOARGS,
     PyDoc_STR("analyze()\n--\n\nAnalyse the whole recording with the model detector. "
               "Returns (windows, segments): one (start, end, probability, is_speech) per "
               "window and one (start, end) per merged speech segment. Takes the source: "
               "the File cannot be read or saved afterwards.")},
    {"save", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(file_save)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("save(path, format=None, compression=None)\n--\n\nWrite the conditioned "
               "recording as 16-bit WAV, AIFF or FLAC; the format is 'wav', 'aiff' or "
               "'flac', or taken from the path's extension, and compression (0 to 8, "
               "default 5) applies to FLAC. Returns (clipped, non_finite), the numbers of "
               "samples clamped to +-1.0 and of non-finite samples replaced. Takes the "
               "source.")},
    {"close", file_close, METH_NOARGS,
     PyDoc_STR("close()\n--\n\nDrop the source; waits for a read in progress. Idempotent. "
               "Afterwards read() returns None and analyze() and save() raise "
               "FileConsumed.")},
    {nullptr, nullptr, 0, nullptr},
};
#undef MURELLO_FILE_SIGNATURE_OPTIONS

PyGetSetDef kGetset[] = {
    {"vad_probability", get_vad_probability, nullptr,
     PyDoc_STR("The most recent per-chunk voice-activity score (0.0 to 1.0); 0.0 before the "
               "first chunk or without a detector."),
     nullptr},
    {"sample_rate", get_sample_rate, nullptr,
     PyDoc_STR("The target rate in Hz that every delivered chunk carries."), nullptr},
    {"input_rate", get_input_rate, nullptr,
     PyDoc_STR("The source's own rate in Hz: from the file header, or input_rate of "
               "buffer()."),
     nullptr},
    {"channels", get_channels, nullptr,
     PyDoc_STR("The channel count the most recent chunk was interleaved at; 1 before the "
               "first chunk."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(file_bridge_dealloc)},
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
