#include "bindings/python/files/load.hpp"

#include <cstring>
#include <filesystem>
#include <iterator>

#include "bindings/python/bridges/source_options.hpp"
#include "bindings/python/support/args.hpp"
#include "bindings/python/support/entry.hpp"
#include "bindings/python/support/errors.hpp"
#include "bindings/python/support/pyref.hpp"
#include "bindings/python/support/samples.hpp"
#include "files/load.hpp"

namespace murello::py {
namespace {

constexpr size_t kRateOption = file_option_index("sample_rate");
constexpr size_t kChannelsOption = file_option_index("channels");
static_assert(kRateOption < kFileOptionCount && kChannelsOption < kFileOptionCount);

PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kLeading[] = {"path", "offset", "duration"};
  PyObject* values[std::size(kLeading) + kFileOptionCount];
  if (bind_with_file_options("_load", kLeading, 1, args, nargs, kwnames, values) < 0) {
    return nullptr;
  }

  FileInput input;
  LoadRequest request;
  bool numpy = true;
  PyObject** options = values + std::size(kLeading);
  request.file_rate = left_to_file(options[kRateOption]);
  request.file_channels = left_to_file(options[kChannelsOption]);
  if (convert("path", values[0], to_file_input, &input) < 0 ||
      convert("offset", values[1], to_seconds, &request.offset_s) < 0 ||
      convert("duration", values[2], to_seconds, &request.duration_s) < 0 ||
      convert_file_options(options, &request.config, &numpy) < 0 ||
      check_file_config(request.config, numpy) < 0) {
    return nullptr;
  }
  const SampleFormat format = *parse_sample_format(request.config.format);
  auto loaded = [&] {
    GilRelease released;
    return load_file(std::move(input), std::move(request));
  }();
  if (!loaded) return raise_core_error(loaded.error());
  PyRef array(samples_to_python(std::move(loaded->samples), loaded->channels, format, numpy));
  if (!array) return nullptr;
  return Py_BuildValue("(Nk)", array.release(),
                       static_cast<unsigned long>(loaded->sample_rate_hz));
}

PyMethodDef kLoad = {
    "_load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<load>)),
    METH_FASTCALL | METH_KEYWORDS,
    PyDoc_STR("_load(path, offset=None, duration=None, sample_rate=None, channels=None, "
              "channel_map=None, format=..., ...)\n--\n\nRead, condition and return a whole "
              "audio file, or the span from offset lasting duration (seconds), as (array, "
              "rate). path may instead be a bytearray holding the file's bytes. "
              "Takes FileBridge.open's keywords; sample_rate and channels None keep the "
              "file's own. The array is frames x channels, 1-D for one channel; numpy=False "
              "gives the interleaved samples as bytes. A resampled result is aligned with "
              "the file and exactly as long.")};

}  // namespace

int add_load_function(PyObject* module) {
  PyRef name(PyModule_GetNameObject(module));
  if (!name) return -1;
  PyRef function(PyCFunction_NewEx(&kLoad, module, name.get()));
  if (!function) return -1;
  return PyModule_AddObjectRef(module, "_load", function.get());
}

}  // namespace murello::py
