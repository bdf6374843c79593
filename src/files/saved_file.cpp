#include "files/saved_file.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "audiofile/aiff/writer.hpp"
#include "audiofile/sample.hpp"
#include "audiofile/wav/writer.hpp"
#include "files/decode_error.hpp"

namespace murello {
namespace {

constexpr uint8_t kBits = 16;

Result<void, CoreError> put_header(Container container, uint32_t rate_hz, uint16_t channels,
                                   uint64_t frames, bool force_rf64, std::vector<uint8_t>& out) {
  Result<size_t, DecodeError> made = size_t{0};
  if (container == Container::Wav) {
    made = write_wav_header({rate_hz, channels, WavSampleFormat::Pcm16, false, force_rf64},
                            frames, out);
  } else if (channels > std::numeric_limits<int16_t>::max()) {
    // AIFF stores the channel count as a signed 16-bit field.
    made = DecodeError::unsupported_channel_count(channels);
  } else {
    made = write_aiff_header(
        {rate_hz, static_cast<int16_t>(channels), AiffSampleFormat::Signed16Be}, frames, out);
  }
  if (!made) return core_error_from_decode(made.error());
  return {};
}

}  // namespace

SavedFile::SavedFile(std::filesystem::path path, ReplacingFile file, Container container,
                     uint32_t rate_hz, uint16_t channels, std::optional<FlacStreamEncoder> flac,
                     size_t header_bytes, uint64_t header_frames)
    : path_(std::move(path)),
      file_(std::move(file)),
      container_(container),
      rate_hz_(rate_hz),
      channels_(channels),
      flac_(std::move(flac)),
      header_bytes_(header_bytes),
      header_frames_(header_frames) {}

Result<void, CoreError> SavedFile::header(uint64_t frames, bool force_rf64,
                                          std::vector<uint8_t>& out) const {
  return put_header(container_, rate_hz_, channels_, frames, force_rf64, out);
}

Result<void, CoreError> SavedFile::write(std::span<const uint8_t> bytes) {
  if (!held_) return file_.write(bytes);
  held_->insert(held_->end(), bytes.begin(), bytes.end());
  return {};
}

Result<void, CoreError> SavedFile::write_at(uint64_t offset, std::span<const uint8_t> bytes) {
  if (!held_) return file_.write_at(offset, bytes);
  std::copy(bytes.begin(), bytes.end(), held_->begin() + static_cast<ptrdiff_t>(offset));
  return {};
}

Result<SavedFile, CoreError> SavedFile::create(const std::filesystem::path& path,
                                               Container container, uint32_t rate_hz,
                                               uint16_t channels, uint8_t compression,
                                               std::optional<uint64_t> expected_frames) {
  if (compression > kMaxFlacCompression) return CoreError(ErrorKind::FlacCompressionOutOfRange);
  std::vector<uint8_t> begun;
  std::optional<FlacStreamEncoder> flac;
  const uint64_t frames = expected_frames.value_or(0);
  if (container == Container::Flac) {
    auto encoder =
        FlacStreamEncoder::create({rate_hz, channels, kBits, compression}, frames * channels);
    if (!encoder) return core_error_from_decode(encoder.error());
    encoder->begin(begun);
    flac.emplace(std::move(encoder).value());
  } else if (auto made = put_header(container, rate_hz, channels, frames, false, begun); !made) {
    return std::move(made).error();
  }
  // Refusals come before the file is made.
  auto file = ReplacingFile::create(path);
  if (!file) return std::move(file).error();
  SavedFile saved(path, std::move(file).value(), container, rate_hz, channels, std::move(flac),
                  begun.size(), frames);
  saved.rf64_ = container == Container::Wav &&
                wav_layout(uint64_t{kBits / 8} * channels * frames, false, false).rf64;
  if (!saved.file_.positioned()) saved.held_.emplace();
  if (auto written = saved.write(begun); !written) return std::move(written).error();
  return saved;
}

Result<void, CoreError> SavedFile::append(std::span<const float> samples) {
  const size_t frames = samples.size() / channels_;
  samples = samples.first(frames * channels_);
  const SaveCounts counted = count_unsafe_samples(samples);
  bytes_.clear();
  if (flac_) {
    flac_->push(samples, bytes_);
  } else {
    if (frames_ + frames > header_frames_) {
      // The header for this length must fit where the first one was written.
      std::vector<uint8_t> grown;
      if (auto made = header(frames_ + frames, rf64_, grown); !made) {
        return std::move(made).error();
      }
      if (grown.size() != header_bytes_) {
        return CoreError(ErrorKind::FileWriteFailed, path_,
                         "the input does not declare its length, and a WAV file longer "
                         "than 4 GiB needs a header decided before its samples; convert to "
                         "FLAC instead");
      }
    }
    encode_samples(container_ == Container::Wav ? SampleEncoding::Signed16Le
                                                : SampleEncoding::Signed16Be,
                   samples, bytes_);
  }
  if (auto written = write(bytes_); !written) return written;
  frames_ += frames;
  counts_.clipped += counted.clipped;
  counts_.non_finite += counted.non_finite;
  return {};
}

Result<void, CoreError> SavedFile::commit() {
  if (flac_) {
    bytes_.clear();
    const auto info = flac_->finish(bytes_);
    if (auto written = write(bytes_); !written) return written;
    if (auto put = write_at(FlacStreamEncoder::kStreamInfoOffset, info); !put) return put;
  } else if (frames_ != header_frames_) {
    bytes_.clear();
    if (auto made = header(frames_, rf64_, bytes_); !made) return std::move(made).error();
    if (auto put = write_at(0, bytes_); !put) return put;
  }
  if (held_) {
    if (auto written = file_.write(*held_); !written) return written;
  }
  return file_.commit();
}

}  // namespace murello
