#include "audiofile/flac/decorrelate.hpp"

#include "audiofile/flac/header_reader.hpp"

namespace murello {
namespace {

// Each loop reads two arrays and writes one, with no carried state, so it vectorises.
void undo_left_side(const int64_t* __restrict left, int64_t* __restrict side, size_t frames) {
  for (size_t i = 0; i < frames; ++i) side[i] = left[i] - side[i];
}

void undo_side_right(int64_t* __restrict side, const int64_t* __restrict right, size_t frames) {
  for (size_t i = 0; i < frames; ++i) side[i] = side[i] + right[i];
}

void undo_mid_side(int64_t* __restrict mid, int64_t* __restrict side, size_t frames) {
  for (size_t i = 0; i < frames; ++i) {
    // The side's low bit is the bit the encoder dropped from the mid sum.
    int64_t doubled = int64_t(uint64_t(mid[i]) << 1) | (side[i] & 1);
    int64_t s = side[i];
    mid[i] = (doubled + s) >> 1;
    side[i] = (doubled - s) >> 1;
  }
}

}  // namespace

void decorrelate_flac_channels(uint8_t channel_code, std::span<int64_t> first,
                               std::span<int64_t> second) {
  const size_t frames = first.size();
  switch (channel_code) {
    case FlacFrameFields::kLeftSide: undo_left_side(first.data(), second.data(), frames); break;
    case FlacFrameFields::kSideRight: undo_side_right(first.data(), second.data(), frames); break;
    case FlacFrameFields::kMidSide: undo_mid_side(first.data(), second.data(), frames); break;
    default: break;
  }
}

}  // namespace murello
