// FileStream: an audio file read through a block at a time, conditioned as a file source
// conditions it, with memory bounded by the block and the codec's frame rather than by
// the file. What murello.stream hands out, and what analyses long recordings.
//
// The file is mapped and decoded piece by piece (AudioStreamDecoder); the pages behind
// the decoder are given back as it goes. The chain gets the steps a file source gives it
// (StreamRequest::step_frames), so a stream delivers exactly what the file source
// delivers for the same file, configuration and steps.
//
// Conventions: samples are interleaved 32-bit floats; rates are hz; lengths frames.
//
// Threads: one thread at a time. Nothing here touches Python.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "audiofile/stream_decoder.hpp"
#include "chain/chain.hpp"
#include "core/config.hpp"
#include "core/error.hpp"
#include "files/alignment.hpp"
#include "files/file.hpp"
#include "files/file_io.hpp"
#include "util/result.hpp"

namespace murello {

struct StreamRequest {
  SourceConfig config;         // has passed check_format and check_file_options
  bool file_rate = false;      // deliver at the file's own rate, not config.sample_rate
  bool file_channels = false;  // deliver the channel map's length, else the file's count
  // Align a resampled stream with the file and end it at the file's length converted
  // (OutputAlignment), as murello.load does; otherwise deliver what the chain delivers.
  bool aligned = true;
  // Build only the structural stages (channel selection, resampling): the signal a
  // detector hears.
  bool structural_only = false;
  // Input frames per step through the chain: the long steps of FileSource::read_all(),
  // or kPumpFrames for the steps of its reads and its analysis.
  size_t step_frames = kWholePumpFrames;
};

class FileStream {
 public:
  // Maps the file (bytes given are used as they are) and reads its header, then builds the chain: FileReadFailed; the
  // decoder's header errors as AudioFormatUnsupported, AudioFileMalformed or
  // AudioFileTruncated; SampleRateOutOfRange; then build_file_chain's errors.
  static Result<std::unique_ptr<FileStream>, CoreError> open(FileInput input,
                                                            const StreamRequest& request);

  // Appends the next conditioned step to `out` (interleaved at channels()); false once
  // the stream, with the chain's tail, is out. An error in the samples fails the step
  // that meets it; everything decoded before it was delivered by earlier steps. The
  // end-of-stream checks (a FLAC stream's MD5) fail the call after the last samples.
  Result<bool, CoreError> next(std::vector<float>& out);

  // The next `frames` delivered frames (the last block may be shorter), or nothing at
  // the end. An error is reported once the samples before it are out; the stream is
  // over after it. Not to be mixed with next().
  Result<std::optional<std::vector<float>>, CoreError> next_block(size_t frames);

  uint32_t input_rate_hz() const { return input_rate_hz_; }
  uint16_t input_channels() const { return input_channels_; }
  uint32_t sample_rate_hz() const { return sample_rate_hz_; }
  uint16_t channels() const { return channels_; }
  // Frames the header declares; absent for a FLAC stream that does not say.
  std::optional<uint64_t> input_frames() const { return input_frames_; }
  // Frames the stream is to deliver, where the header declares the input's and the count
  // follows from it (aligned, or at the file's rate); absent otherwise. A chain with
  // latency of its own (the denoiser) may deliver a little more.
  std::optional<uint64_t> output_frames() const;

 private:
  FileStream(FileView view, AudioStreamDecoder decoder, std::optional<Chain> chain,
             const SourceConfig& config, const StreamRequest& request);
  void decode_step();

  FileView view_;
  AudioStreamDecoder decoder_;
  std::optional<Chain> chain_;
  std::optional<OutputAlignment> alignment_;
  std::vector<float> input_;  // decoded, not yet through the chain
  uint64_t input_frames_seen_ = 0;
  size_t step_frames_;
  std::optional<CoreError> decode_error_;  // reported after the samples before it
  bool decoded_all_ = false;
  bool flushed_ = false;
  bool ended_ = false;
  std::vector<float> pending_;  // next_block(): delivered, not yet handed out
  size_t pending_from_ = 0;
  std::optional<CoreError> deferred_error_;  // next_block(): after pending_ is out
  uint32_t input_rate_hz_;
  uint16_t input_channels_;
  uint32_t sample_rate_hz_;
  uint16_t channels_;
  std::optional<uint64_t> input_frames_;
};

}  // namespace murello
