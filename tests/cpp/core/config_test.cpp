#include "core/config.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

namespace murello {
namespace {

// What a check reported: "ok", a kind's name, or "ValueError: <text>".
std::string outcome(const Result<void, ConfigError>& result) {
  if (result) return "ok";
  const ConfigError& error = result.error();
  if (error.is_value_error()) return "ValueError: " + error.message();
  return std::string(error.core_error()->name());
}

std::string outcome(const Result<void, CoreError>& result) {
  return result ? "ok" : std::string(result.error().name());
}

SourceConfig capture_config() {
  SourceConfig config;
  config.sample_rate = 16000;
  config.channels = 1;
  config.frames_per_buffer = 512;
  config.format = "float32";
  config.vad_holdoff = 0;
  return config;
}

struct Case {
  const char* name;
  std::function<void(SourceConfig&)> change;
  std::string expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class CaptureOptions : public testing::TestWithParam<Case> {};

TEST_P(CaptureOptions, ReportsTheFirstFailingCheck) {
  SourceConfig config = capture_config();
  GetParam().change(config);
  EXPECT_EQ(outcome(check_capture_options(config)), GetParam().expected);
}

const Case kCaptureCases[] = {
    {"defaults", [](SourceConfig&) {}, "ok"},
    {"rate_999", [](SourceConfig& c) { c.sample_rate = 999; }, "SampleRateOutOfRange"},
    {"rate_384001", [](SourceConfig& c) { c.sample_rate = 384001; }, "SampleRateOutOfRange"},
    {"rate_1000", [](SourceConfig& c) { c.sample_rate = 1000; }, "ok"},
    {"rate_384000", [](SourceConfig& c) { c.sample_rate = 384000; }, "ok"},
    {"channels_0", [](SourceConfig& c) { c.channels = 0; }, "ChannelsOutOfRange"},
    {"detector_source_equals_channels",
     [](SourceConfig& c) { c.channels = 2; c.detector_source = 2; }, "DetectorSourceOutOfRange"},
    {"detector_source_last", [](SourceConfig& c) { c.channels = 2; c.detector_source = 1; }, "ok"},
    {"frames_63", [](SourceConfig& c) { c.frames_per_buffer = 63; }, "FramesPerBufferOutOfRange"},
    {"frames_65537", [](SourceConfig& c) { c.frames_per_buffer = 65537; },
     "FramesPerBufferOutOfRange"},
    {"frames_64", [](SourceConfig& c) { c.frames_per_buffer = 64; }, "ok"},
    {"frames_65536", [](SourceConfig& c) { c.frames_per_buffer = 65536; }, "ok"},
    {"agc_-41", [](SourceConfig& c) { c.agc = -41; }, "AgcTargetOutOfRange"},
    {"agc_-2", [](SourceConfig& c) { c.agc = -2; }, "AgcTargetOutOfRange"},
    {"agc_-40", [](SourceConfig& c) { c.agc = -40; }, "ok"},
    {"agc_-3", [](SourceConfig& c) { c.agc = -3; }, "ok"},
    {"limiter_0.1", [](SourceConfig& c) { c.limiter = 0.1f; }, "LimiterCeilingOutOfRange"},
    {"limiter_-3.01", [](SourceConfig& c) { c.limiter = -3.01f; }, "LimiterCeilingOutOfRange"},
    {"limiter_nan", [](SourceConfig& c) { c.limiter = std::nanf(""); },
     "LimiterCeilingOutOfRange"},
    {"limiter_0", [](SourceConfig& c) { c.limiter = 0.0f; }, "ok"},
    {"limiter_-3", [](SourceConfig& c) { c.limiter = -3.0f; }, "ok"},
    {"highpass_90", [](SourceConfig& c) { c.highpass = 90; },
     "ValueError: highpass must be one of: 80, 100; got 90"},
    {"highpass_80", [](SourceConfig& c) { c.highpass = 80; }, "ok"},
    {"denoise_unknown", [](SourceConfig& c) { c.denoise = "rnnoise"; },
     "ValueError: denoise must be 'fastenhancer-t', got 'rnnoise'"},
    {"denoise_without_model", [](SourceConfig& c) { c.denoise = "fastenhancer-t"; },
     "ValueError: denoise_model_path is required when denoise is set"},
    {"silero_without_model", [](SourceConfig& c) { c.vad = true; },
     "ValueError: model_path is required when vad=True and vad_mode='silero'"},
    {"energy_without_model", [](SourceConfig& c) { c.vad = true; c.vad_mode = "energy"; }, "ok"},
    {"aec_at_44100", [](SourceConfig& c) { c.aec = "tau"; c.sample_rate = 44100; }, "ok"},
    {"aec_at_96000", [](SourceConfig& c) { c.aec = "tau"; c.sample_rate = 96000; },
     "AecSampleRateUnsupported"},
    {"aec_unknown_model", [](SourceConfig& c) { c.aec = "speex"; }, "AecConfigInvalid"},
    {"tail_15_without_aec", [](SourceConfig& c) { c.aec_tail_ms = 15; }, "ok"},
    {"tail_15", [](SourceConfig& c) { c.aec = "tau"; c.aec_tail_ms = 15; }, "AecConfigInvalid"},
    {"tail_16", [](SourceConfig& c) { c.aec = "tau"; c.aec_tail_ms = 16; }, "ok"},
    {"tail_500", [](SourceConfig& c) { c.aec = "tau"; c.aec_tail_ms = 500; }, "ok"},
    {"tail_501", [](SourceConfig& c) { c.aec = "tau"; c.aec_tail_ms = 501; }, "AecConfigInvalid"},
    {"suppression_unknown", [](SourceConfig& c) { c.aec = "tau"; c.aec_suppression = "max"; },
     "ValueError: aec suppression must be 'conservative' or 'off'; got 'max'"},
    {"reference_rate_999",
     [](SourceConfig& c) { c.aec = "tau"; c.aec_reference_sample_rate = 999; },
     "SampleRateOutOfRange"},
    {"reference_channels_0", [](SourceConfig& c) { c.aec = "tau"; c.aec_reference_channels = 0; },
     "AecConfigInvalid"},
    // Several faults at once: the earliest check wins.
    {"rate_before_channels", [](SourceConfig& c) { c.sample_rate = 5; c.channels = 0; },
     "SampleRateOutOfRange"},
    {"denoise_before_highpass", [](SourceConfig& c) { c.denoise = "x"; c.highpass = 90; },
     "ValueError: denoise must be 'fastenhancer-t', got 'x'"},
    {"highpass_before_aec", [](SourceConfig& c) { c.highpass = 90; c.aec = "x"; },
     "ValueError: highpass must be one of: 80, 100; got 90"},
    {"aec_options_before_numbers", [](SourceConfig& c) { c.aec = "x"; c.sample_rate = 5; },
     "AecConfigInvalid"},
    {"frames_before_agc", [](SourceConfig& c) { c.frames_per_buffer = 1; c.agc = 0; },
     "FramesPerBufferOutOfRange"},
    {"agc_before_limiter", [](SourceConfig& c) { c.agc = 0; c.limiter = 1.0f; },
     "AgcTargetOutOfRange"},
    {"limiter_before_aec_rate",
     [](SourceConfig& c) { c.limiter = 1.0f; c.aec = "tau"; c.sample_rate = 96000; },
     "LimiterCeilingOutOfRange"},
    {"numbers_before_model_path", [](SourceConfig& c) { c.vad = true; c.channels = 0; },
     "ChannelsOutOfRange"},
};
INSTANTIATE_TEST_SUITE_P(Config, CaptureOptions, testing::ValuesIn(kCaptureCases),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

TEST(Config, EchoMessagesCarryTheirDetail) {
  SourceConfig config = capture_config();
  config.aec = "speex";
  EXPECT_EQ(check_capture_options(config).error().message(),
            "echo canceller configuration error: model must be one of: 'tau'; got 'speex'");
  config.aec = "tau";
  config.aec_tail_ms = 15;
  EXPECT_EQ(check_capture_options(config).error().message(),
            "echo canceller configuration error: filter tail must be between 16 and 500 "
            "milliseconds");
  config.aec_tail_ms.reset();
  config.aec_reference_channels = 0;
  EXPECT_EQ(check_capture_options(config).error().message(),
            "echo canceller configuration error: the reference channel count must be at least 1");
}

TEST(Config, FormatMustNameASampleType) {
  SourceConfig config;
  for (const char* ok : {"int16", "float32"}) {
    config.format = ok;
    EXPECT_EQ(outcome(check_format(config)), "ok") << ok;
  }
  for (const char* bad : {"", "Int16", "float64", "int16 "}) {
    config.format = bad;
    EXPECT_EQ(outcome(check_format(config)), "InvalidFormat") << bad;
  }
}

TEST(Config, FileOptionsCheckTextsThenModelPath) {
  SourceConfig config;
  EXPECT_EQ(outcome(check_file_options(config)), "ok");
  config.vad = true;
  config.highpass = 100;
  EXPECT_EQ(outcome(check_file_options(config)),
            "ValueError: model_path is required when vad=True and vad_mode='silero'");
  config.highpass = -1;
  EXPECT_EQ(outcome(check_file_options(config)),
            "ValueError: highpass must be one of: 80, 100; got -1");
  config.denoise = "fastenhancer-t";
  EXPECT_EQ(outcome(check_file_options(config)),
            "ValueError: denoise_model_path is required when denoise is set");
  // Files have no echo canceller and no block size: those options are not looked at.
  config = SourceConfig();
  config.aec = "bogus";
  config.frames_per_buffer = 0;
  EXPECT_EQ(outcome(check_file_options(config)), "ok");
}

struct FileCase {
  const char* name;
  std::function<void(SourceConfig&)> change;
  uint16_t source_channels;
  std::string expected;
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

class FileSource : public testing::TestWithParam<FileCase> {};

TEST_P(FileSource, ReportsTheFirstFailingCheck) {
  SourceConfig config;
  GetParam().change(config);
  EXPECT_EQ(outcome(check_file_source(config, GetParam().source_channels)), GetParam().expected);
}

const FileCase kFileCases[] = {
    {"mono_file", [](SourceConfig&) {}, 1, "ok"},
    {"stereo_to_stereo", [](SourceConfig& c) { c.channels = 2; }, 2, "ok"},
    {"stereo_to_mono", [](SourceConfig&) {}, 2, "ok"},
    {"four_to_two_without_map", [](SourceConfig& c) { c.channels = 2; }, 4,
     "FileChannelSelectionAmbiguous"},
    {"mono_to_stereo_without_map", [](SourceConfig& c) { c.channels = 2; }, 1,
     "FileChannelsUnsupported"},
    {"map_duplicates_mono", [](SourceConfig& c) { c.channels = 2; c.channel_map = {{0, 0}}; }, 1,
     "ok"},
    {"map_0_5_on_four", [](SourceConfig& c) { c.channels = 2; c.channel_map = {{0, 5}}; }, 4,
     "FileChannelMapOutOfRange"},
    {"map_too_long", [](SourceConfig& c) { c.channel_map = {{0, 1}}; }, 4,
     "ChannelMapLengthMismatch"},
    {"rate_999", [](SourceConfig& c) { c.sample_rate = 999; }, 1, "SampleRateOutOfRange"},
    {"channels_0", [](SourceConfig& c) { c.channels = 0; }, 1, "ChannelsOutOfRange"},
    {"detector_source_1_of_1", [](SourceConfig& c) { c.detector_source = 1; }, 1,
     "DetectorSourceOutOfRange"},
    {"threshold_1.5_silero",
     [](SourceConfig& c) { c.vad = true; c.model_path = "m"; c.vad_threshold = 1.5f; }, 1,
     "VadThresholdOutOfRange"},
    {"threshold_nan_silero",
     [](SourceConfig& c) { c.vad = true; c.model_path = "m"; c.vad_threshold = std::nanf(""); },
     1, "VadThresholdOutOfRange"},
    {"threshold_ignored_for_energy",
     [](SourceConfig& c) { c.vad = true; c.vad_mode = "energy"; c.vad_threshold = 7.0f; }, 1,
     "ok"},
    {"frames_per_buffer_not_checked", [](SourceConfig& c) { c.frames_per_buffer = 1; }, 1, "ok"},
    // Several faults at once.
    {"rate_before_channels", [](SourceConfig& c) { c.sample_rate = 0; c.channels = 0; }, 1,
     "SampleRateOutOfRange"},
    {"detector_source_before_agc",
     [](SourceConfig& c) { c.detector_source = 3; c.agc = 10; }, 1, "DetectorSourceOutOfRange"},
    {"agc_before_limiter", [](SourceConfig& c) { c.agc = 10; c.limiter = 2.0f; }, 1,
     "AgcTargetOutOfRange"},
    {"limiter_before_threshold",
     [](SourceConfig& c) { c.limiter = 2.0f; c.vad = true; c.vad_threshold = -1.0f; }, 1,
     "LimiterCeilingOutOfRange"},
    {"threshold_before_selection",
     [](SourceConfig& c) { c.vad = true; c.vad_threshold = -1.0f; c.channels = 3; }, 1,
     "VadThresholdOutOfRange"},
    {"length_before_entries", [](SourceConfig& c) { c.channel_map = {{9, 9}}; }, 2,
     "ChannelMapLengthMismatch"},
};
INSTANTIATE_TEST_SUITE_P(Config, FileSource, testing::ValuesIn(kFileCases),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

TEST(Config, SelectionErrorsNameTheirValues) {
  SourceConfig config;
  config.channels = 2;
  config.channel_map = {{0, 5}};
  EXPECT_EQ(check_file_source(config, 4).error().message(),
            "the file channel map names channel 5; the file has 4 channels");
  EXPECT_EQ(check_capture_channels(config, 4).error().message(),
            "the channel map names device channel 5; the device reports 4 input channels");
  config.channel_map = {{7, 0, 1}};
  EXPECT_EQ(check_capture_channels(config, 4).error().message(),
            "the channel map has 3 entries; it must have exactly one entry per delivered "
            "channel (2)");
  config.channel_map.reset();
  config.channels = 3;
  EXPECT_EQ(check_capture_channels(config, 2).error().message(),
            "the input device does not support 3 delivered channels; it reports 2");
  EXPECT_EQ(check_capture_channels(config, 6).error().message(),
            "a channel map is required to deliver 3 of the device's 6 input channels");
  EXPECT_EQ(check_file_source(config, 2).error().message(),
            "the file does not have 3 channels to deliver; it has 2");
  config.channels = 1;
  EXPECT_EQ(outcome(check_capture_channels(config, 6)), "ok");  // a down-mix
}

TEST(Config, ConditioningPartTakesOverTheOptions) {
  SourceConfig config = capture_config();
  config.sample_rate = 32000;
  config.highpass = 80;
  config.agc = -20;
  config.limiter = -1.0f;
  config.dc_removal = true;
  config.denoise_model_path = "ignored without denoise";
  config.aec_tail_ms = 300;  // ignored without aec
  ConditioningConfig part = conditioning_config(config);
  EXPECT_EQ(part.highpass, HighpassCutoff::Hz80);
  EXPECT_EQ(part.agc_db, -20);
  EXPECT_EQ(part.limiter_db, -1.0f);
  EXPECT_TRUE(part.dc_removal);
  EXPECT_FALSE(part.denoise_model_path);
  EXPECT_FALSE(part.echo);

  config.denoise = "fastenhancer-t";
  config.aec = "tau";
  config.aec_suppression = "off";
  part = conditioning_config(config);
  ASSERT_TRUE(part.denoise_model_path);
  ASSERT_TRUE(part.echo);
  EXPECT_EQ(part.echo->tail_ms, 300);
  EXPECT_EQ(part.echo->suppression, EchoSuppression::Off);
  EXPECT_EQ(part.echo->reference_rate_hz, 32000u);  // the delivered rate when not given
  config.aec_reference_sample_rate = 48000;
  config.aec_suppression.reset();
  part = conditioning_config(config);
  EXPECT_EQ(part.echo->reference_rate_hz, 48000u);
  EXPECT_EQ(part.echo->suppression, EchoSuppression::Unset);
}

TEST(Config, DetectorKindFollowsVadAndMode) {
  SourceConfig config;
  EXPECT_EQ(detector_config(config).kind, DetectorKind::None);
  config.vad = true;
  config.model_path = "vad.onnx";
  EXPECT_EQ(detector_config(config).kind, DetectorKind::Model);
  EXPECT_EQ(detector_config(config).model_path, "vad.onnx");
  config.vad_mode = "energy";
  EXPECT_EQ(detector_config(config).kind, DetectorKind::Energy);
  config.vad_mode = "spectral";
  EXPECT_EQ(detector_config(config).kind, DetectorKind::None);
}

}  // namespace
}  // namespace murello
