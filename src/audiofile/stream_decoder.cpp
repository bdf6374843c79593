#include "audiofile/stream_decoder.hpp"

#include <algorithm>
#include <utility>

#include "audiofile/aiff/reader.hpp"
#include "audiofile/container.hpp"
#include "audiofile/sample.hpp"
#include "audiofile/wav/reader.hpp"

namespace murello {

AudioStreamDecoder::AudioStreamDecoder(AudioHeader header, SampleRegion region,
                                       std::unique_ptr<FlacFrameDecoder> flac,
                                       std::span<const uint8_t> file)
    : header_(header), region_(region), flac_(std::move(flac)), file_(file) {}

Result<AudioStreamDecoder, DecodeError> AudioStreamDecoder::open(std::span<const uint8_t> file) {
  auto header = read_audio_header(file);
  if (!header) return std::move(header).error();
  switch (header->container) {
    case ContainerKind::Flac: {
      auto flac = FlacFrameDecoder::open(file);
      if (!flac) return std::move(flac).error();
      return AudioStreamDecoder(*header, {}, std::move(flac).value(), file);
    }
    case ContainerKind::Wav:
    case ContainerKind::Rf64: {
      auto region = read_wav_region(file);
      if (!region) return std::move(region).error();
      return AudioStreamDecoder(*header, *region, nullptr, file);
    }
    case ContainerKind::Aiff:
    case ContainerKind::Aifc: {
      auto region = read_aiff_region(file);
      if (!region) return std::move(region).error();
      return AudioStreamDecoder(*header, *region, nullptr, file);
    }
  }
  return DecodeError::unrecognised_container({});
}

Result<void, DecodeError> AudioStreamDecoder::seek(uint64_t frame) {
  if (flac_) {
    auto first = flac_->seek(frame);
    if (!first) return std::move(first).error();
    skip_frames_ = frame - *first;
    return {};
  }
  const uint64_t frame_bytes = uint64_t{header_.channels} * region_.layout.width_bytes();
  const uint64_t frames = region_.size_bytes / frame_bytes;
  region_read_bytes_ = std::min(frame, frames) * frame_bytes;
  return {};
}

Result<bool, DecodeError> AudioStreamDecoder::next(size_t frames, std::vector<float>& out) {
  if (flac_) {
    const size_t from = out.size();
    const size_t wanted = from + std::max<size_t>(frames, 1) * header_.channels;
    bool any = false;
    while (out.size() < wanted) {
      auto more = flac_->next(out);
      if (!more) return std::move(more).error();
      if (!*more) break;
      if (skip_frames_ > 0) {  // what precedes a seek's target
        const uint64_t dropped = std::min<uint64_t>(skip_frames_, (out.size() - from) / header_.channels);
        out.erase(out.begin() + static_cast<std::ptrdiff_t>(from),
                  out.begin() + static_cast<std::ptrdiff_t>(from + dropped * header_.channels));
        skip_frames_ -= dropped;
      }
      any = any || out.size() > from;
    }
    return any;
  }
  const uint64_t frame_bytes = uint64_t{header_.channels} * region_.layout.width_bytes();
  const uint64_t left = region_.size_bytes - region_read_bytes_;
  if (left == 0) return false;
  const uint64_t take = std::min<uint64_t>(left, std::max<size_t>(frames, 1) * frame_bytes);
  decode_layout(region_.layout,
                file_.subspan(region_.offset_bytes + region_read_bytes_, take), out);
  region_read_bytes_ += take;
  return true;
}

Result<void, DecodeError> AudioStreamDecoder::finish() {
  if (flac_) return flac_->finish();
  return {};
}

uint64_t AudioStreamDecoder::consumed_bytes() const {
  return flac_ ? flac_->position() : region_.offset_bytes + region_read_bytes_;
}

}  // namespace murello
