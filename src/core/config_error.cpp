#include "core/config_error.hpp"

namespace murello {

std::string ConfigError::message() const {
  if (const CoreError* error = core_error()) return error->message();
  return std::get<std::string>(error_);
}

}  // namespace murello
