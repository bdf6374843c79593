#include "devices/lower_case.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <span>
#include <vector>

namespace murello {
namespace {

struct LowerRun {
  char32_t first;
  char32_t last;
  uint8_t stride;
  int32_t delta;
};

struct LowerExpansion {
  char32_t code_point;
  char32_t lowered[3];  // zero-padded
};

struct CodeRange {
  char32_t first;
  char32_t last;
};

#include "devices/lower_case_table.inc"

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kCapitalSigma = 0x3A3;
constexpr char32_t kSmallSigma = 0x3C3;
constexpr char32_t kFinalSigma = 0x3C2;

bool in_ranges(std::span<const CodeRange> ranges, char32_t c) {
  auto it = std::upper_bound(ranges.begin(), ranges.end(), c,
                             [](char32_t value, const CodeRange& r) { return value < r.first; });
  return it != ranges.begin() && c <= std::prev(it)->last;
}

bool is_cased(char32_t c) { return in_ranges(kCasedRanges, c); }
bool is_case_ignorable(char32_t c) { return in_ranges(kCaseIgnorableRanges, c); }

// The run whose range holds `c` (runs are sorted and do not overlap).
const LowerRun* find_run(char32_t c) {
  auto it = std::upper_bound(std::begin(kLowerRuns), std::end(kLowerRuns), c,
                             [](char32_t value, const LowerRun& r) { return value < r.first; });
  if (it == std::begin(kLowerRuns)) return nullptr;
  const LowerRun& run = *std::prev(it);
  if (c > run.last || (c - run.first) % run.stride != 0) return nullptr;
  return &run;
}

// Decodes one code point at `pos`, advancing it; malformed sequences (overlong forms,
// surrogates, values above U+10FFFF, truncations) give U+FFFD for their first byte.
char32_t decode(std::string_view text, size_t& pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    ++pos;
    return kReplacement;
  }
  if (pos + length > text.size()) {
    ++pos;
    return kReplacement;
  }
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(pos + i);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return kReplacement;
    }
    value = (value << 6) | (next & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000)) {
    ++pos;
    return kReplacement;
  }
  pos += length;
  return value;
}

void encode(char32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// A capital sigma ends a word when a cased letter comes before it and none after it,
// case-ignorable characters (apostrophes, combining marks) skipped on both sides.
bool ends_word(const std::vector<char32_t>& text, size_t at) {
  size_t before = at;
  while (before > 0 && is_case_ignorable(text[before - 1])) --before;
  if (before == 0 || !is_cased(text[before - 1])) return false;
  size_t after = at + 1;
  while (after < text.size() && is_case_ignorable(text[after])) ++after;
  return after == text.size() || !is_cased(text[after]);
}

}  // namespace

std::string lower_case(std::string_view utf8) {
  std::vector<char32_t> text;
  text.reserve(utf8.size());
  for (size_t pos = 0; pos < utf8.size();) text.push_back(decode(utf8, pos));

  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char32_t c = text[i];
    if (c == kCapitalSigma) {
      encode(ends_word(text, i) ? kFinalSigma : kSmallSigma, out);
    } else if (const LowerRun* run = find_run(c)) {
      encode(static_cast<char32_t>(static_cast<int32_t>(c) + run->delta), out);
    } else if (auto* ex = std::find_if(std::begin(kLowerExpansions), std::end(kLowerExpansions),
                                       [c](const LowerExpansion& e) { return e.code_point == c; });
               ex != std::end(kLowerExpansions)) {
      for (char32_t lowered : ex->lowered) {
        if (lowered != 0) encode(lowered, out);
      }
    } else {
      encode(c, out);
    }
  }
  return out;
}

}  // namespace murello
