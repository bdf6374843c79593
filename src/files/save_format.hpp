// How FileSource::save names its container and FLAC level.
//
// Conventions: formats are the exact lower-case words "wav", "aiff" and "flac"; a path's
// extension is the text after the last dot of its file name, compared after ASCII
// lower-casing. Samples are stored as 16-bit integers unless a SampleDepth says otherwise.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "core/config_error.hpp"
#include "core/error.hpp"
#include "util/result.hpp"

namespace murello {

inline constexpr uint8_t kDefaultFlacCompression = 5;
inline constexpr uint8_t kMaxFlacCompression = 8;

enum class Container : uint8_t { Wav, Aiff, Flac };

// How each sample is stored: a signed integer of `bits` bits, or an IEEE float of
// `bits` bits when `is_float`.
struct SampleDepth {
  uint8_t bits = 16;
  bool is_float = false;
};

inline constexpr SampleDepth kDefaultDepth{};

// The container `save` writes: an explicit format ("wav", "aiff", "flac", exact) or else
// the path's extension ("wav"; "aif", "aiff", "aifc"; "flac"). An unknown explicit format
// is a ValueError text; a missing or unknown extension is AudioFormatUnsupported.
Result<Container, ConfigError> choose_container(const std::optional<std::string>& format,
                                                const std::filesystem::path& path);

// The depth `save` stores in `container`: integers of 16, 24 or 32 bits, or 32-bit
// floats (`bits` absent: 16, or 32 for floats). WAV and AIFF take each of them; FLAC
// only integers of 16 or 24 bits. Refusals are ValueError texts.
Result<SampleDepth, ConfigError> choose_depth(std::optional<uint32_t> bits, bool is_float,
                                              Container container);

// The FLAC level to use: kDefaultFlacCompression when absent. Above 8 is
// FlacCompressionOutOfRange, whatever the container.
Result<uint8_t, CoreError> flac_compression(std::optional<uint8_t> level);

}  // namespace murello
