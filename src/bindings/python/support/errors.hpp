// Raising core errors as the Python classes of murello.exceptions.
//
// The class registry is built at the first raise in the process by importing
// murello.exceptions and fetching every class of the error table (core/error_kinds.hpp),
// in table order; it is never emptied. All functions here need the interpreter
// lock, set a Python exception and return nullptr so callers can `return raise_...`.
#pragma once

#include <Python.h>

#include <string_view>

#include "core/config_error.hpp"
#include "core/error.hpp"

namespace murello::py {

// Raises the class of the error's kind with the kind's arguments.
PyObject* raise_core_error(const CoreError& error);

// Raises a refused configuration: ValueError with its text, or its kind's class.
PyObject* raise_config_error(const ConfigError& error);

// Raises the registry class `name` with `message` as its single argument.
PyObject* raise_by_name(std::string_view name, std::string_view message);

}  // namespace murello::py
