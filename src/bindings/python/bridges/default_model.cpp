#include "bindings/python/bridges/default_model.hpp"

#include <filesystem>
#include <optional>

#include "bindings/python/support/args.hpp"
#include "bindings/python/support/entry.hpp"
#include "bindings/python/support/pyref.hpp"

namespace murello::py {
namespace {

// Process-wide like the module's types; read and written under the interpreter lock.
std::optional<std::filesystem::path> g_default_model;

PyObject* set_default_model_path(PyObject*, PyObject* path) {
  if (path == Py_None) {
    g_default_model.reset();
    Py_RETURN_NONE;
  }
  std::filesystem::path converted;
  if (convert("path", path, to_path, &converted) < 0) return nullptr;
  g_default_model = std::move(converted);
  Py_RETURN_NONE;
}

PyMethodDef kSetDefaultModel = {
    "_set_default_model_path", entry<set_default_model_path>, METH_O,
    PyDoc_STR("_set_default_model_path(path, /)\n--\n\nThe voice-activity model used when "
              "model_path is not given; None makes model_path required again.")};

}  // namespace

void use_default_model(SourceConfig& config) {
  if (!config.model_path && g_default_model) config.model_path = g_default_model;
}

int add_default_model_function(PyObject* module) {
  PyRef name(PyModule_GetNameObject(module));
  if (!name) return -1;
  PyRef function(PyCFunction_NewEx(&kSetDefaultModel, module, name.get()));
  if (!function) return -1;
  return PyModule_AddObjectRef(module, "_set_default_model_path", function.get());
}

}  // namespace murello::py
