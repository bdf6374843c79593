#include "audiofile/flac_encoder/frame.hpp"

#include <cmath>

#include "audiofile/flac_encoder/frame_header.hpp"

namespace murello {
namespace {

constexpr unsigned kPairingCount = 4;
constexpr unsigned kMaxHeaderBytes = 16;  // sync to CRC-8, with a 7-byte frame number
constexpr unsigned kFooterBytes = 1 + 2;  // padding, CRC-16

unsigned channel_code(ChannelPairing pairing, unsigned channels) {
  switch (pairing) {
    case ChannelPairing::LeftSide: return 8;
    case ChannelPairing::SideRight: return 9;
    case ChannelPairing::MidSide: return 10;
    case ChannelPairing::LeftRight: break;
  }
  return channels - 1;
}

// Index of the smallest cost; the first wins ties, matching the pairing order.
template <class Cost>
ChannelPairing cheapest(const Cost (&costs)[kPairingCount]) {
  unsigned best = 0;
  for (unsigned i = 1; i < kPairingCount; ++i)
    if (costs[i] < costs[best]) best = i;
  return ChannelPairing(best);
}

}  // namespace

template <class Sample>
double estimate_channel_bits(std::span<const Sample> x) {
  const size_t len = x.size();
  if (len <= 2) return double(len) * 8.0;
  uint64_t total = 0;
  for (size_t n = 2; n < len; ++n) {
    int64_t d = int64_t(x[n]) - 2 * int64_t(x[n - 1]) + int64_t(x[n - 2]);
    total += uint64_t(d < 0 ? -d : d);
  }
  double mean = double(total) / double(len - 2);
  return double(len) * (std::log2(mean + 1.0) + 2.0);
}

template double estimate_channel_bits<int32_t>(std::span<const int32_t>);
template double estimate_channel_bits<int64_t>(std::span<const int64_t>);

FlacFrameEncoder::FlacFrameEncoder(const FlacLevel& level, unsigned channels,
                                   unsigned bits_per_sample, uint32_t sample_rate_hz)
    : level_(level),
      channels_(channels),
      bits_(bits_per_sample),
      sample_rate_hz_(sample_rate_hz),
      mid_(channels),
      side_(channels + 1),
      windows_(level, level.block_frames) {
  bool stereo = channels == 2 && level.stereo != StereoMode::Independent;
  bool wide = stereo && bits_per_sample == 32;
  unsigned narrow = channels + (stereo ? (wide ? 1 : 2) : 0);
  planar_.assign(narrow, std::vector<int32_t>(level.block_frames));
  encoders_.reserve(narrow);
  for (unsigned i = 0; i < narrow; ++i) encoders_.emplace_back(level, level.block_frames);
  if (wide) {
    wide_side_.resize(level.block_frames);
    wide_side_encoder_ = std::make_unique<SubframeEncoder<int64_t>>(level, level.block_frames);
  }
}

void FlacFrameEncoder::deinterleave(std::span<const int32_t> interleaved, uint32_t frames) {
  for (unsigned c = 0; c < channels_; ++c) {
    int32_t* out = planar_[c].data();
    const int32_t* in = interleaved.data() + c;
    for (uint32_t n = 0; n < frames; ++n) out[n] = in[size_t(n) * channels_];
  }
  if (planar_.size() == channels_) return;
  const int32_t* left = planar_[0].data();
  const int32_t* right = planar_[1].data();
  int32_t* mid = planar_[mid_].data();
  for (uint32_t n = 0; n < frames; ++n) mid[n] = int32_t((int64_t(left[n]) + right[n]) >> 1);
  if (wide_side_encoder_) {
    for (uint32_t n = 0; n < frames; ++n) wide_side_[n] = int64_t(left[n]) - right[n];
  } else {
    int32_t* side = planar_[side_].data();
    for (uint32_t n = 0; n < frames; ++n) side[n] = left[n] - right[n];
  }
}

uint64_t FlacFrameEncoder::plan_channel(unsigned index, uint32_t frames, unsigned bits) {
  std::span<const int32_t> x(planar_[index].data(), frames);
  return encoders_[index].plan(x, bits, windows_).bits;
}

uint64_t FlacFrameEncoder::side_plan(uint32_t frames) {
  if (!wide_side_encoder_) return plan_channel(side_, frames, bits_ + 1);
  std::span<const int64_t> x(wide_side_.data(), frames);
  return wide_side_encoder_->plan(x, bits_ + 1, windows_).bits;
}

void FlacFrameEncoder::plan_independent(uint32_t frames) {
  for (unsigned c = 0; c < channels_; ++c) planned_bits_ += plan_channel(c, frames, bits_);
}

void FlacFrameEncoder::plan_pairing(ChannelPairing pairing, uint32_t frames) {
  switch (pairing) {
    case ChannelPairing::LeftRight: plan_independent(frames); break;
    case ChannelPairing::LeftSide:
      planned_bits_ += plan_channel(0, frames, bits_) + side_plan(frames);
      break;
    case ChannelPairing::SideRight:
      planned_bits_ += side_plan(frames) + plan_channel(1, frames, bits_);
      break;
    case ChannelPairing::MidSide:
      planned_bits_ += plan_channel(mid_, frames, bits_) + side_plan(frames);
      break;
  }
}

ChannelPairing FlacFrameEncoder::choose_pairing(uint32_t frames) {
  if (level_.stereo == StereoMode::Exhaustive) {
    // Each candidate channel is planned once; the chosen pairing's plans are then written.
    uint64_t left = plan_channel(0, frames, bits_);
    uint64_t right = plan_channel(1, frames, bits_);
    uint64_t mid = plan_channel(mid_, frames, bits_);
    uint64_t side = side_plan(frames);
    const uint64_t costs[kPairingCount] = {left + right, left + side, side + right, mid + side};
    ChannelPairing pairing = cheapest(costs);
    planned_bits_ += costs[unsigned(pairing)];
    return pairing;
  }
  auto estimate = [&](unsigned index) {
    return estimate_channel_bits(std::span<const int32_t>(planar_[index].data(), frames));
  };
  double left = estimate(0), right = estimate(1), mid = estimate(mid_);
  double side = wide_side_encoder_
                    ? estimate_channel_bits(std::span<const int64_t>(wide_side_.data(), frames))
                    : estimate(side_);
  const double costs[kPairingCount] = {left + right, left + side, side + right, mid + side};
  ChannelPairing pairing = cheapest(costs);
  plan_pairing(pairing, frames);
  return pairing;
}

void FlacFrameEncoder::write_subframes(FlacBitWriter& writer, ChannelPairing pairing) const {
  auto side = [&] {
    if (wide_side_encoder_)
      wide_side_encoder_->write(writer);
    else
      encoders_[side_].write(writer);
  };
  switch (pairing) {
    case ChannelPairing::LeftRight:
      for (unsigned c = 0; c < channels_; ++c) encoders_[c].write(writer);
      break;
    case ChannelPairing::LeftSide:
      encoders_[0].write(writer);
      side();
      break;
    case ChannelPairing::SideRight:
      side();
      encoders_[1].write(writer);
      break;
    case ChannelPairing::MidSide:
      encoders_[mid_].write(writer);
      side();
      break;
  }
}

size_t FlacFrameEncoder::encode(std::span<const int32_t> interleaved, uint32_t frames,
                                uint64_t frame_number, FlacBitWriter& writer) {
  deinterleave(interleaved, frames);
  planned_bits_ = 0;
  ChannelPairing pairing = ChannelPairing::LeftRight;
  if (planar_.size() > channels_)
    pairing = choose_pairing(frames);
  else
    plan_independent(frames);

  size_t frame_start = writer.bytes().size();
  writer.begin(kMaxHeaderBytes + planned_bits_ / 8 + kFooterBytes);
  FlacFrameHeader header;
  header.block_frames = frames;
  header.sample_rate_hz = sample_rate_hz_;
  header.channel_code = channel_code(pairing, channels_);
  header.bits_per_sample = bits_;
  header.frame_number = frame_number;
  write_flac_frame_header(writer, header, frame_start);
  write_subframes(writer, pairing);
  write_flac_frame_footer(writer, frame_start);
  writer.finish();
  return writer.bytes().size() - frame_start;
}

}  // namespace murello
