// ConfigError: why a source configuration was refused.
//
// Most refusals are core error kinds; a few option-text problems (an unknown denoiser,
// a high-pass cut-off other than 80 or 100, a missing model path) are plain ValueError
// texts that have no kind. The binding raises the kind's exception class or ValueError.
#pragma once

#include <string>
#include <utility>
#include <variant>

#include "core/error.hpp"

namespace murello {

class ConfigError {
 public:
  ConfigError(CoreError error) : error_(std::move(error)) {}
  static ConfigError value_error(std::string text) { return ConfigError(std::move(text)); }

  // The core error, or nullptr when this is a ValueError text.
  const CoreError* core_error() const { return std::get_if<CoreError>(&error_); }
  bool is_value_error() const { return std::holds_alternative<std::string>(error_); }
  // The exception message: the kind's rendered message or the ValueError text.
  std::string message() const;

 private:
  explicit ConfigError(std::string text) : error_(std::move(text)) {}

  std::variant<CoreError, std::string> error_;
};

}  // namespace murello
