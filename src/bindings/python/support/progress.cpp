#include "bindings/python/support/progress.hpp"

#include <new>

#include "bindings/python/support/entry.hpp"
#include "bindings/python/support/pyref.hpp"
#include "bindings/python/support/types.hpp"

namespace murello::py {
namespace {

struct ProgressObject {
  PyObject_HEAD
  WorkProgress progress;
};

PyTypeObject* g_progress_type = nullptr;

WorkProgress& progress_of(PyObject* self) {
  return reinterpret_cast<ProgressObject*>(self)->progress;
}

PyObject* progress_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "_Progress() takes no arguments");
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&progress_of(self)) WorkProgress();
  return self;
}

void progress_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  progress_of(self).~WorkProgress();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* progress_stop(PyObject* self, PyObject*) {
  progress_of(self).stop.store(true, std::memory_order_relaxed);
  Py_RETURN_NONE;
}

PyObject* get_frames(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(progress_of(self).frames.load(std::memory_order_relaxed));
}

PyMethodDef kMethods[] = {
    {"stop", entry<progress_stop>, METH_NOARGS,
     PyDoc_STR("stop($self)\n--\n\nAsk the call to end after the step in hand.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetset[] = {
    {"frames", entry<get_frames>, nullptr,
     PyDoc_STR("Delivered frames processed so far."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(entry<progress_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(progress_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetset},
    {Py_tp_doc, const_cast<char*>("_Progress()\n--\n\nHow far a long call has come.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"murello._murello._Progress", sizeof(ProgressObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

}  // namespace

int add_progress_type(PyObject* module) {
  PyRef type(create_cached_type(module, &kSpec, &g_progress_type));
  if (!type) return -1;
  return PyModule_AddObjectRef(module, "_Progress", type.get());
}

int to_progress(PyObject* value, WorkProgress** out) {
  if (value == Py_None) {
    *out = nullptr;
    return 0;
  }
  if (!PyObject_TypeCheck(value, g_progress_type)) {
    PyErr_SetString(PyExc_TypeError, "progress must be a _Progress or None");
    return -1;
  }
  *out = &progress_of(value);
  return 0;
}

}  // namespace murello::py
