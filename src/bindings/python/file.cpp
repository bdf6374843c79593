// FileBridge: read, condition, analyse and save audio files and buffers.
#include "bindings/python/bridges.hpp"

namespace murello::py {
namespace {

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Read, condition, analyse and save audio files and buffers.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"murello._murello.FileBridge", sizeof(PyObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                         Py_TPFLAGS_DISALLOW_INSTANTIATION,
                     kSlots};

}  // namespace

PyObject* create_file_bridge_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

}  // namespace murello::py
