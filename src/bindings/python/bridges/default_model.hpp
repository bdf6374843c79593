// The voice-activity model a configuration without model_path gets. The murello package
// registers the model it ships at import (_set_default_model_path); until a model is
// registered, model_path stays required for the model detector, as the configuration's
// checks demand.
#pragma once

#include <Python.h>

#include "core/config.hpp"

namespace murello::py {

// Gives `config` the registered model when it names none. Called with the interpreter
// lock held, which guards the registration.
void use_default_model(SourceConfig& config);

// Adds _set_default_model_path(path or None) to `module` (not to __all__). Returns -1
// with an exception set on failure.
int add_default_model_function(PyObject* module);

}  // namespace murello::py
