// The three bridge classes. Each create_* function builds the class for `module` and
// returns a new reference, or nullptr with an exception set.
#pragma once

#include <Python.h>

#include <memory>

namespace murello {
class EchoLink;
}

namespace murello::py {

PyObject* create_microphone_bridge_type(PyObject* module);
PyObject* create_speaker_bridge_type(PyObject* module);
PyObject* create_file_bridge_type(PyObject* module);

// The echo link of a SpeakerBridge; null when `object` is not one (no exception set).
std::shared_ptr<EchoLink> speaker_echo_link(PyObject* object);

}  // namespace murello::py
