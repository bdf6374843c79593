// The configuration of one audio source and the checks it must pass.
//
// Conventions: rates are whole hz, levels are dBFS, durations are milliseconds (`_ms`),
// channel counts and indices are unsigned 16-bit. Field names are the Python keyword
// names. In-class defaults are those of files and buffers; a capture source gets every
// value from the MicrophoneBridge keywords (its `vad_holdoff` defaults to 0 there).
//
// Validation never clamps: each check function runs its checks in a fixed order and
// reports the first failure. The order across functions is the caller's:
//   capture: check_format, (NumPy import, device), check_capture_options, (model
//            detector); at start: check_capture_options again, check_capture_channels;
//   files and buffers: check_format, (NumPy import), check_file_options; once the
//            source is read: check_file_source, then the chain is built.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/config_error.hpp"
#include "core/error.hpp"
#include "core/sample.hpp"
#include "util/result.hpp"

namespace murello {

class EchoReferenceQueue;  // the far-end queue that push_aec_reference fills

inline constexpr uint32_t kMinSampleRateHz = 1000;
inline constexpr uint32_t kMaxSampleRateHz = 384000;

// As the caller gave it; nothing here has been checked.
struct SourceConfig {
  uint32_t sample_rate = 16000;    // delivered rate, 1000 ... 384000
  uint16_t channels = 1;           // delivered channels, >= 1
  uint32_t frames_per_buffer = 0;  // capture block size, 64 ... 65536; unused for files
  std::string format = "int16";    // "int16" or "float32"
  bool vad = false;
  std::string vad_mode = "silero";  // "silero", "energy"; any other text: no detector
  float vad_threshold = 0.5f;       // 0.0 ... 1.0
  uint32_t vad_holdoff = 300;       // ms
  std::optional<std::filesystem::path> model_path;  // required for the silero detector
  std::optional<std::filesystem::path> ort_library_path;
  std::optional<std::string> denoise;                       // "fastenhancer-t"
  std::optional<std::filesystem::path> denoise_model_path;  // required with denoise
  std::optional<int64_t> highpass;                          // cut-off: 80 or 100 hz
  std::optional<int8_t> agc;                                // target, -40 ... -3 dBFS
  std::optional<float> limiter;                             // ceiling, -3.0 ... 0.0 dBFS
  bool dc_removal = false;
  // Echo cancellation, capture only; the other aec_* values are ignored without `aec`.
  std::optional<std::string> aec;                      // "tau"
  std::optional<uint16_t> aec_tail_ms;                 // 16 ... 500, 200 when absent
  std::optional<std::string> aec_suppression;          // "conservative" or "off"
  std::optional<uint32_t> aec_reference_sample_rate;   // hz, the delivered rate when absent
  std::optional<uint16_t> aec_reference_channels;      // >= 1, 1 when absent
  std::optional<std::vector<uint16_t>> channel_map;    // source channel per delivered one
  std::optional<uint16_t> detector_source;             // delivered channel the detector hears
};

enum class HighpassCutoff : uint8_t { None, Hz80, Hz100 };
enum class EchoSuppression : uint8_t { Unset, Conservative, Off };  // Unset means Conservative

struct EchoConfig {
  std::optional<uint16_t> tail_ms;  // absent means 200
  EchoSuppression suppression = EchoSuppression::Unset;
  uint32_t reference_rate_hz = 0;
  std::shared_ptr<EchoReferenceQueue> reference;
};

// The part of a checked configuration that the stage chain consumes.
struct ConditioningConfig {
  std::optional<float> limiter_db;
  std::optional<EchoConfig> echo;
  std::optional<std::vector<uint16_t>> channel_map;
  std::optional<std::filesystem::path> denoise_model_path;  // present: denoiser stage
  std::optional<std::filesystem::path> ort_library_path;
  std::optional<int8_t> agc_db;
  bool dc_removal = false;
  HighpassCutoff highpass = HighpassCutoff::None;
};

enum class DetectorKind : uint8_t { None, Energy, Model };

// The part of a checked configuration that the voice-activity detector consumes.
struct DetectorConfig {
  DetectorKind kind = DetectorKind::None;
  std::filesystem::path model_path;  // Model only
  std::optional<std::filesystem::path> ort_library_path;
  uint32_t delivered_rate_hz = 0;  // the rate of the signal the detector hears
  float threshold = 0.5f;
  uint32_t holdoff_ms = 0;
  std::optional<uint16_t> detector_source;
};

// "int16" or "float32"; anything else is nullopt.
std::optional<SampleFormat> parse_sample_format(std::string_view text);

// Detection asked for (`vad` true) with a mode that selects no detector: not refused,
// but worth a warning, since a misspelt mode silently turns detection off.
bool vad_mode_selects_nothing(const SourceConfig& config);

// `format` must name a sample format: InvalidFormat.
[[nodiscard]] Result<void, ConfigError> check_format(const SourceConfig& config);

// Denoiser, high-pass and echo options, then the numeric checks (rate, channels,
// detector source, frames per buffer, agc, limiter, echo rates and channels), then the
// silero model path.
[[nodiscard]] Result<void, ConfigError> check_capture_options(const SourceConfig& config);

// Denoiser and high-pass options, then the silero model path.
[[nodiscard]] Result<void, ConfigError> check_file_options(const SourceConfig& config);

// The checks that need the source's channel count: rate, channels, detector source, agc,
// limiter, silero threshold, then channel selection against `source_channels`.
[[nodiscard]] Result<void, CoreError> check_file_source(const SourceConfig& config,
                                                        uint16_t source_channels);

// Channel selection against the capture device's channel count, at start.
[[nodiscard]] Result<void, CoreError> check_capture_channels(const SourceConfig& config,
                                                             uint16_t device_channels);

// The chain's part of a checked configuration; `reference` is the far-end queue the
// echo-cancellation stage drains (ignored without `aec`).
ConditioningConfig conditioning_config(const SourceConfig& config,
                                       std::shared_ptr<EchoReferenceQueue> reference = nullptr);

// The detector's part of a checked configuration.
DetectorConfig detector_config(const SourceConfig& config);

}  // namespace murello
