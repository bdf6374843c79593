// FileSource: a whole recording (a decoded audio file or caller samples) played through
// the conditioning chain, consumed chunk by chunk, analysed for speech, or saved.
//
// Conventions: samples are interleaved 32-bit floats; rates are hz; the pump takes
// kPumpFrames input frames per step. Every chunk carries the target rate of the
// configuration and its own channel count. A source is consumed once: by reads, or by
// one analyze() or save() before any read.
//
// Threads: a FileSource is used by one thread at a time (the bridge's slot mutex
// serialises its callers). Nothing here touches Python.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "vad/analysis.hpp"
#include "chain/chain.hpp"
#include "core/config.hpp"
#include "core/error.hpp"
#include "vad/read_detector.hpp"
#include "sources/sanitise.hpp"
#include "sources/save_format.hpp"
#include "util/result.hpp"

namespace murello {

inline constexpr size_t kPumpFrames = 1600;

struct FileChunk {
  std::vector<float> samples;  // interleaved at `channels`; never empty
  uint16_t channels = 1;
};

using AnalysisResult = Analysis;

class FileSource {
 public:
  // Reads and decodes the file (FileReadFailed; AudioFormatUnsupported,
  // AudioFileMalformed or AudioFileTruncated with the decoder's text), checks its rate
  // (SampleRateOutOfRange) and builds the source: check_file_source against the file's
  // channel count, the chain, the model detector's resampler. `config` has passed
  // check_format and check_file_options. Nothing is built on failure.
  static Result<std::unique_ptr<FileSource>, CoreError> open(const std::filesystem::path& path,
                                                             const SourceConfig& config);

  // Caller samples, frame-interleaved at `input_channels`, at `input_rate_hz`, used
  // unchanged. Checks, in order: SampleRateOutOfRange (rate outside 1000 ... 384000),
  // ChannelsOutOfRange (no channels), BlockSizeNotFrameAligned (a partial frame, unless
  // mono); then builds as open() does.
  static Result<std::unique_ptr<FileSource>, CoreError> buffer(std::vector<float> samples,
                                                               uint32_t input_rate_hz,
                                                               uint16_t input_channels,
                                                               const SourceConfig& config);

  // One pump step: the next conditioned chunk, or nothing once the recording and the
  // chain's end-of-stream tail have been delivered (a step that yields no samples ends
  // the recording rather than delivering an empty chunk). Updates vad_probability().
  // A chain or detector error fails this read; its samples are lost, the next read
  // goes on with the following step.
  Result<std::optional<FileChunk>, CoreError> read();

  // The whole-recording analysis with a fresh model detector: FileEngaged after a read
  // or a previous analyze() or save(), VadNotConfigured without the model detector
  // (can_analyze()), then the detector's construction and step errors.
  Result<AnalysisResult, CoreError> analyze();
  bool can_analyze() const;

  // Pumps the whole recording, sanitises it, encodes 16-bit samples into `container`
  // at the target rate and the delivered channel count, and writes `path`. Errors:
  // FileEngaged (as analyze), check_save()'s (before anything is consumed), the chain's
  // errors, the encoder's (mapped as decode errors), FileWriteFailed.
  Result<SaveCounts, CoreError> save(const std::filesystem::path& path, Container container,
                                     uint8_t compression);
  // The refusals save() can know before it consumes anything: FlacCompressionOutOfRange,
  // then what the container's encoder refuses for the delivered channel count and rate
  // (e.g. more than 8 channels in FLAC, as AudioFormatUnsupported). save() runs it first.
  Result<void, CoreError> check_save(Container container, uint8_t compression) const;

  uint32_t input_rate_hz() const { return input_rate_hz_; }
  uint16_t input_channels() const { return input_channels_; }
  uint32_t sample_rate_hz() const { return sample_rate_hz_; }
  // The most recent per-read voice-activity score; 0.0 before the first or without a
  // detector.
  float vad_probability() const { return detector_.probability(); }

 private:
  // What one pump step produced besides its output: the signal the detector hears
  // (interleaved at the structural channel count; valid until the next step) and
  // whether this step ended the recording.
  struct Step {
    std::span<const float> detector;
    bool ended = false;
  };

  FileSource(std::vector<float> samples, uint32_t input_rate_hz, uint16_t input_channels,
             const SourceConfig& config, std::optional<Chain> chain, ReadDetector detector);
  static Result<std::unique_ptr<FileSource>, CoreError> build(std::vector<float> samples,
                                                              uint32_t input_rate_hz,
                                                              uint16_t input_channels,
                                                              const SourceConfig& config);

  std::span<const float> next_block();
  Result<Step, CoreError> step(std::optional<Chain>& chain, std::vector<float>& out);
  Result<std::vector<float>, CoreError> pump_all();
  uint16_t delivered_channels() const;
  size_t delivered_samples_hint() const;

  std::vector<float> samples_;
  size_t position_ = 0;  // samples taken by the pump
  uint32_t input_rate_hz_;
  uint16_t input_channels_;
  uint32_t sample_rate_hz_;
  std::optional<std::vector<uint16_t>> channel_map_;
  DetectorConfig detector_config_;
  std::optional<Chain> chain_;
  ReadDetector detector_;
  bool started_ = false;   // a read, analyze() or save() has begun
  bool finished_ = false;  // the end-of-stream tail has been delivered
};

}  // namespace murello
