// MicrophoneBridge: capture from a microphone. For now the class offers the device
// listing and the versions.
#include "bindings/python/bridges.hpp"
#include "bindings/python/records.hpp"

namespace murello::py {
namespace {

PyObject* microphone_devices(PyObject*, PyObject*) { return device_list(Direction::Capture); }

PyMethodDef kMethods[] = {
    {"devices", microphone_devices, METH_NOARGS | METH_STATIC,
     PyDoc_STR("devices()\n--\n\nThe capture devices as a list of MicrophoneInfo.")},
    {"version", version_info, METH_NOARGS | METH_STATIC,
     PyDoc_STR("version()\n--\n\nThe versions of the core, audio backend and binding.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("Capture from a microphone, conditioned and scored.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"murello._murello.MicrophoneBridge", sizeof(PyObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                         Py_TPFLAGS_DISALLOW_INSTANTIATION,
                     kSlots};

}  // namespace

PyObject* create_microphone_bridge_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

}  // namespace murello::py
