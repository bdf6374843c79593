#include "bindings/python/support/errors.hpp"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "bindings/python/support/pyref.hpp"

namespace murello::py {
namespace {

using Registry = std::unordered_map<std::string, PyObject*>;

// Published once built; the map and its strong references live for the process.
std::atomic<const Registry*> g_registry{nullptr};
std::mutex g_build_mutex;
// The thread running a build, so that an error raised from inside the import of
// murello.exceptions on that thread fails instead of waiting for itself.
std::atomic<std::thread::id> g_builder{};

PyObject* new_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

std::string type_name(PyObject* value) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return Py_TYPE(value)->tp_name;
  }
  return text;
}

// Imports murello.exceptions and collects every class; on failure a Python exception
// is set and nothing is returned.
const Registry* build_registry() {
  PyRef module(PyImport_ImportModule("murello.exceptions"));
  if (!module) return nullptr;
  auto registry = std::make_unique<Registry>();
  for (const ErrorClass& entry : error_classes()) {
    std::string key(entry.name);
    PyRef value(PyObject_GetAttrString(module.get(), key.c_str()));
    if (!value) {
      for (auto& entry : *registry) Py_DECREF(entry.second);
      return nullptr;
    }
    if (!PyType_Check(value.get())) {
      PyErr_Format(PyExc_RuntimeError,
                   "murello.exceptions.%s is not a class: '%s' object is not an instance of "
                   "'type'",
                   key.c_str(), type_name(value.get()).c_str());
      for (auto& entry : *registry) Py_DECREF(entry.second);
      return nullptr;
    }
    registry->emplace(std::move(key), value.release());
  }
  return registry.release();
}

// The registry, building it if needed. A thread that finds a build under way waits for
// it without the interpreter lock, which the building thread needs to import.
const Registry* registry() {
  if (const Registry* built = g_registry.load(std::memory_order_acquire)) return built;
  if (g_builder.load() == std::this_thread::get_id()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "murello.exceptions raised a murello error while it was being imported");
    return nullptr;
  }
  std::unique_lock<std::mutex> lock(g_build_mutex, std::defer_lock);
  {
    GilRelease released;
    lock.lock();
  }
  if (const Registry* built = g_registry.load(std::memory_order_acquire)) return built;
  g_builder.store(std::this_thread::get_id());
  const Registry* built = build_registry();
  g_builder.store(std::thread::id{});
  if (built != nullptr) g_registry.store(built, std::memory_order_release);
  return built;
}

PyObject* lookup(std::string_view name) {
  const Registry* classes = registry();
  if (classes == nullptr) return nullptr;
  auto found = classes->find(std::string(name));
  if (found == classes->end()) {
    std::string text(name);
    PyErr_Format(PyExc_RuntimeError, "internal error: exception class %s not registered",
                 text.c_str());
    return nullptr;
  }
  return found->second;
}

PyObject* raise_with(std::string_view name, PyRef args) {
  if (!args) return nullptr;
  PyObject* cls = lookup(name);
  if (cls == nullptr) return nullptr;
  PyRef instance(PyObject_CallObject(cls, args.get()));
  if (!instance) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
  return nullptr;
}

// How many fields after the message travel as extra arguments: the path (and the reason).
size_t extra_argument_count(ErrorKind kind) {
  switch (error_kind_arguments(kind)) {
    case ErrorArguments::Message:
      return 0;
    case ErrorArguments::MessagePath:
      return 1;
    case ErrorArguments::MessagePathReason:
      return 2;
  }
  return 0;
}

}  // namespace

PyObject* raise_core_error(const CoreError& error) {
  size_t extra = std::min(extra_argument_count(error.kind()), error.fields().size());
  PyRef args(PyTuple_New(static_cast<Py_ssize_t>(1 + extra)));
  if (!args) return nullptr;
  PyObject* message = new_str(error.message());
  if (message == nullptr) return nullptr;
  PyTuple_SET_ITEM(args.get(), 0, message);
  for (size_t i = 0; i < extra; ++i) {
    PyObject* field = new_str(error.fields()[i]);
    if (field == nullptr) return nullptr;
    PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(1 + i), field);
  }
  return raise_with(error.name(), std::move(args));
}

PyObject* raise_config_error(const ConfigError& error) {
  if (const CoreError* core = error.core_error()) return raise_core_error(*core);
  PyRef text(new_str(error.message()));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

PyObject* raise_by_name(std::string_view name, std::string_view message) {
  PyRef text(new_str(message));
  if (!text) return nullptr;
  return raise_with(name, PyRef(PyTuple_Pack(1, text.get())));
}

}  // namespace murello::py
