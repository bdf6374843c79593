// SavedFile: a conditioned recording written as FileSource::save writes it (16-bit WAV,
// plain or, past RIFF's 32-bit sizes, RF64; 16-bit AIFF; 16-bit FLAC), a block at a time,
// so that a conversion of any length holds one block rather than the recording.
//
// The bytes go to a hidden file beside the destination that commit() renames over it
// (ReplacingFile): until then, and whenever the writing fails or is abandoned, any earlier
// file of that name is untouched and nothing partial is left. A WAV or AIFF header is
// written first for the frames the caller expects and put right at commit() for the
// frames that came; FLAC completes its STREAMINFO there. Where the header for the frames
// that came cannot take the place of the one written (a WAV of undeclared length that
// outgrows the plain header's 4 GiB), append() refuses the samples that would need it.
// A destination that cannot be written back to (a pipe, a FIFO) gets the whole file at
// commit(), held until then as encoded bytes.
//
// Conventions: samples are float32, frame-interleaved, full scale -1.0..+1.0, quantised
// as FileSource::save quantises them; counts are frames unless named otherwise.
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
#include "files/replacing_file.hpp"
#include "core/sanitise.hpp"
#include "files/save_format.hpp"
#include "util/result.hpp"

namespace murello {

class SavedFile {
 public:
  // Begins the file with the header for `expected_frames` (none: unknown, written as 0).
  // Errors: the container's refusal of the rate, the channel count or (AIFF) the length,
  // as FileSource::save reports it; FlacCompressionOutOfRange above 8; FileWriteFailed.
  static Result<SavedFile, CoreError> create(const std::filesystem::path& path,
                                             Container container, uint32_t rate_hz,
                                             uint16_t channels, uint8_t compression,
                                             std::optional<uint64_t> expected_frames);

  SavedFile(SavedFile&&) noexcept = default;
  SavedFile& operator=(SavedFile&&) = delete;
  SavedFile(const SavedFile&) = delete;

  // Writes whole frames of samples and counts the ones sanitising replaces. Errors:
  // FileWriteFailed; the container's refusal of a length it cannot hold.
  Result<void, CoreError> append(std::span<const float> samples);

  // Completes the header and renames the file into place; FileWriteFailed.
  Result<void, CoreError> commit();

  SaveCounts counts() const { return counts_; }
  uint64_t frames() const { return frames_; }

 private:
  SavedFile(std::filesystem::path path, ReplacingFile file, Container container,
            uint32_t rate_hz, uint16_t channels, std::optional<FlacStreamEncoder> flac,
            size_t header_bytes, uint64_t header_frames);
  // The WAV or AIFF header for `frames`; RF64 when forced or when plain RIFF cannot hold
  // them.
  Result<void, CoreError> header(uint64_t frames, bool force_rf64,
                                 std::vector<uint8_t>& out) const;
  Result<void, CoreError> write(std::span<const uint8_t> bytes);
  Result<void, CoreError> write_at(uint64_t offset, std::span<const uint8_t> bytes);

  std::filesystem::path path_;
  ReplacingFile file_;
  Container container_;
  uint32_t rate_hz_;
  uint16_t channels_;
  std::optional<FlacStreamEncoder> flac_;
  size_t header_bytes_;     // WAV, AIFF: the header's size, fixed once written
  uint64_t header_frames_;  // WAV, AIFF: the frames the written header declares
  bool rf64_ = false;       // the written header is RF64's, which a shorter WAV keeps
  uint64_t frames_ = 0;
  SaveCounts counts_;
  std::vector<uint8_t> bytes_;  // one append's encoding
  std::optional<std::vector<uint8_t>> held_;  // the file so far, where it cannot be rewritten
};

}  // namespace murello
