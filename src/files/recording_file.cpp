#include "files/recording_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "audiofile/aiff/writer.hpp"
#include "audiofile/sample.hpp"
#include "audiofile/wav/writer.hpp"
#include "files/decode_error.hpp"

namespace murello {
namespace {

constexpr uint8_t kBits = 16;
constexpr uint64_t kFrameBytesPerChannel = kBits / 8;
// A size limit of its own, so that it cannot be mistaken for an errno.
constexpr int kContainerFull = -1;

// Where `code` starts in a header the writers made, which holds it once.
size_t chunk_at(std::span<const uint8_t> header, const char (&code)[5]) {
  const auto found = std::search(header.begin(), header.end(), code, code + 4);
  return size_t(found - header.begin());
}

void store(std::array<uint8_t, 4>& field, uint32_t value, bool big_endian) {
  for (unsigned i = 0; i < 4; ++i) {
    field[big_endian ? 3 - i : i] = uint8_t(value >> (8 * i));
  }
}

}  // namespace

RecordingFile::RecordingFile(std::filesystem::path path, Descriptor file, Container container,
                             uint16_t channels, uint32_t rate_hz, SizeFields fields,
                             std::optional<FlacStreamEncoder> flac)
    : path_(std::move(path)),
      file_(std::move(file)),
      container_(container),
      channels_(channels),
      rate_hz_(rate_hz),
      fields_(fields),
      flac_(std::move(flac)) {}

RecordingFile::~RecordingFile() { (void)finish(); }

Result<RecordingFile, CoreError> RecordingFile::create(const std::filesystem::path& path,
                                                       Container container, uint32_t rate_hz,
                                                       uint16_t channels, uint8_t compression) {
  if (compression > kMaxFlacCompression) return CoreError(ErrorKind::FlacCompressionOutOfRange);
  std::vector<uint8_t> header;
  SizeFields fields;
  std::optional<FlacStreamEncoder> flac;
  if (container == Container::Flac) {
    auto encoder = FlacStreamEncoder::create({rate_hz, channels, kBits, compression});
    if (!encoder) return core_error_from_decode(encoder.error());
    encoder->begin(header);
    flac.emplace(std::move(encoder).value());
  } else {
    auto made = container == Container::Wav
                    ? write_wav({rate_hz, channels, WavSampleFormat::Pcm16, false, false}, {},
                                header)
                    : channels > std::numeric_limits<int16_t>::max()
                          ? Result<size_t, DecodeError>(
                                DecodeError::unsupported_channel_count(channels))
                          : write_aiff({rate_hz, static_cast<int16_t>(channels),
                                        AiffSampleFormat::Signed16Be},
                                       {}, header);
    if (!made) return core_error_from_decode(made.error());
    fields.header_bytes = header.size();
    if (container == Container::Wav) {
      fields.data_or_ssnd = chunk_at(header, "data") + 4;
    } else {
      fields.data_or_ssnd = chunk_at(header, "SSND") + 4;
      fields.comm_frames = chunk_at(header, "COMM") + 10;  // after the size and channels
    }
  }
  Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!file.is_open()) return CoreError(ErrorKind::FileWriteFailed, path, os_error_text(errno));
  RecordingFile recording(path, std::move(file), container, channels, rate_hz, fields,
                          std::move(flac));
  if (auto written = recording.write_bytes(header); !written) return std::move(written).error();
  return recording;
}

CoreError RecordingFile::failed(int error) const {
  if (error == kContainerFull) {
    return CoreError(ErrorKind::FileWriteFailed, path_,
                     "a WAV or AIFF file holds at most 4 GiB of audio; record FLAC for more");
  }
  return CoreError(ErrorKind::FileWriteFailed, path_, os_error_text(error));
}

Result<void, CoreError> RecordingFile::write_bytes(std::span<const uint8_t> bytes) {
  size_t written = 0;
  const int error = write_all(file_.get(), bytes.data(), bytes.size(), written);
  written_bytes_ += written;
  if (error != 0) {
    error_ = error;
    return failed(error);
  }
  return {};
}

Result<void, CoreError> RecordingFile::append(std::span<const float> samples) {
  if (error_ != 0) return failed(error_);
  if (finished()) return CoreError(ErrorKind::FileWriteFailed, path_, "the recording is finished");
  const size_t frames = samples.size() / channels_;
  samples = samples.first(frames * channels_);
  bytes_.clear();
  if (flac_) {
    flac_->push(samples, bytes_);
    const uint64_t whole = written_bytes_;
    if (auto written = write_bytes(bytes_); !written) {
      written_bytes_ = whole;  // a FLAC frame cut short is no frame at all
      return written;
    }
    frames_written_ = flac_->frames_encoded();
    return {};
  }
  const uint64_t frame_bytes = kFrameBytesPerChannel * channels_;
  if (written_bytes_ + frames * frame_bytes > std::numeric_limits<uint32_t>::max()) {
    error_ = kContainerFull;
    return failed(error_);
  }
  encode_samples(container_ == Container::Wav ? SampleEncoding::Signed16Le
                                              : SampleEncoding::Signed16Be,
                 samples, bytes_);
  const auto written = write_bytes(bytes_);
  frames_written_ = (written_bytes_ - fields_.header_bytes) / frame_bytes;
  if (!written) return written;
  // Every second of audio, so that a file left behind by a killed recorder reads.
  if (frames_written_ - frames_in_header_ >= rate_hz_) return write_sizes();
  return {};
}

Result<void, CoreError> RecordingFile::put_field(size_t offset, uint32_t value) {
  std::array<uint8_t, 4> field{};
  store(field, value, container_ == Container::Aiff);
  // Within the bytes already written: a full disk or a size limit cannot refuse it.
  if (::pwrite(file_.get(), field.data(), field.size(), off_t(offset)) != 4) {
    return failed(errno != 0 ? errno : EIO);
  }
  return {};
}

Result<void, CoreError> RecordingFile::write_sizes() {
  const uint64_t data_bytes = frames_written_ * kFrameBytesPerChannel * channels_;
  const auto riff_or_form = uint32_t(fields_.header_bytes - 8 + data_bytes);
  // The SSND chunk's size counts its offset and block-size fields too.
  const auto chunk = uint32_t(data_bytes + (container_ == Container::Aiff ? 8 : 0));
  if (auto put = put_field(fields_.riff_or_form, riff_or_form); !put) return put;
  if (auto put = put_field(fields_.data_or_ssnd, chunk); !put) return put;
  if (fields_.comm_frames) {
    if (auto put = put_field(*fields_.comm_frames, uint32_t(frames_written_)); !put) return put;
  }
  frames_in_header_ = frames_written_;
  return {};
}

Result<void, CoreError> RecordingFile::put_stream_info(
    const FlacStreamEncoder::StreamInfo& info) {
  if (::pwrite(file_.get(), info.data(), info.size(),
               off_t(FlacStreamEncoder::kStreamInfoOffset)) != off_t(info.size())) {
    return failed(errno != 0 ? errno : EIO);
  }
  return {};
}

Result<void, CoreError> RecordingFile::complete() {
  if (!flac_) return write_sizes();
  bytes_.clear();
  const auto info = flac_->finish(bytes_);
  const uint64_t whole = written_bytes_;
  if (auto written = write_bytes(bytes_); !written) {
    written_bytes_ = whole;
    return written;
  }
  frames_written_ = flac_->frames_encoded();
  return put_stream_info(info);
}

// Cuts the file back to the last whole frame (WAV, AIFF) or FLAC frame written before a
// failure, and declares exactly that. A FLAC stream so cut carries no checksum: the one
// kept covers samples that were lost.
Result<void, CoreError> RecordingFile::salvage() {
  uint64_t keep = written_bytes_;
  if (!flac_) keep = fields_.header_bytes + frames_written_ * kFrameBytesPerChannel * channels_;
  if (::ftruncate(file_.get(), off_t(keep)) != 0) return failed(errno);
  return flac_ ? put_stream_info(flac_->declared_only(frames_written_)) : write_sizes();
}

Result<void, CoreError> RecordingFile::finish() {
  if (finished()) return {};
  Result<void, CoreError> done;
  if (error_ == 0) done = complete();
  if (error_ != 0) {
    auto salvaged = salvage();
    if (done && !salvaged) done = std::move(salvaged);
  }
  if (done && ::fdatasync(file_.get()) != 0) done = failed(errno);
  const int closed = file_.close();
  if (done && closed != 0) done = failed(closed);
  return done;
}

}  // namespace murello
