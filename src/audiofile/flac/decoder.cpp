#include "audiofile/flac/decoder.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "audiofile/flac/bitreader.hpp"
#include "audiofile/flac/frame_reader.hpp"
#include "audiofile/flac/header_reader.hpp"
#include "audiofile/flac/metadata_reader.hpp"
#include "audiofile/flac/sink.hpp"

namespace murello {
namespace {

constexpr uint32_t kShortBlockFrames = 16;
constexpr const char* kExactTotal = "a stream holding exactly the declared total number of samples";

bool frame_sync_at(std::span<const uint8_t> file, size_t at) {
  return file.size() - at >= 2 && file[at] == 0xFF && (file[at + 1] & 0xFE) == 0xF8;
}

// A long decode writes hundreds of megabytes of fresh memory; faulting it in as huge
// pages saves most of the page faults. Only a hint: the kernel may ignore it.
void advise_huge_pages(std::vector<float>& samples) {
  constexpr uintptr_t kHugePageBytes = uintptr_t(2) << 20;
  uintptr_t begin = reinterpret_cast<uintptr_t>(samples.data());
  uintptr_t end = begin + samples.capacity() * sizeof(float);
  uintptr_t first = (begin + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  uintptr_t last = end & ~(kHugePageBytes - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace

FlacFrameDecoder::FlacFrameDecoder(std::span<const uint8_t> file, const FlacMetadata& metadata)
    : file_(file),
      info_(metadata.info),
      at_(metadata.frames_offset),
      last_frame_start_(metadata.frames_offset),
      planar_(size_t(info_.channels) * info_.max_block_size_frames),
      sink_(info_.channels, info_.bits_per_sample, info_.has_md5(), info_.total_frames) {}

Result<std::unique_ptr<FlacFrameDecoder>, DecodeError> FlacFrameDecoder::open(
    std::span<const uint8_t> file) {
  auto metadata = read_flac_metadata(file);
  if (!metadata) return std::move(metadata).error();
  return std::unique_ptr<FlacFrameDecoder>(new FlacFrameDecoder(file, *metadata));
}

Result<bool, DecodeError> FlacFrameDecoder::next(std::vector<float>& out) {
  const uint64_t total = info_.total_frames;
  if (at_ >= file_.size() || (total != 0 && decoded_frames_ >= total)) return false;
  last_frame_start_ = at_;
  auto end = decode_frame(at_, out);
  if (!end) return std::move(end).error();
  at_ = *end;
  return true;
}

Result<void, DecodeError> FlacFrameDecoder::finish() {
  if (partial_) return {};
  if (info_.total_frames > 0)
    if (auto totals = check_totals(); !totals) return totals;
  if (info_.has_md5() && sink_.finish_md5() != info_.md5)
    return DecodeError::malformed(info_.md5_offset,
                                  "decoded audio matching the streaminfo MD5 checksum");
  return {};
}

Result<uint64_t, DecodeError> FlacFrameDecoder::seek(uint64_t target) {
  if (at_ >= file_.size() || target == 0) return 0;
  size_t at = at_;
  BitReader reader(file_, at);
  auto first = read_flac_frame_fields(file_, reader);
  if (!first) return std::move(first).error();
  FlacFrameFields fields = *first;
  const bool variable = fields.variable_blocking;
  // A stream of fixed blocking numbers its frames; all but the last have the first's size.
  const uint64_t fixed_block_frames = fields.block_size_frames;
  auto first_sample = [&](const FlacFrameFields& f) {
    return variable ? f.coded_number : f.coded_number * fixed_block_frames;
  };
  uint64_t sample = first_sample(fields);
  while (sample + fields.block_size_frames <= target) {
    const uint64_t expected =
        variable ? sample + fields.block_size_frames : fields.coded_number + 1;
    auto next = find_frame(at + 2, variable, expected);
    if (!next) break;
    at = next->first;
    fields = next->second;
    sample = first_sample(fields);
  }
  at_ = at;
  last_frame_start_ = at;
  decoded_frames_ = sample;
  partial_ = true;
  return sample;
}

std::optional<std::pair<size_t, FlacFrameFields>> FlacFrameDecoder::find_frame(
    size_t from, bool variable, uint64_t expected) const {
  const uint8_t second = variable ? 0xF9 : 0xF8;
  for (size_t at = from; at + 1 < file_.size(); ++at) {
    const void* found = std::memchr(file_.data() + at, 0xFF, file_.size() - at - 1);
    if (found == nullptr) return std::nullopt;
    at = static_cast<size_t>(static_cast<const uint8_t*>(found) - file_.data());
    if (file_[at + 1] != second) continue;
    BitReader reader(file_, at);
    auto fields = read_flac_frame_fields(file_, reader);
    if (fields && fields->coded_number == expected && fields->channel_count() == info_.channels) {
      return std::make_pair(at, *fields);
    }
  }
  return std::nullopt;
}

Result<void, DecodeError> FlacFrameDecoder::check_totals() const {
  if (frame_sync_at(file_, at_)) return DecodeError::malformed(at_, kExactTotal);
  if (decoded_frames_ > info_.total_frames)
    return DecodeError::malformed(last_frame_start_, kExactTotal);
  if (decoded_frames_ < info_.total_frames)
    return DecodeError::truncated(info_.total_frames, decoded_frames_);
  return {};
}

Result<size_t, DecodeError> FlacFrameDecoder::decode_frame(size_t start,
                                                          std::vector<float>& out) {
  BitReader reader(file_, start);
  auto header = read_flac_frame_fields(file_, reader);
  if (!header) return std::move(header).error();
  if (auto consistent = check_consistency(*header, start); !consistent)
    return std::move(consistent).error();
  if (!seen_frame_) variable_blocking_ = header->variable_blocking;
  seen_frame_ = true;

  const size_t frames = header->block_size_frames;
  std::array<std::span<int64_t>, 8> channels;
  for (size_t c = 0; c < info_.channels; ++c)
    channels[c] = std::span(planar_.data() + c * info_.max_block_size_frames, frames);
  std::span<const std::span<int64_t>> used(channels.data(), info_.channels);
  auto end = read_flac_frame_body(file_, reader, *header, info_.bits_per_sample, used);
  if (!end) return end;

  std::array<std::span<const int64_t>, 8> block;
  std::copy(channels.begin(), channels.end(), block.begin());
  sink_.append(std::span(block.data(), info_.channels), out);
  after_short_frame_ = frames < kShortBlockFrames;
  decoded_frames_ += frames;
  return end;
}

Result<void, DecodeError> FlacFrameDecoder::check_consistency(const FlacFrameFields& header,
                                                               size_t start) const {
  auto fail = [start](const char* expectation) { return DecodeError::malformed(start, expectation); };
  if (seen_frame_ && header.variable_blocking != variable_blocking_)
    return fail("an unchanging blocking strategy");
  if (after_short_frame_) return fail("no frame after one shorter than the minimum block size");
  if (header.channel_count() != info_.channels) return fail("a channel count matching streaminfo");
  if (header.bits_per_sample != 0 && header.bits_per_sample != info_.bits_per_sample)
    return fail("a bit depth matching streaminfo");
  if (header.rate_given && header.sample_rate_hz != info_.sample_rate_hz)
    return fail("a sample rate matching streaminfo");
  if (header.block_size_frames > info_.max_block_size_frames)
    return fail("a block size no larger than the streaminfo maximum");
  return {};
}

Result<DecodedAudio, DecodeError> decode_flac(std::span<const uint8_t> file) {
  auto decoder = FlacFrameDecoder::open(file);
  if (!decoder) return std::move(decoder).error();
  const FlacStreamInfo& info = (*decoder)->info();
  DecodedAudio audio;
  audio.sample_rate_hz = info.sample_rate_hz;
  audio.channels = info.channels;
  // A hostile total must not drive the reservation: it is capped at two samples per
  // input byte, more than typical streams need; highly compressed ones grow as usual.
  const uint64_t declared = info.total_frames * info.channels;
  audio.samples.reserve(size_t(std::min<uint64_t>(declared, uint64_t(file.size()) * 2)));
  advise_huge_pages(audio.samples);
  while (true) {
    auto more = (*decoder)->next(audio.samples);
    if (!more) return std::move(more).error();
    if (!*more) break;
  }
  if (auto finished = (*decoder)->finish(); !finished) return std::move(finished).error();
  return audio;
}

Result<AudioHeader, DecodeError> read_flac_header(std::span<const uint8_t> file) {
  auto metadata = read_flac_metadata(file);
  if (!metadata) return std::move(metadata).error();
  const FlacStreamInfo& info = metadata->info;
  AudioHeader header;
  header.container = ContainerKind::Flac;
  header.sample_rate_hz = info.sample_rate_hz;
  header.channels = info.channels;
  if (info.total_frames != 0) header.frames = info.total_frames;
  header.bits_per_sample = info.bits_per_sample;
  header.coding = SampleCoding::SignedPcm;
  return header;
}

}  // namespace murello
