#include "files/save_format.hpp"

#include <string>
#include <string_view>

namespace murello {
namespace {

constexpr std::string_view kFormatHint =
    "use .wav, .aiff, .aif, .aifc or .flac, or set an explicit format";

std::optional<Container> container_named(std::string_view word) {
  if (word == "wav") return Container::Wav;
  if (word == "aiff") return Container::Aiff;
  if (word == "flac") return Container::Flac;
  return std::nullopt;
}

std::optional<Container> container_for_extension(std::string_view extension) {
  if (extension == "aif" || extension == "aifc") return Container::Aiff;
  return container_named(extension);
}

// The file name's text after its last dot, ASCII lower-cased; empty when there is none.
std::string lower_extension(const std::filesystem::path& path) {
  const std::string name = path.filename().string();
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return {};
  std::string extension = name.substr(dot + 1);
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return extension;
}

}  // namespace

Result<Container, ConfigError> choose_container(const std::optional<std::string>& format,
                                                const std::filesystem::path& path) {
  if (format) {
    if (auto container = container_named(*format)) return *container;
    return ConfigError::value_error("Invalid format value: " + lossy_utf8(*format) +
                                    ". Expected 'wav', 'aiff', or 'flac'.");
  }
  const std::string extension = lower_extension(path);
  if (extension.empty()) {
    return ConfigError(CoreError(ErrorKind::AudioFormatUnsupported,
                                 "the path has no extension to name a format; " +
                                     std::string(kFormatHint)));
  }
  if (auto container = container_for_extension(extension)) return *container;
  return ConfigError(CoreError(ErrorKind::AudioFormatUnsupported,
                               "the extension '." + lossy_utf8(extension) +
                                   "' does not name a format murello writes; " +
                                   std::string(kFormatHint)));
}

Result<SampleDepth, ConfigError> choose_depth(std::optional<uint32_t> bits, bool is_float,
                                              Container container) {
  const uint32_t width = bits.value_or(is_float ? 32 : 16);
  if (width != 16 && width != 24 && width != 32) {
    return ConfigError::value_error("bits must be 16, 24 or 32, not " + std::to_string(width));
  }
  if (is_float && width != 32) {
    return ConfigError::value_error("float samples are stored in 32 bits, not " +
                                    std::to_string(width) + "; leave bits out or set 32");
  }
  if (container == Container::Flac && is_float) {
    return ConfigError::value_error(
        "FLAC stores integer samples only; write float samples to a WAV or AIFF file");
  }
  // The encoder could go to 32 bits, but many FLAC decoders stop at 24.
  if (container == Container::Flac && width == 32) {
    return ConfigError::value_error(
        "FLAC is written at 16 or 24 bits; write 32-bit samples to a WAV or AIFF file");
  }
  return SampleDepth{static_cast<uint8_t>(width), is_float};
}

Result<uint8_t, CoreError> flac_compression(std::optional<uint8_t> level) {
  if (!level) return kDefaultFlacCompression;
  if (*level > kMaxFlacCompression) return CoreError(ErrorKind::FlacCompressionOutOfRange);
  return *level;
}

}  // namespace murello
