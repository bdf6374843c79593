#include "core/error.hpp"

#include <array>
#include <cstring>

namespace murello {
namespace {

struct KindEntry {
  std::string_view name;
  ErrorArguments arguments;
  std::string_view message;
};

#define MURELLO_KIND_ENTRY(name, base, arguments, message) \
  {#name, ErrorArguments::arguments, message},
#define MURELLO_CLASS_SKIP(name, base)
constexpr std::array<KindEntry, kErrorKindCount> kKinds{
    {MURELLO_ERROR_TABLE(MURELLO_KIND_ENTRY, MURELLO_CLASS_SKIP)}};
#undef MURELLO_KIND_ENTRY
#undef MURELLO_CLASS_SKIP

#define MURELLO_KIND_CLASS(name, base, arguments, message) {#name, #base},
#define MURELLO_BASE_CLASS(name, base) {#name, #base},
constexpr ErrorClass kClasses[] = {
    MURELLO_ERROR_TABLE(MURELLO_KIND_CLASS, MURELLO_BASE_CLASS)};
#undef MURELLO_KIND_CLASS
#undef MURELLO_BASE_CLASS

struct Utf8Scan {
  size_t length;  // bytes consumed: the whole sequence, or the maximal invalid prefix
  bool valid;
};

// Scans the sequence starting at s[i]. A valid sequence is shortest-form and encodes no
// surrogate; an invalid one is cut after its longest prefix that could still have
// started a valid sequence, so that each such prefix becomes one replacement character.
Utf8Scan scan_utf8(std::string_view s, size_t i) {
  uint8_t b0 = static_cast<uint8_t>(s[i]);
  if (b0 < 0x80) return {1, true};
  size_t n;
  uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {1, false};
  }
  for (size_t k = 1; k < n; ++k) {
    if (i + k >= s.size()) return {k, false};
    uint8_t b = static_cast<uint8_t>(s[i + k]);
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return {k, false};
  }
  return {n, true};
}

}  // namespace

std::string_view error_kind_name(ErrorKind kind) {
  return kKinds[static_cast<size_t>(kind)].name;
}

std::string_view error_kind_template(ErrorKind kind) {
  return kKinds[static_cast<size_t>(kind)].message;
}

ErrorArguments error_kind_arguments(ErrorKind kind) {
  return kKinds[static_cast<size_t>(kind)].arguments;
}

std::span<const ErrorClass> error_classes() { return kClasses; }

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    Utf8Scan scan = scan_utf8(bytes, i);
    if (scan.valid) {
      out.append(bytes.substr(i, scan.length));
    } else {
      out.append("\xEF\xBF\xBD");
    }
    i += scan.length;
  }
  return out;
}

std::string path_text(const std::filesystem::path& path) { return lossy_utf8(path.native()); }

std::string os_error_text(int errno_value) {
  char buffer[256];
  // The GNU variant returns a pointer that may or may not be the buffer.
  const char* text = strerror_r(errno_value, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(errno_value) + ")";
}

std::string CoreError::message() const {
  std::string_view tmpl = error_kind_template(kind_);
  std::string out;
  out.reserve(tmpl.size() + 32);
  size_t field = 0;
  size_t i = 0;
  while (i < tmpl.size()) {
    size_t open = tmpl.find('{', i);
    size_t close = open == std::string_view::npos ? open : tmpl.find('}', open);
    if (close == std::string_view::npos) {
      out.append(tmpl.substr(i));
      break;
    }
    out.append(tmpl.substr(i, open - i));
    if (field < fields_.size()) out.append(fields_[field]);
    ++field;
    i = close + 1;
  }
  return out;
}

}  // namespace murello
