#include "bindings/python/support/entry.hpp"

#include <exception>
#include <new>
#include <stdexcept>

namespace murello::py {

PyObject* raise_native_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more than it can ever hold: an allocation that cannot be.
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown native exception");
  }
  return nullptr;
}

}  // namespace murello::py
