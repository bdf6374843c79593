#include "sources/file.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "sources/decode_error.hpp"
#include "chain/denoise.hpp"
#include "sources/file_io.hpp"
#include "audiofile/aiff/writer.hpp"
#include "audiofile/container.hpp"
#include "audiofile/flac_encoder/encoder.hpp"
#include "audiofile/wav/writer.hpp"

namespace murello {
namespace {

constexpr uint8_t kSavedBits = 16;

bool rate_in_range(uint32_t rate_hz) {
  return rate_hz >= kMinSampleRateHz && rate_hz <= kMaxSampleRateHz;
}

// Files have no echo canceller; the denoiser is the only stage built from outside.
StageFactories file_stage_factories() {
  StageFactories factories;
  factories.denoiser = [](const ConditioningConfig& config, uint16_t channels,
                          uint32_t) -> Result<std::unique_ptr<Stage>, CoreError> {
    auto stage = DenoiserStage::create(*config.denoise_model_path, config.ort_library_path,
                                       channels);
    if (!stage) return std::move(stage).error();
    return std::unique_ptr<Stage>(std::move(stage).value());
  };
  return factories;
}

Result<size_t, DecodeError> encode(Container container, uint32_t rate_hz, uint16_t channels,
                                   uint8_t compression, std::span<const float> samples,
                                   std::vector<uint8_t>& out) {
  switch (container) {
    case Container::Wav:
      return write_wav({rate_hz, channels, WavSampleFormat::Pcm16, false, false}, samples, out);
    case Container::Aiff:
      // AIFF stores the channel count as a signed 16-bit field.
      if (channels > std::numeric_limits<int16_t>::max()) {
        return DecodeError::unsupported_channel_count(channels);
      }
      return write_aiff({rate_hz, static_cast<int16_t>(channels), AiffSampleFormat::Signed16Be},
                        samples, out);
    case Container::Flac:
      return encode_flac({rate_hz, channels, kSavedBits, compression}, samples, out);
  }
  return DecodeError::unsupported_codec(ContainerName::codec_text("unknown container"));
}

}  // namespace

FileSource::FileSource(std::vector<float> samples, uint32_t input_rate_hz,
                       uint16_t input_channels, const SourceConfig& config,
                       std::optional<Chain> chain, ReadDetector detector)
    : samples_(std::move(samples)),
      input_rate_hz_(input_rate_hz),
      input_channels_(input_channels),
      sample_rate_hz_(config.sample_rate),
      channel_map_(config.channel_map),
      detector_config_(detector_config(config)),
      chain_(std::move(chain)),
      detector_(std::move(detector)) {}

Result<std::unique_ptr<FileSource>, CoreError> FileSource::open(const std::filesystem::path& path,
                                                                const SourceConfig& config) {
  auto bytes = read_whole_file(path);
  if (!bytes) return std::move(bytes).error();
  auto decoded = decode_audio(*bytes);
  if (!decoded) return core_error_from(decoded.error());
  std::vector<uint8_t>().swap(*bytes);  // only the samples stay for the source's life
  if (!rate_in_range(decoded->sample_rate_hz)) return CoreError(ErrorKind::SampleRateOutOfRange);
  return build(std::move(decoded->samples), decoded->sample_rate_hz, decoded->channels, config);
}

Result<std::unique_ptr<FileSource>, CoreError> FileSource::buffer(std::vector<float> samples,
                                                                  uint32_t input_rate_hz,
                                                                  uint16_t input_channels,
                                                                  const SourceConfig& config) {
  if (!rate_in_range(input_rate_hz)) return CoreError(ErrorKind::SampleRateOutOfRange);
  if (input_channels == 0) return CoreError(ErrorKind::ChannelsOutOfRange);
  if (input_channels > 1 && samples.size() % input_channels != 0) {
    return CoreError(ErrorKind::BlockSizeNotFrameAligned, samples.size(), input_channels);
  }
  return build(std::move(samples), input_rate_hz, input_channels, config);
}

Result<std::unique_ptr<FileSource>, CoreError> FileSource::build(std::vector<float> samples,
                                                                 uint32_t input_rate_hz,
                                                                 uint16_t input_channels,
                                                                 const SourceConfig& config) {
  if (auto checked = check_file_source(config, input_channels); !checked) {
    return std::move(checked).error();
  }
  ConditioningConfig conditioning = conditioning_config(config);
  conditioning.echo.reset();
  const ChainFormat format{input_channels, config.channels, input_rate_hz, config.sample_rate};
  auto chain = Chain::create(format, conditioning, file_stage_factories());
  if (!chain) return std::move(chain).error();
  auto detector = ReadDetector::create(detector_config(config));
  if (!detector) return std::move(detector).error();
  return std::unique_ptr<FileSource>(new FileSource(std::move(samples), input_rate_hz,
                                                    input_channels, config,
                                                    std::move(chain).value(),
                                                    std::move(detector).value()));
}

std::span<const float> FileSource::next_block() {
  const size_t take = std::min(kPumpFrames * input_channels_, samples_.size() - position_);
  const auto block = std::span<const float>(samples_).subspan(position_, take);
  position_ += take;
  return block;
}

Result<FileSource::Step, CoreError> FileSource::step(std::optional<Chain>& chain,
                                                     std::vector<float>& out) {
  if (position_ < samples_.size()) {
    const std::span<const float> block = next_block();
    if (!chain) {
      out.insert(out.end(), block.begin(), block.end());
      return Step{block, false};
    }
    auto processed = chain->process(block);
    if (!processed) return std::move(processed).error();
    out.insert(out.end(), processed->begin(), processed->end());
    return Step{chain->has_detector_signal() ? chain->detector_signal() : *processed, false};
  }
  if (!chain) return Step{{}, true};
  const size_t before = out.size();
  if (auto flushed = chain->flush(out); !flushed) return std::move(flushed).error();
  const auto tail = std::span<const float>(out).subspan(before);
  return Step{chain->has_detector_signal() ? chain->detector_signal() : tail, true};
}

uint16_t FileSource::delivered_channels() const {
  return chain_ ? chain_->output_channels() : input_channels_;
}

Result<std::optional<FileChunk>, CoreError> FileSource::read() {
  started_ = true;
  if (finished_) return std::optional<FileChunk>();
  FileChunk chunk{{}, delivered_channels()};
  auto stepped = step(chain_, chunk.samples);
  if (!stepped) return std::move(stepped).error();
  finished_ = stepped->ended;
  if (auto scored = detector_.score(stepped->detector, chunk.channels, stepped->ended); !scored) {
    return std::move(scored).error();
  }
  if (chunk.samples.empty()) return std::optional<FileChunk>();
  return std::optional<FileChunk>(std::move(chunk));
}

bool FileSource::can_analyze() const { return detector_config_.kind == DetectorKind::Model; }

Result<AnalysisResult, CoreError> FileSource::analyze() {
  if (started_) return CoreError(ErrorKind::FileEngaged);
  if (!can_analyze()) return CoreError(ErrorKind::VadNotConfigured);
  started_ = true;
  auto analyzer = Analyzer::create(detector_config_);
  if (!analyzer) return std::move(analyzer).error();
  // The detector hears the signal before conditioning, so only the structural stages
  // (channel selection, resampling) run; a fresh chain keeps them apart.
  ConditioningConfig structural;
  structural.channel_map = channel_map_;
  const ChainFormat format{input_channels_, delivered_channels(), input_rate_hz_,
                           sample_rate_hz_};
  auto chain = Chain::create(format, structural);
  if (!chain) return std::move(chain).error();
  const uint16_t channels = chain->has_value() ? (*chain)->output_channels() : input_channels_;
  std::vector<float> scratch;
  for (bool ended = false; !ended;) {
    scratch.clear();
    auto stepped = step(*chain, scratch);
    if (!stepped) return std::move(stepped).error();
    if (auto added = analyzer->add(stepped->detector, channels); !added) {
      return std::move(added).error();
    }
    ended = stepped->ended;
  }
  finished_ = true;
  return analyzer->finish();
}

size_t FileSource::delivered_samples_hint() const {
  const uint64_t frames = samples_.size() / input_channels_;
  const uint64_t delivered = frames * sample_rate_hz_ / input_rate_hz_ + kPumpFrames;
  return static_cast<size_t>(delivered * delivered_channels());
}

Result<std::vector<float>, CoreError> FileSource::pump_all() {
  std::vector<float> out;
  out.reserve(delivered_samples_hint());
  for (bool ended = false; !ended;) {
    auto stepped = step(chain_, out);
    if (!stepped) return std::move(stepped).error();
    ended = stepped->ended;
  }
  finished_ = true;
  return out;
}

Result<void, CoreError> FileSource::check_save(Container container, uint8_t compression) const {
  if (compression > kMaxFlacCompression) return CoreError(ErrorKind::FlacCompressionOutOfRange);
  // The writers check their request before they look at samples: an empty recording
  // costs only a header.
  std::vector<uint8_t> probe;
  auto encoded = encode(container, sample_rate_hz_, delivered_channels(), compression, {}, probe);
  if (!encoded) return core_error_from(encoded.error());
  return {};
}

Result<SaveCounts, CoreError> FileSource::save(const std::filesystem::path& path,
                                               Container container, uint8_t compression) {
  if (started_) return CoreError(ErrorKind::FileEngaged);
  if (auto checked = check_save(container, compression); !checked) {
    return std::move(checked).error();
  }
  started_ = true;
  auto delivered = pump_all();
  if (!delivered) return std::move(delivered).error();
  std::vector<float>().swap(samples_);  // the recording is spent; keep the peak lower
  position_ = 0;
  const SaveCounts counts = sanitise(*delivered);
  std::vector<uint8_t> bytes;
  auto encoded = encode(container, sample_rate_hz_, delivered_channels(), compression,
                        *delivered, bytes);
  if (!encoded) return core_error_from(encoded.error());
  std::vector<float>().swap(*delivered);
  if (auto written = write_whole_file(path, bytes); !written) return std::move(written).error();
  return counts;
}

}  // namespace murello
