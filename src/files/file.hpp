// FileSource: a whole recording (a decoded audio file or caller samples) played through
// the conditioning chain, consumed chunk by chunk, analysed for speech, or saved.
//
// Conventions: samples are interleaved 32-bit floats; rates are hz; a read's pump takes
// kPumpFrames input frames per step. Every chunk carries the target rate of the
// configuration and its own channel count.
//
// Lifecycle, the one place it is kept (FileStage): a fresh source is consumed once,
// either by reads or by one analyze() or save(). Reads move it to Reading and, once the
// end-of-stream tail is out, to Finished; analyze() and save() move a fresh source to
// Consumed; close() moves a fresh source to Closed and a reading one to Finished. The
// recording, its chain and its detector are released on leaving Fresh or Reading.
//
//   Fresh --read--> Reading --read, tail out--> Finished
//   Fresh --analyze/save--> Consumed     Fresh --close--> Closed
//   Reading --close--> Finished
//
// What each operation answers in each stage:
//   read(): Fresh/Reading pump a chunk; Finished/Closed nothing; Consumed FileConsumed.
//   check_not_engaged(), and first in analyze() and save(): Reading/Finished FileEngaged.
//   analyze(), save(): then Consumed/Closed FileConsumed.
//
// Threads: a FileSource is used by one thread at a time (its owner serialises calls),
// except channels() and vad_probability(), which any thread may read at any time.
// Nothing here touches Python.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "audiofile/audio.hpp"
#include "chain/chain.hpp"
#include "core/config.hpp"
#include "core/error.hpp"
#include "files/file_io.hpp"
#include "core/sanitise.hpp"
#include "files/save_format.hpp"
#include "util/result.hpp"
#include "vad/analysis.hpp"
#include "vad/read_detector.hpp"

namespace murello {

inline constexpr size_t kPumpFrames = 1600;
// What read_all() and save() take per step, where no per-read score needs the short
// steps: long enough for the resampler's transform passes to carry nearly every output.
// The stages keep their state from frame to frame, so only the resampler's rounding
// (within a float ulp) can tell the two step sizes apart.
inline constexpr size_t kWholePumpFrames = size_t{1} << 17;

struct FileChunk {
  std::vector<float> samples;  // interleaved at `channels`; never empty from read()
  uint16_t channels = 1;
};

enum class FileStage : uint8_t { Fresh, Reading, Finished, Consumed, Closed };

// Reads and decodes a whole audio file (or decodes the bytes given) and checks its rate,
// as FileSource::open does before it builds anything, with its errors.
Result<DecodedAudio, CoreError> read_audio_file(FileInput input);

// Whether a source's own rate is one the file sources take (1000 ... 384000 hz).
bool rate_in_range(uint32_t rate_hz);

// What conditions a file source's samples: check_file_source against the source's
// channel count, then the chain (files have no echo canceller). Empty when no stage
// would change the samples.
Result<std::optional<Chain>, CoreError> build_file_chain(const SourceConfig& config,
                                                         uint32_t input_rate_hz,
                                                         uint16_t input_channels);

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

  ~FileSource();

  // The next conditioned chunk, or nothing once the recording and the chain's
  // end-of-stream tail have been delivered (or after close()). Pump steps that yield no
  // samples (a resampler or denoiser still filling) are followed by more steps within
  // the same read, so nothing means the end. Updates vad_probability() from the
  // detector signal of every step the read took. A chain or detector error fails this
  // read; its samples are lost, the next read goes on with the following step.
  Result<std::optional<FileChunk>, CoreError> read();

  // Everything read() would still deliver, as one chunk (empty when nothing is left);
  // the source is Finished afterwards. FileConsumed after analyze() or save(). Without a
  // detector the steps run back to back into one buffer, and a source without stages
  // hands over its recording without a copy; with one, the scores follow the reads.
  // A chain or detector error fails the call; its samples are lost.
  Result<FileChunk, CoreError> read_all();

  // FileEngaged once a read has begun.
  Result<void, CoreError> check_not_engaged() const;

  // The whole-recording analysis with a fresh model detector. Refusals, which leave the
  // source as it was: FileEngaged, VadNotConfigured without the model detector
  // (can_analyze()), FileConsumed. Then the detector's construction and step errors.
  Result<Analysis, CoreError> analyze();
  bool can_analyze() const;

  // Pumps the whole recording, counts what sanitising changes, encodes its samples at
  // `depth` (which has passed choose_depth for `container`; integers clamped to full
  // scale, floats only rid of what is no number) into `container` at the target rate and
  // the delivered channel count, and writes `path`. Refusals, which leave the source as
  // it was: FileEngaged, FlacCompressionOutOfRange, FileConsumed, then what the
  // container's encoder refuses for the delivered channel count and rate (e.g. more than
  // 8 channels in FLAC, as AudioFormatUnsupported). Then the chain's errors, the
  // encoder's (mapped as decode errors), FileWriteFailed.
  Result<SaveCounts, CoreError> save(const std::filesystem::path& path, Container container,
                                     uint8_t compression, SampleDepth depth = kDefaultDepth);

  // Releases the recording; see the lifecycle above. Never fails; idempotent.
  void close();

  FileStage stage() const { return stage_; }
  uint32_t input_rate_hz() const { return input_rate_hz_; }
  uint16_t input_channels() const { return input_channels_; }
  uint32_t sample_rate_hz() const { return sample_rate_hz_; }
  // How late the chain's resampler delivers the signal, in delivered frames; 0 without.
  uint64_t delay_frames() const { return delay_frames_; }
  // The channel count of the most recent chunk; 1 before the first.
  uint16_t channels() const { return channels_.load(std::memory_order_relaxed); }
  // The most recent per-read voice-activity score; 0.0 before the first or without a
  // detector.
  float vad_probability() const { return vad_probability_.load(std::memory_order_relaxed); }

 private:
  struct Recording;

  // What one pump step produced besides its output: the signal the detector hears
  // (interleaved at the structural channel count; valid until the next step) and
  // whether this step ended the recording.
  struct Step {
    std::span<const float> detector;
    bool ended = false;
  };

  FileSource(std::unique_ptr<Recording> recording, uint32_t input_rate_hz,
             uint16_t input_channels, const SourceConfig& config);
  static Result<std::unique_ptr<FileSource>, CoreError> build(std::vector<float> samples,
                                                              uint32_t input_rate_hz,
                                                              uint16_t input_channels,
                                                              const SourceConfig& config);

  Result<void, CoreError> check_available() const;
  Result<void, CoreError> check_encodable(Container container, uint8_t compression,
                                          SampleDepth depth) const;
  Result<Step, CoreError> step(std::optional<Chain>& chain, std::vector<float>& out,
                               size_t frames = kPumpFrames);
  Result<Step, CoreError> step_until_output(std::vector<float>& out);
  Result<std::optional<FileChunk>, CoreError> read_ahead();
  // The frames the chain has delivered once `input_frames` went in, before its tail.
  uint64_t delivered_after(uint64_t input_frames) const;
  Result<Analysis, CoreError> run_analysis();
  Result<std::vector<float>, CoreError> pump_all();
  uint16_t delivered_channels() const;
  void release(FileStage next);

  std::unique_ptr<Recording> recording_;  // held while Fresh or Reading
  FileStage stage_ = FileStage::Fresh;
  uint32_t input_rate_hz_;
  uint16_t input_channels_;
  uint16_t delivered_channels_;
  uint32_t sample_rate_hz_;
  uint64_t delay_frames_;
  bool reads_ahead_;
  std::optional<std::vector<uint16_t>> channel_map_;
  DetectorConfig detector_config_;
  std::atomic<uint16_t> channels_{1};
  std::atomic<float> vad_probability_{0.0f};
};

}  // namespace murello
