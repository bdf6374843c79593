#include "bindings/python/records/selected_device.hpp"

#include <string>

#include "bindings/python/bridges/device_argument.hpp"
#include "bindings/python/support/args.hpp"
#include "bindings/python/support/entry.hpp"
#include "bindings/python/support/errors.hpp"
#include "bindings/python/support/pyref.hpp"
#include "devices/selection.hpp"

namespace murello::py {
namespace {

int to_direction(PyObject* value, Direction* out) {
  std::string text;
  if (to_string(value, &text) < 0) return -1;
  if (text == "capture" || text == "playback") {
    *out = text == "capture" ? Direction::Capture : Direction::Playback;
    return 0;
  }
  PyErr_SetString(PyExc_ValueError, "direction must be 'capture' or 'playback'");
  return -1;
}

// Device names are shown as the listing shows them, undecodable bytes replaced.
PyObject* text(const std::string& value) {
  return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
}

PyObject* selected_device(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const char* const kNames[] = {"direction", "device"};
  PyObject* values[2] = {};
  if (bind_arguments("_selected_device", kNames, 1, args, nargs, kwnames, values) < 0) {
    return nullptr;
  }
  Direction direction = Direction::Capture;
  DeviceArgument device;
  if (convert("direction", values[0], to_direction, &direction) < 0 ||
      device_argument_from_python(values[1], &device) < 0) {
    return nullptr;
  }
  auto selected = [&] {
    GilRelease released;  // lists the devices and opens the one selected for a query
    return describe_selection(device, direction);
  }();
  if (!selected) return raise_core_error(selected.error());
  PyRef index(selected->index ? PyLong_FromUnsignedLongLong(*selected->index)
                              : Py_NewRef(Py_None));
  PyRef name(text(selected->name));
  PyRef id(text(selected->id));
  if (!index || !name || !id) return nullptr;
  return Py_BuildValue("(NNNkk)", index.release(), name.release(), id.release(),
                       static_cast<unsigned long>(selected->config.channels),
                       static_cast<unsigned long>(selected->config.sample_rate_hz));
}

PyMethodDef kSelectedDevice = {
    "_selected_device",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<selected_device>)),
    METH_FASTCALL | METH_KEYWORDS,
    PyDoc_STR("_selected_device(direction, device=None)\n--\n\nThe device that a "
              "MicrophoneBridge (direction 'capture') or SpeakerBridge ('playback') given "
              "`device` would open now, as (index, name, id, channels, default_sample_rate): "
              "index is None for a default device the listing does not show; channels and "
              "rate are those of the device's default configuration, both 0 when it cannot "
              "be read. Raises the selection errors start() would.")};

}  // namespace

int add_selected_device_function(PyObject* module) {
  PyRef name(PyModule_GetNameObject(module));
  if (!name) return -1;
  PyRef function(PyCFunction_NewEx(&kSelectedDevice, module, name.get()));
  if (!function) return -1;
  return PyModule_AddObjectRef(module, "_selected_device", function.get());
}

}  // namespace murello::py
