// RecordingFile: the file a recorder writes while it records, 16-bit WAV, AIFF or FLAC,
// readable at every moment and complete once finished.
//
// Conventions: samples are float32, frame-interleaved, full scale -1.0..+1.0, stored as
// 16-bit integers (clamped, truncated toward zero, NaN as 0) as FileSource::save stores
// them; counts are frames (samples per channel) unless named otherwise; sizes are bytes.
//
// Samples reach the file system at every append, never buffered beyond one FLAC block,
// so a recorder killed outright loses only what the operating system had not been
// handed. WAV and AIFF headers are rewritten with the sizes of the audio written so far
// every second of audio, so such a file reads as a whole recording short of at most its
// last second. A FLAC stream declares its total as unknown until finish() writes it, with
// the MD5 of the samples; its frames are whole as each append ends.
//
// After a write fails (a full disk, a file-size limit) the file takes nothing more, and
// finish() cuts it back to the audio written whole and declares exactly that: what
// was recorded up to the failure stays a valid file.
//
// Threads: plain state; one thread at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "audiofile/flac_encoder/stream_encoder.hpp"
#include "core/error.hpp"
#include "files/descriptor.hpp"
#include "files/save_format.hpp"
#include "util/result.hpp"

namespace murello {

class RecordingFile {
 public:
  // Creates (or truncates) `path` and writes the header of an empty recording. Errors:
  // FileWriteFailed; the container's refusal of the rate or channel count as save()
  // reports it; FlacCompressionOutOfRange above 8.
  static Result<RecordingFile, CoreError> create(const std::filesystem::path& path,
                                                 Container container, uint32_t rate_hz,
                                                 uint16_t channels, uint8_t compression);

  RecordingFile(RecordingFile&&) noexcept = default;
  RecordingFile& operator=(RecordingFile&&) = delete;
  RecordingFile(const RecordingFile&) = delete;
  // Finishes the file if finish() was not called; its errors go unreported.
  ~RecordingFile();

  // Writes whole frames (a trailing partial frame is dropped). FileWriteFailed when the
  // file system refuses the bytes, or when a WAV or AIFF file would outgrow its 32-bit
  // sizes; after that, every append fails the same way.
  Result<void, CoreError> append(std::span<const float> samples);

  // Completes the header, flushes the file to the device and closes it; FileWriteFailed
  // if any of that fails. Once finished, further calls do nothing.
  Result<void, CoreError> finish();

  // Frames written whole so far; once finished, the frames the file declares.
  uint64_t frames() const { return frames_written_; }
  bool finished() const { return !file_.is_open(); }

 private:
  // Where the size fields of a WAV or AIFF header are.
  struct SizeFields {
    size_t header_bytes = 0;
    size_t riff_or_form = 4;
    size_t data_or_ssnd = 0;
    std::optional<size_t> comm_frames;  // AIFF only
  };

  RecordingFile(std::filesystem::path path, Descriptor file, Container container,
                uint16_t channels, uint32_t rate_hz, SizeFields fields,
                std::optional<FlacStreamEncoder> flac);
  CoreError failed(int error) const;
  Result<void, CoreError> write_bytes(std::span<const uint8_t> bytes);
  Result<void, CoreError> write_sizes();
  Result<void, CoreError> put_field(size_t offset, uint32_t value);
  Result<void, CoreError> put_stream_info(const FlacStreamEncoder::StreamInfo& info);
  Result<void, CoreError> complete();
  Result<void, CoreError> salvage();

  std::filesystem::path path_;
  Descriptor file_;
  Container container_;
  uint16_t channels_;
  uint32_t rate_hz_;
  SizeFields fields_;
  std::optional<FlacStreamEncoder> flac_;
  std::vector<uint8_t> bytes_;      // one append's encoding
  uint64_t written_bytes_ = 0;      // file bytes written whole, header included
  uint64_t frames_written_ = 0;     // frames in those bytes
  uint64_t frames_in_header_ = 0;   // frames the WAV or AIFF header declares
  int error_ = 0;                   // the first write failure's errno, or -1 for a size limit
};

}  // namespace murello
