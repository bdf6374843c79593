#include "core/config.hpp"

#include <utility>

namespace murello {

namespace {

constexpr std::string_view kDenoiserModel = "fastenhancer-t";
constexpr std::string_view kEchoModel = "tau";
constexpr uint16_t kMinTailMs = 16;
constexpr uint16_t kMaxTailMs = 500;
constexpr uint32_t kMinEchoRateHz = 8000;
constexpr uint32_t kMaxEchoRateHz = 48000;
constexpr uint32_t kMinFramesPerBuffer = 64;
constexpr uint32_t kMaxFramesPerBuffer = 65536;
constexpr int8_t kMinAgcDb = -40;
constexpr int8_t kMaxAgcDb = -3;
constexpr float kMinLimiterDb = -3.0f;
constexpr float kMaxLimiterDb = 0.0f;

// The error kinds a channel-selection check reports; captures and files name them apart.
struct SelectionKinds {
  ErrorKind too_few_channels;
  ErrorKind ambiguous;
  ErrorKind map_out_of_range;
};

constexpr SelectionKinds kCaptureSelection{ErrorKind::MicrophoneChannelsUnsupported,
                                           ErrorKind::ChannelSelectionAmbiguous,
                                           ErrorKind::ChannelMapOutOfRange};
constexpr SelectionKinds kFileSelection{ErrorKind::FileChannelsUnsupported,
                                        ErrorKind::FileChannelSelectionAmbiguous,
                                        ErrorKind::FileChannelMapOutOfRange};

bool rate_in_range(uint32_t rate_hz) {
  return rate_hz >= kMinSampleRateHz && rate_hz <= kMaxSampleRateHz;
}

bool wants_model_detector(const SourceConfig& config) {
  return config.vad && config.vad_mode == "silero";
}

Result<void, ConfigError> check_denoise(const SourceConfig& config) {
  if (!config.denoise) return {};
  if (*config.denoise != kDenoiserModel) {
    return ConfigError::value_error("denoise must be 'fastenhancer-t', got '" + *config.denoise +
                                    "'");
  }
  if (!config.denoise_model_path) {
    return ConfigError::value_error("denoise_model_path is required when denoise is set");
  }
  return {};
}

Result<void, ConfigError> check_highpass(const SourceConfig& config) {
  if (config.highpass && *config.highpass != 80 && *config.highpass != 100) {
    return ConfigError::value_error("highpass must be one of: 80, 100; got " +
                                    std::to_string(*config.highpass));
  }
  return {};
}

Result<void, ConfigError> check_echo_options(const SourceConfig& config) {
  if (!config.aec) return {};
  if (*config.aec != kEchoModel) {
    std::string detail = "model must be one of: '";
    detail.append(kEchoModel).append("'; got '").append(*config.aec).append("'");
    return ConfigError(CoreError(ErrorKind::AecConfigInvalid, detail));
  }
  const uint16_t tail_ms = config.aec_tail_ms.value_or(kMinTailMs);
  if (tail_ms < kMinTailMs || tail_ms > kMaxTailMs) {
    return ConfigError(CoreError(ErrorKind::AecConfigInvalid,
                                 "filter tail must be between 16 and 500 milliseconds"));
  }
  if (config.aec_suppression && *config.aec_suppression != "conservative" &&
      *config.aec_suppression != "off") {
    return ConfigError::value_error("aec suppression must be 'conservative' or 'off'; got '" +
                                    *config.aec_suppression + "'");
  }
  return {};
}

Result<void, ConfigError> check_model_path(const SourceConfig& config) {
  if (wants_model_detector(config) && !config.model_path) {
    return ConfigError::value_error("model_path is required when vad=True and vad_mode='silero'");
  }
  return {};
}

Result<void, CoreError> check_rate_and_channels(const SourceConfig& config) {
  if (!rate_in_range(config.sample_rate)) return CoreError(ErrorKind::SampleRateOutOfRange);
  if (config.channels < 1) return CoreError(ErrorKind::ChannelsOutOfRange);
  if (config.detector_source && *config.detector_source >= config.channels) {
    return CoreError(ErrorKind::DetectorSourceOutOfRange, *config.detector_source,
                     config.channels);
  }
  return {};
}

Result<void, CoreError> check_levels(const SourceConfig& config) {
  if (config.agc && (*config.agc < kMinAgcDb || *config.agc > kMaxAgcDb)) {
    return CoreError(ErrorKind::AgcTargetOutOfRange);
  }
  // Written so that a NaN ceiling fails too.
  if (config.limiter && !(*config.limiter >= kMinLimiterDb && *config.limiter <= kMaxLimiterDb)) {
    return CoreError(ErrorKind::LimiterCeilingOutOfRange);
  }
  return {};
}

Result<void, CoreError> check_echo_numbers(const SourceConfig& config) {
  if (!config.aec) return {};
  if (config.sample_rate < kMinEchoRateHz || config.sample_rate > kMaxEchoRateHz) {
    return CoreError(ErrorKind::AecSampleRateUnsupported);
  }
  if (config.aec_reference_sample_rate && !rate_in_range(*config.aec_reference_sample_rate)) {
    return CoreError(ErrorKind::SampleRateOutOfRange);
  }
  if (config.aec_reference_channels.value_or(1) < 1) {
    return CoreError(ErrorKind::AecConfigInvalid, "the reference channel count must be at least 1");
  }
  return {};
}

Result<void, CoreError> check_numbers(const SourceConfig& config) {
  if (auto checked = check_rate_and_channels(config); !checked) return checked;
  if (config.frames_per_buffer < kMinFramesPerBuffer ||
      config.frames_per_buffer > kMaxFramesPerBuffer) {
    return CoreError(ErrorKind::FramesPerBufferOutOfRange);
  }
  if (auto checked = check_levels(config); !checked) return checked;
  return check_echo_numbers(config);
}

Result<void, CoreError> check_selection(const SourceConfig& config, uint16_t source_channels,
                                        const SelectionKinds& kinds) {
  const uint16_t delivered = config.channels;
  if (!config.channel_map) {
    if (source_channels < delivered) {
      return CoreError(kinds.too_few_channels, delivered, source_channels);
    }
    if (delivered > 1 && delivered < source_channels) {
      return CoreError(kinds.ambiguous, delivered, source_channels);
    }
    return {};
  }
  const std::vector<uint16_t>& map = *config.channel_map;
  if (map.size() != delivered) {
    return CoreError(ErrorKind::ChannelMapLengthMismatch, map.size(), delivered);
  }
  for (uint16_t entry : map) {
    if (entry >= source_channels) return CoreError(kinds.map_out_of_range, entry, source_channels);
  }
  return {};
}

EchoSuppression parse_suppression(const std::optional<std::string>& text) {
  if (!text) return EchoSuppression::Unset;
  return *text == "off" ? EchoSuppression::Off : EchoSuppression::Conservative;
}

HighpassCutoff parse_highpass(std::optional<int64_t> hz) {
  if (!hz) return HighpassCutoff::None;
  return *hz == 80 ? HighpassCutoff::Hz80 : HighpassCutoff::Hz100;
}

}  // namespace

bool vad_mode_selects_nothing(const SourceConfig& config) {
  return config.vad && config.vad_mode != "silero" && config.vad_mode != "energy";
}

std::optional<SampleFormat> parse_sample_format(std::string_view text) {
  if (text == "int16") return SampleFormat::Int16;
  if (text == "float32") return SampleFormat::Float32;
  return std::nullopt;
}

Result<void, ConfigError> check_format(const SourceConfig& config) {
  if (!parse_sample_format(config.format)) return ConfigError(CoreError(ErrorKind::InvalidFormat));
  return {};
}

Result<void, ConfigError> check_capture_options(const SourceConfig& config) {
  if (auto checked = check_denoise(config); !checked) return checked;
  if (auto checked = check_highpass(config); !checked) return checked;
  if (auto checked = check_echo_options(config); !checked) return checked;
  if (auto checked = check_numbers(config); !checked) {
    return ConfigError(std::move(checked).error());
  }
  return check_model_path(config);
}

Result<void, ConfigError> check_file_options(const SourceConfig& config) {
  if (auto checked = check_denoise(config); !checked) return checked;
  if (auto checked = check_highpass(config); !checked) return checked;
  return check_model_path(config);
}

Result<void, CoreError> check_file_source(const SourceConfig& config, uint16_t source_channels) {
  if (auto checked = check_rate_and_channels(config); !checked) return checked;
  if (auto checked = check_levels(config); !checked) return checked;
  const float threshold = config.vad_threshold;
  if (wants_model_detector(config) && !(threshold >= 0.0f && threshold <= 1.0f)) {
    return CoreError(ErrorKind::VadThresholdOutOfRange);
  }
  return check_selection(config, source_channels, kFileSelection);
}

Result<void, CoreError> check_capture_channels(const SourceConfig& config,
                                               uint16_t device_channels) {
  return check_selection(config, device_channels, kCaptureSelection);
}

ConditioningConfig conditioning_config(const SourceConfig& config,
                                       std::shared_ptr<EchoReferenceQueue> reference) {
  ConditioningConfig out;
  out.limiter_db = config.limiter;
  if (config.aec) {
    out.echo = EchoConfig{config.aec_tail_ms, parse_suppression(config.aec_suppression),
                          config.aec_reference_sample_rate.value_or(config.sample_rate),
                          std::move(reference)};
  }
  out.channel_map = config.channel_map;
  if (config.denoise) out.denoise_model_path = config.denoise_model_path;
  out.ort_library_path = config.ort_library_path;
  out.agc_db = config.agc;
  out.dc_removal = config.dc_removal;
  out.highpass = parse_highpass(config.highpass);
  return out;
}

DetectorConfig detector_config(const SourceConfig& config) {
  DetectorConfig out;
  if (config.vad && config.vad_mode == "silero") {
    out.kind = DetectorKind::Model;
    out.model_path = config.model_path.value_or(std::filesystem::path());
  } else if (config.vad && config.vad_mode == "energy") {
    out.kind = DetectorKind::Energy;
  }
  out.ort_library_path = config.ort_library_path;
  out.delivered_rate_hz = config.sample_rate;
  out.threshold = config.vad_threshold;
  out.holdoff_ms = config.vad_holdoff;
  out.detector_source = config.detector_source;
  return out;
}

}  // namespace murello
