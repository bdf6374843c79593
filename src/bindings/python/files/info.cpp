// murello._murello.info(path): an audio file's header facts, without decoding it.
#include "bindings/python/files/info.hpp"

#include <filesystem>

#include "bindings/python/support/args.hpp"
#include "bindings/python/support/entry.hpp"
#include "bindings/python/support/errors.hpp"
#include "bindings/python/support/pyref.hpp"
#include "bindings/python/support/types.hpp"
#include "files/file_header.hpp"

namespace murello::py {
namespace {

PyStructSequence_Field kFields[] = {
    {"container", "'WAV', 'RF64', 'AIFF', 'AIFF-C' or 'FLAC'"},
    {"sample_rate", "the rate in Hz the header declares"},
    {"channels", "the channel count"},
    {"frames", "frames per channel; None when a FLAC stream does not declare it"},
    {"sample_format", "how samples are stored, e.g. '16-bit PCM' or '32-bit IEEE float'"},
    {"duration", "frames / sample_rate in seconds; None without frames"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kDesc = {
    "murello._murello.FileInfo",
    "The header facts of an audio file, as info() reads them.",
    kFields,
    6,
};

PyTypeObject* g_file_info_type = nullptr;

PyObject* optional_frames(const AudioHeader& header) {
  if (!header.frames) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*header.frames);
}

PyObject* optional_duration(const AudioHeader& header) {
  if (!header.frames) Py_RETURN_NONE;
  return PyFloat_FromDouble(static_cast<double>(*header.frames) / header.sample_rate_hz);
}

PyObject* header_to_python(const AudioHeader& header) {
  PyRef record(PyStructSequence_New(g_file_info_type));
  if (!record) return nullptr;
  PyObject* values[] = {
      PyUnicode_FromString(container_name(header.container)),
      PyLong_FromUnsignedLong(header.sample_rate_hz),
      PyLong_FromUnsignedLong(header.channels),
      optional_frames(header),
      PyUnicode_FromString(sample_format_text(header).c_str()),
      optional_duration(header),
  };
  bool complete = true;
  for (Py_ssize_t i = 0; i < 6; ++i) {
    complete = complete && values[i] != nullptr;
    // The record owns every slot, set or not, so a failure leaks nothing.
    PyStructSequence_SetItem(record.get(), i, values[i]);
  }
  return complete ? record.release() : nullptr;
}

PyObject* file_info(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"path"};
  PyObject* values[1];
  if (bind_arguments("info", kNames, 1, args, nargs, kwnames, values) < 0) return nullptr;
  std::filesystem::path path;
  if (convert("path", values[0], to_path, &path) < 0) return nullptr;
  auto header = [&] {
    GilRelease released;
    return read_file_header(path);
  }();
  if (!header) return raise_core_error(header.error());
  return header_to_python(*header);
}

PyMethodDef kInfo = {
    "info", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<file_info>)),
    METH_FASTCALL | METH_KEYWORDS,
    PyDoc_STR("info(path)\n--\n\nThe header facts of an audio file (WAV, RF64, AIFF, AIFF-C "
              "or FLAC) as a FileInfo: container, sample_rate, channels, frames, "
              "sample_format and duration. Reads only what the header needs and decodes no "
              "sample; raises what FileBridge.open raises for the same header.")};

}  // namespace

PyObject* create_file_info_type(PyObject*) { return create_record_type(&kDesc, &g_file_info_type); }

PyObject* create_info_function(PyObject* module) {
  PyRef name(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCFunction_NewEx(&kInfo, module, name.get());
}

}  // namespace murello::py
