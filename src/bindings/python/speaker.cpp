// SpeakerBridge: playback to a speaker. For now the class offers the device listing.
#include "bindings/python/bridges.hpp"
#include "bindings/python/records.hpp"

namespace murello::py {
namespace {

PyObject* speaker_devices(PyObject*, PyObject*) { return device_list(Direction::Playback); }

PyMethodDef kMethods[] = {
    {"devices", speaker_devices, METH_NOARGS | METH_STATIC,
     PyDoc_STR("devices()\n--\n\nThe playback devices as a list of SpeakerInfo.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("Playback to a speaker from a queue of blocks.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"murello._murello.SpeakerBridge", sizeof(PyObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                         Py_TPFLAGS_DISALLOW_INSTANTIATION,
                     kSlots};

}  // namespace

PyObject* create_speaker_bridge_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

}  // namespace murello::py
