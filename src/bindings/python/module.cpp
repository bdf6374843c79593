// The extension module murello._murello: one execution step adds the classes, `info`
// and `_numpy_smoke` and lists them in __all__. Importing it opens no device, loads no ONNX
// Runtime and imports neither NumPy nor murello.exceptions.
#include <Python.h>

#include <chrono>

#include "bindings/python/bridges/bridges.hpp"
#include "bindings/python/bridges/default_model.hpp"
#include "bindings/python/echo/echo_canceller.hpp"
#include "bindings/python/echo/echo_metrics.hpp"
#include "bindings/python/files/convert.hpp"
#include "bindings/python/files/info.hpp"
#include "bindings/python/files/load.hpp"
#include "bindings/python/files/recording_file.hpp"
#include "bindings/python/files/stream.hpp"
#include "bindings/python/records/records.hpp"
#include "bindings/python/records/selected_device.hpp"
#include "bindings/python/support/entry.hpp"
#include "bindings/python/support/progress.hpp"
#include "bindings/python/support/pyref.hpp"
#include "bindings/python/support/samples.hpp"
#include "onnx/runtime_use.hpp"

namespace murello::py {
namespace {

PyMethodDef kNumpySmoke = {
    "_numpy_smoke", entry<numpy_smoke>, METH_NOARGS,
    PyDoc_STR("_numpy_smoke()\n--\n\nAn int16 array [0, 1, 2, 3, 4] over a native buffer.")};

// Adds `value` (a new reference, or nullptr after a failure) as `name` and appends the
// name to __all__.
int add_public(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  PyRef owned(value);
  if (!owned) return -1;
  if (PyModule_AddObjectRef(module, name, owned.get()) < 0) return -1;
  PyRef text(PyUnicode_FromString(name));
  if (!text) return -1;
  return PyList_Append(all, text.get());
}

// Runs when the interpreter has finished, before the process's exit handlers (ONNX
// Runtime's among them): daemon threads still inside the runtime end their call first.
void close_runtime_at_exit() { ort_close(std::chrono::seconds(5)); }

int exec_module(PyObject* module) {
  // Once per process; fails only when the interpreter's exit table is full, and then the
  // exit goes as it would without it.
  [[maybe_unused]] static const int registered = Py_AtExit(close_runtime_at_exit);
  PyRef all(PyList_New(0));
  if (!all) return -1;
  if (PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;

  if (add_public(module, all.get(), "VersionInfo", create_version_info_type(module)) < 0 ||
      add_public(module, all.get(), "MicrophoneInfo", create_microphone_info_type(module)) < 0 ||
      add_public(module, all.get(), "SpeakerInfo", create_speaker_info_type(module)) < 0 ||
      add_public(module, all.get(), "MicrophoneBridge", create_microphone_bridge_type(module)) <
          0 ||
      add_public(module, all.get(), "SpeakerBridge", create_speaker_bridge_type(module)) < 0 ||
      add_public(module, all.get(), "FileBridge", create_file_bridge_type(module)) < 0 ||
      add_public(module, all.get(), "FileInfo", create_file_info_type(module)) < 0 ||
      add_public(module, all.get(), "info", create_info_function(module)) < 0 ||
      add_public(module, all.get(), "EchoCanceller", create_echo_canceller_type(module)) < 0 ||
      add_load_function(module) < 0 || add_convert_function(module) < 0 || add_stream_functions(module) < 0 ||
      add_recording_file_type(module) < 0 || add_default_model_function(module) < 0 ||
      add_echo_metrics_types(module) < 0 || add_progress_type(module) < 0 ||
      add_selected_device_function(module) < 0) {
    return -1;
  }
  PyRef name(PyUnicode_FromString("murello._murello"));
  if (!name) return -1;
  return add_public(module, all.get(), "_numpy_smoke",
                    PyCFunction_NewEx(&kNumpySmoke, nullptr, name.get()));
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // The exception registry and record types are process-wide.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_murello", "", 0, nullptr, kSlots,
                       nullptr, nullptr, nullptr};

}  // namespace
}  // namespace murello::py

PyMODINIT_FUNC PyInit__murello() { return PyModuleDef_Init(&murello::py::kModule); }
