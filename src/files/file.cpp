#include "files/file.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "files/decode_error.hpp"
#include "chain/denoise.hpp"
#include "files/file_io.hpp"
#include "audiofile/aiff/writer.hpp"
#include "audiofile/container.hpp"
#include "audiofile/flac_encoder/encoder.hpp"
#include "audiofile/wav/writer.hpp"

namespace murello {
namespace {

// Room for any container's header before the samples; the encoders grow past it if need be.
constexpr size_t kSavedHeaderBytes = 4096;

// Files have no echo canceller; the denoiser is the only stage built from outside.
StageFactories file_stage_factories() {
  StageFactories factories;
  factories.denoiser = make_denoiser_stage;
  return factories;
}

WavSampleFormat wav_format(SampleDepth depth) {
  if (depth.is_float) return WavSampleFormat::Float32;
  if (depth.bits == 24) return WavSampleFormat::Pcm24;
  return depth.bits == 32 ? WavSampleFormat::Pcm32 : WavSampleFormat::Pcm16;
}

AiffSampleFormat aiff_format(SampleDepth depth) {
  if (depth.is_float) return AiffSampleFormat::Float32;
  if (depth.bits == 24) return AiffSampleFormat::Signed24Be;
  return depth.bits == 32 ? AiffSampleFormat::Signed32Be : AiffSampleFormat::Signed16Be;
}

// `depth` has passed choose_depth for `container`.
Result<size_t, DecodeError> encode(Container container, uint32_t rate_hz, uint16_t channels,
                                   uint8_t compression, SampleDepth depth,
                                   std::span<const float> samples, std::vector<uint8_t>& out) {
  switch (container) {
    case Container::Wav:
      return write_wav({rate_hz, channels, wav_format(depth), false, false}, samples, out);
    case Container::Aiff:
      // AIFF stores the channel count as a signed 16-bit field.
      if (channels > std::numeric_limits<int16_t>::max()) {
        return DecodeError::unsupported_channel_count(channels);
      }
      return write_aiff({rate_hz, static_cast<int16_t>(channels), aiff_format(depth)}, samples,
                        out);
    case Container::Flac:
      return encode_flac({rate_hz, channels, depth.bits, compression}, samples, out);
  }
  return DecodeError::unsupported_codec(ContainerName::codec_text("unknown container"));
}

}  // namespace

bool rate_in_range(uint32_t rate_hz) {
  return rate_hz >= kMinSampleRateHz && rate_hz <= kMaxSampleRateHz;
}

// The recording and what plays it; released when the source can no longer be consumed.
struct FileSource::Recording {
  std::vector<float> samples;
  size_t position = 0;  // samples taken by the pump
  std::optional<Chain> chain;
  ReadDetector detector;
  std::vector<float> heard;  // detector signal of a read's earlier, silent steps
  // Reads that no score needs in short steps: the chain runs ahead in long ones, and each
  // read hands out what its short step would have made.
  std::vector<float> ahead;  // delivered by the chain, not yet handed out
  size_t ahead_from = 0;
  uint64_t read_frames = 0;  // input frames the reads handed out so far stand for
  bool flushed = false;      // the chain's tail is in `ahead`

  size_t ahead_samples() const { return ahead.size() - ahead_from; }

  std::span<const float> next_block(size_t frames, uint16_t channels) {
    const size_t take = std::min(frames * channels, samples.size() - position);
    const auto block = std::span<const float>(samples).subspan(position, take);
    position += take;
    return block;
  }
};

FileSource::FileSource(std::unique_ptr<Recording> recording, uint32_t input_rate_hz,
                       uint16_t input_channels, const SourceConfig& config)
    : recording_(std::move(recording)),
      input_rate_hz_(input_rate_hz),
      input_channels_(input_channels),
      delivered_channels_(recording_->chain ? recording_->chain->output_channels()
                                            : input_channels),
      sample_rate_hz_(config.sample_rate),
      delay_frames_(recording_->chain ? recording_->chain->delay_frames() : 0),
      // The denoiser delivers by its own frames, so only its short steps tell what a
      // read hands out.
      reads_ahead_(recording_->chain && !recording_->detector.active() &&
                   !config.denoise_model_path),
      channel_map_(config.channel_map),
      detector_config_(detector_config(config)) {}

FileSource::~FileSource() = default;

Result<DecodedAudio, CoreError> read_audio_file(FileInput input) {
  Result<std::vector<uint8_t>, CoreError> bytes = std::vector<uint8_t>();
  if (auto* path = std::get_if<std::filesystem::path>(&input)) {
    bytes = read_whole_file(*path);
  } else {
    bytes = std::get<std::vector<uint8_t>>(std::move(input));
  }
  if (!bytes) return std::move(bytes).error();
  auto decoded = decode_audio(*bytes);
  if (!decoded) return core_error_from_decode(decoded.error());
  std::vector<uint8_t>().swap(*bytes);  // only the samples stay for the source's life
  if (!rate_in_range(decoded->sample_rate_hz)) return CoreError(ErrorKind::SampleRateOutOfRange);
  return std::move(decoded).value();
}

Result<std::unique_ptr<FileSource>, CoreError> FileSource::open(const std::filesystem::path& path,
                                                                const SourceConfig& config) {
  auto decoded = read_audio_file(path);
  if (!decoded) return std::move(decoded).error();
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

Result<std::optional<Chain>, CoreError> build_file_chain(const SourceConfig& config,
                                                         uint32_t input_rate_hz,
                                                         uint16_t input_channels) {
  if (auto checked = check_file_source(config, input_channels); !checked) {
    return std::move(checked).error();
  }
  ConditioningConfig conditioning = conditioning_config(config);
  conditioning.echo.reset();
  const ChainFormat format{input_channels, config.channels, input_rate_hz, config.sample_rate};
  auto chain = Chain::create(format, conditioning, file_stage_factories());
  if (!chain) return std::move(chain).error();
  std::optional<Chain> stages = std::move(chain).value();
  // Between equal layouts and without conditioning, a chain would only split the channels
  // apart and join them again: the recording is delivered as it is, as a mono one is.
  if (stages && !stages->has_detector_signal() && !config.channel_map &&
      config.channels == input_channels && config.sample_rate == input_rate_hz) {
    stages.reset();
  }
  return stages;
}

Result<std::unique_ptr<FileSource>, CoreError> FileSource::build(std::vector<float> samples,
                                                                 uint32_t input_rate_hz,
                                                                 uint16_t input_channels,
                                                                 const SourceConfig& config) {
  auto stages = build_file_chain(config, input_rate_hz, input_channels);
  if (!stages) return std::move(stages).error();
  auto detector = ReadDetector::create(detector_config(config));
  if (!detector) return std::move(detector).error();
  auto recording = std::unique_ptr<Recording>(new Recording{
      std::move(samples), 0, std::move(stages).value(), std::move(detector).value(), {}, {}, 0, 0,
      false});
  return std::unique_ptr<FileSource>(
      new FileSource(std::move(recording), input_rate_hz, input_channels, config));
}

Result<FileSource::Step, CoreError> FileSource::step(std::optional<Chain>& chain,
                                                     std::vector<float>& out, size_t frames) {
  Recording& recording = *recording_;
  if (recording.position < recording.samples.size()) {
    const std::span<const float> block = recording.next_block(frames, input_channels_);
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

uint16_t FileSource::delivered_channels() const { return delivered_channels_; }

void FileSource::release(FileStage next) {
  stage_ = next;
  recording_.reset();
}

// Steps until one yields samples or the recording ends. The detector signal of the
// silent steps is kept in `heard`, so the read's score hears all of them.
Result<FileSource::Step, CoreError> FileSource::step_until_output(std::vector<float>& out) {
  std::vector<float>& heard = recording_->heard;
  heard.clear();
  while (true) {
    auto stepped = step(recording_->chain, out);
    if (!stepped) return stepped;
    if (!out.empty() || stepped->ended) {
      if (heard.empty()) return stepped;
      heard.insert(heard.end(), stepped->detector.begin(), stepped->detector.end());
      return Step{heard, stepped->ended};
    }
    heard.insert(heard.end(), stepped->detector.begin(), stepped->detector.end());
  }
}

Result<std::optional<FileChunk>, CoreError> FileSource::read() {
  if (stage_ == FileStage::Consumed) return CoreError(ErrorKind::FileConsumed);
  if (stage_ == FileStage::Finished || stage_ == FileStage::Closed) {
    return std::optional<FileChunk>();
  }
  stage_ = FileStage::Reading;
  if (reads_ahead_) return read_ahead();
  FileChunk chunk{{}, delivered_channels()};
  auto stepped = step_until_output(chunk.samples);
  if (!stepped) return std::move(stepped).error();
  auto scored = recording_->detector.score(stepped->detector, chunk.channels, stepped->ended);
  vad_probability_.store(recording_->detector.probability(), std::memory_order_relaxed);
  if (stepped->ended) release(FileStage::Finished);
  if (!scored) return std::move(scored).error();
  if (chunk.samples.empty()) return std::optional<FileChunk>();
  channels_.store(chunk.channels, std::memory_order_relaxed);
  return std::optional<FileChunk>(std::move(chunk));
}

uint64_t FileSource::delivered_after(uint64_t input_frames) const {
  if (input_rate_hz_ == sample_rate_hz_) return input_frames;
  // Output j is due on input floor(j x in / out): n inputs make ceil(n x out / in).
  const unsigned __int128 scaled = static_cast<unsigned __int128>(input_frames) * sample_rate_hz_;
  return static_cast<uint64_t>((scaled + input_rate_hz_ - 1) / input_rate_hz_);
}

// A read as step_until_output() would make it, from the output of long steps: its short
// step's frames (with the silent steps after it), or the tail once the input is spent.
// The stages keep their state across steps, so only the resampler's rounding (within a
// float ulp) can tell the two apart.
Result<std::optional<FileChunk>, CoreError> FileSource::read_ahead() {
  Recording& recording = *recording_;
  const uint16_t channels = delivered_channels();
  const uint64_t total_frames = recording.samples.size() / input_channels_;
  uint64_t frames = 0;
  while (frames == 0 && recording.read_frames < total_frames) {
    const uint64_t end = std::min<uint64_t>(recording.read_frames + kPumpFrames, total_frames);
    frames = delivered_after(end) - delivered_after(recording.read_frames);
    recording.read_frames = end;
  }
  const bool tail = frames == 0;
  while (!recording.flushed &&
         (tail || recording.ahead_samples() < frames * channels)) {
    if (recording.ahead_from > 0) {  // what was handed out makes room
      recording.ahead.erase(recording.ahead.begin(),
                            recording.ahead.begin() + static_cast<ptrdiff_t>(recording.ahead_from));
      recording.ahead_from = 0;
    }
    auto stepped = step(recording.chain, recording.ahead, kWholePumpFrames);
    if (!stepped) return std::move(stepped).error();
    recording.flushed = stepped->ended;
  }
  const size_t take = tail ? recording.ahead_samples()
                           : std::min<size_t>(recording.ahead_samples(), frames * channels);
  const auto first = recording.ahead.begin() + static_cast<ptrdiff_t>(recording.ahead_from);
  FileChunk chunk{std::vector<float>(first, first + static_cast<ptrdiff_t>(take)), channels};
  recording.ahead_from += take;
  if (tail) release(FileStage::Finished);
  if (chunk.samples.empty()) return std::optional<FileChunk>();
  channels_.store(chunk.channels, std::memory_order_relaxed);
  return std::optional<FileChunk>(std::move(chunk));
}

Result<FileChunk, CoreError> FileSource::read_all() {
  if (stage_ == FileStage::Consumed) return CoreError(ErrorKind::FileConsumed);
  FileChunk whole{{}, delivered_channels()};
  if (stage_ == FileStage::Finished || stage_ == FileStage::Closed) return whole;
  if (recording_->detector.active()) {
    while (true) {
      auto chunk = read();
      if (!chunk) return std::move(chunk).error();
      if (!*chunk) return whole;
      whole.samples.insert(whole.samples.end(), (*chunk)->samples.begin(),
                           (*chunk)->samples.end());
    }
  }
  stage_ = FileStage::Reading;
  auto delivered = pump_all();
  if (!delivered) return std::move(delivered).error();
  whole.samples = std::move(*delivered);
  if (!whole.samples.empty()) channels_.store(whole.channels, std::memory_order_relaxed);
  release(FileStage::Finished);
  return whole;
}

Result<void, CoreError> FileSource::check_not_engaged() const {
  if (stage_ == FileStage::Reading || stage_ == FileStage::Finished) {
    return CoreError(ErrorKind::FileEngaged);
  }
  return {};
}

Result<void, CoreError> FileSource::check_available() const {
  if (stage_ == FileStage::Consumed || stage_ == FileStage::Closed) {
    return CoreError(ErrorKind::FileConsumed);
  }
  return {};
}

bool FileSource::can_analyze() const { return detector_config_.kind == DetectorKind::Model; }

Result<Analysis, CoreError> FileSource::analyze() {
  if (auto engaged = check_not_engaged(); !engaged) return std::move(engaged).error();
  if (recording_ && !can_analyze()) return CoreError(ErrorKind::VadNotConfigured);
  if (auto available = check_available(); !available) return std::move(available).error();
  auto analysis = run_analysis();
  release(FileStage::Consumed);
  return analysis;
}

Result<Analysis, CoreError> FileSource::run_analysis() {
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
  return analyzer->finish();
}

Result<std::vector<float>, CoreError> FileSource::pump_all() {
  Recording& recording = *recording_;
  // Without stages the recording is what the steps would deliver.
  if (!recording.chain && recording.position == 0) {
    recording.position = recording.samples.size();
    return std::move(recording.samples);
  }
  const uint64_t frames = recording.samples.size() / input_channels_;
  const uint64_t delivered = frames * sample_rate_hz_ / input_rate_hz_ + kPumpFrames;
  std::vector<float> out;
  out.reserve(static_cast<size_t>(delivered * delivered_channels()));
  // What reads ran ahead to comes first.
  out.assign(recording.ahead.begin() + static_cast<ptrdiff_t>(recording.ahead_from),
             recording.ahead.end());
  for (bool ended = recording.flushed; !ended;) {
    auto stepped = step(recording_->chain, out, kWholePumpFrames);
    if (!stepped) return std::move(stepped).error();
    ended = stepped->ended;
  }
  return out;
}

Result<void, CoreError> FileSource::check_encodable(Container container, uint8_t compression,
                                                    SampleDepth depth) const {
  // The writers check their request before they look at samples: an empty recording
  // costs only a header.
  std::vector<uint8_t> probe;
  auto encoded =
      encode(container, sample_rate_hz_, delivered_channels(), compression, depth, {}, probe);
  if (!encoded) return core_error_from_decode(encoded.error());
  return {};
}

Result<SaveCounts, CoreError> FileSource::save(const std::filesystem::path& path,
                                               Container container, uint8_t compression,
                                               SampleDepth depth) {
  if (auto engaged = check_not_engaged(); !engaged) return std::move(engaged).error();
  if (compression > kMaxFlacCompression) return CoreError(ErrorKind::FlacCompressionOutOfRange);
  if (auto available = check_available(); !available) return std::move(available).error();
  if (auto encodable = check_encodable(container, compression, depth); !encodable) {
    return std::move(encodable).error();
  }
  auto delivered = pump_all();
  release(FileStage::Consumed);  // the recording is spent; keep the peak lower
  if (!delivered) return std::move(delivered).error();
  // Floats are stored as they are, beyond full scale too: only what is no number changes.
  const SaveCounts counts = depth.is_float ? SaveCounts{0, replace_non_finite(*delivered)}
                                           : count_unsafe_samples(*delivered);
  std::vector<uint8_t> bytes;
  bytes.reserve(delivered->size() * (depth.bits / 8) + kSavedHeaderBytes);
  auto encoded = encode(container, sample_rate_hz_, delivered_channels(), compression, depth,
                        *delivered, bytes);
  if (!encoded) return core_error_from_decode(encoded.error());
  std::vector<float>().swap(*delivered);
  if (auto written = write_whole_file(path, bytes); !written) return std::move(written).error();
  return counts;
}

void FileSource::close() {
  if (stage_ == FileStage::Fresh) release(FileStage::Closed);
  if (stage_ == FileStage::Reading) release(FileStage::Finished);
}

}  // namespace murello
