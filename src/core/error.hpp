// CoreError: the one error value of the core.
//
// A CoreError is a kind (see error_kinds.hpp) plus the values of the fields its message
// template names, already rendered as text, in template order. Paths are kept as their
// UTF-8 text with invalid sequences replaced by U+FFFD, which is how messages and the
// Python binding show them.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error_kinds.hpp"

namespace murello {

#define MURELLO_KIND_ENUM(name, base, arguments, message) name,
#define MURELLO_CLASS_SKIP(name, base)
enum class ErrorKind : uint8_t { MURELLO_ERROR_TABLE(MURELLO_KIND_ENUM, MURELLO_CLASS_SKIP) };
#undef MURELLO_KIND_ENUM

#define MURELLO_KIND_COUNT(name, base, arguments, message) +1
inline constexpr size_t kErrorKindCount = 0 MURELLO_ERROR_TABLE(MURELLO_KIND_COUNT,
                                                                MURELLO_CLASS_SKIP);
#undef MURELLO_KIND_COUNT
#undef MURELLO_CLASS_SKIP

// What a kind's exception is called with: its message, then its first one or two fields.
enum class ErrorArguments : uint8_t { Message, MessagePath, MessagePathReason };

// One class of murello.exceptions as the binding's registry knows it: a kind's class or
// a base class that is no kind.
struct ErrorClass {
  std::string_view name;
  std::string_view base;  // the Python base class, e.g. "MurelloError" or "OrtError"
};

// The kind's name, e.g. "ChannelsOutOfRange": also the Python exception class name.
std::string_view error_kind_name(ErrorKind kind);
// The kind's message template with its {field} placeholders.
std::string_view error_kind_template(ErrorKind kind);
ErrorArguments error_kind_arguments(ErrorKind kind);
// Every class of the table, kinds and bases alike, in registry order.
std::span<const ErrorClass> error_classes();

// A path as UTF-8 text, invalid byte sequences replaced by U+FFFD.
std::string path_text(const std::filesystem::path& path);
// Bytes as UTF-8 text, each maximal invalid subsequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);
// An operating-system error: "<strerror text> (os error N)".
std::string os_error_text(int errno_value);

class CoreError {
 public:
  template <class... Fields>
  explicit CoreError(ErrorKind kind, const Fields&... fields) : kind_(kind) {
    fields_.reserve(sizeof...(Fields));
    (fields_.push_back(field_text(fields)), ...);
  }

  ErrorKind kind() const { return kind_; }
  std::string_view name() const { return error_kind_name(kind_); }
  // Field values in template order.
  const std::vector<std::string>& fields() const { return fields_; }
  // The template with every placeholder replaced by its field.
  std::string message() const;

 private:
  static std::string field_text(std::string_view text) { return std::string(text); }
  static std::string field_text(const std::string& text) { return text; }
  static std::string field_text(const char* text) { return text; }
  static std::string field_text(const std::filesystem::path& path) { return path_text(path); }
  template <std::integral T>
  static std::string field_text(T value) {
    return std::to_string(value);
  }

  ErrorKind kind_;
  std::vector<std::string> fields_;
};

}  // namespace murello
