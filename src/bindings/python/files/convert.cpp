#include "bindings/python/files/convert.hpp"

#include <filesystem>
#include <iterator>
#include <optional>
#include <string>

#include "bindings/python/bridges/source_options.hpp"
#include "bindings/python/support/args.hpp"
#include "bindings/python/support/entry.hpp"
#include "bindings/python/support/errors.hpp"
#include "bindings/python/support/progress.hpp"
#include "bindings/python/support/pyref.hpp"
#include "files/stream_save.hpp"

namespace murello::py {
namespace {

constexpr size_t kRateOption = file_option_index("sample_rate");
constexpr size_t kChannelsOption = file_option_index("channels");

PyObject* convert_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kLeading[] = {"path", "output", "container", "compression",
                                         "progress"};
  PyObject* values[std::size(kLeading) + kFileOptionCount];
  if (bind_with_file_options("_convert", kLeading, 2, args, nargs, kwnames, values) < 0) {
    return nullptr;
  }
  std::filesystem::path path;
  std::filesystem::path output;
  std::optional<std::string> container_name;
  std::optional<uint8_t> compression;
  WorkProgress* progress = nullptr;
  StreamRequest request;
  bool numpy = false;
  PyObject** options = values + std::size(kLeading);
  request.file_rate = left_to_file(options[kRateOption]);
  request.file_channels = left_to_file(options[kChannelsOption]);
  if (convert("path", values[0], to_path, &path) < 0 ||
      convert("output", values[1], to_path, &output) < 0 ||
      convert("container", values[2], to_string, &container_name) < 0 ||
      convert("compression", values[3], to_uint8, &compression) < 0 ||
      convert("progress", values[4], to_progress, &progress) < 0 ||
      convert_file_options(options, &request.config, &numpy) < 0 ||
      check_file_config(request.config, numpy) < 0) {
    return nullptr;
  }
  // Refused as FileBridge.save refuses them, once the input has been opened.
  auto opened = [&] {
    GilRelease released;
    return FileStream::open(path, request);
  }();
  if (!opened) return raise_core_error(opened.error());
  const auto container = choose_container(container_name, output);
  if (!container) return raise_config_error(container.error());
  const auto level = flac_compression(compression);
  if (!level) return raise_core_error(level.error());
  // The arguments hold the progress object, and so its counters, until the call returns.
  auto saved = [&] {
    GilRelease released;
    return save_stream(**opened, output, *container, *level, progress);
  }();
  if (!saved) return raise_core_error(saved.error());
  if (!*saved) Py_RETURN_NONE;
  return Py_BuildValue("(KK)", static_cast<unsigned long long>((*saved)->clipped),
                       static_cast<unsigned long long>((*saved)->non_finite));
}

PyMethodDef kConvert = {
    "_convert",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<convert_file>)),
    METH_FASTCALL | METH_KEYWORDS,
    PyDoc_STR("_convert(path, output, container=None, compression=None, progress=None, "
              "sample_rate=None, channels=None, ...)\n--\n\nRead path, condition it and "
              "write it to output as FileBridge.save writes, a step at a time, aligned with "
              "the input and as long as murello.load delivers it; takes FileBridge.open's "
              "keywords, with None for sample_rate or channels keeping the file's own. "
              "container is 'wav', 'aiff' or 'flac' (default: from output's extension). "
              "output is replaced only once complete. Returns (clipped, non_finite), or "
              "None when a _Progress stopped it (nothing written).")};

}  // namespace

int add_convert_function(PyObject* module) {
  PyRef name(PyModule_GetNameObject(module));
  if (!name) return -1;
  PyRef function(PyCFunction_NewEx(&kConvert, module, name.get()));
  if (!function) return -1;
  return PyModule_AddObjectRef(module, "_convert", function.get());
}

}  // namespace murello::py
