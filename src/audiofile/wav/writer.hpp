// write_wav: a WAV file image (plain RIFF, or RF64; PCM, float or G.711; optionally
// WAVE_FORMAT_EXTENSIBLE) from float samples.
//
// Conventions: samples are float32, frame-interleaved (channel 0 first), full scale
// -1.0..+1.0, encoded as the format's layout does (clamped, truncated toward zero;
// floats stored as they are). Counts are samples unless named frames; sizes are bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "audiofile/error.hpp"
#include "audiofile/wav/reader.hpp"
#include "util/result.hpp"

namespace murello {

struct WavWriteRequest {
  uint32_t sample_rate_hz = 0;
  uint16_t channels = 0;
  WavSampleFormat format = WavSampleFormat::Pcm16;
  bool extensible = false;  // fmt chunk as WAVE_FORMAT_EXTENSIBLE with a SubFormat GUID
  bool force_rf64 = false;  // RF64 even when a plain RIFF size would fit
};

// Sizes of the file image for `data_bytes` of samples, and whether it must be RF64.
struct WavLayout {
  uint64_t data_bytes = 0;
  uint64_t riff_bytes = 0;  // the RIFF size field, or the ds64 riffSize for RF64
  bool rf64 = false;
  bool padded = false;      // an odd data chunk is followed by one zero byte
};

WavLayout wav_layout(uint64_t data_bytes, bool extensible, bool force_rf64);

// Appends the file image to `out` and returns its size. Errors, checked in this order
// before anything is appended: UnsupportedChannelCount (no channels, or a frame of
// 65536 bytes or more); Malformed at byte 24 (sample rate 0); Truncated (a partial
// frame: needed the frame's bytes, available the bytes of the samples left over).
Result<size_t, DecodeError> write_wav(const WavWriteRequest& request,
                                      std::span<const float> samples, std::vector<uint8_t>& out);

// Appends only the header of the file image write_wav makes for `frames` frames (all
// but the samples and the pad byte), for a writer that streams the samples after it.
// Errors as write_wav's, but for the partial frame.
Result<size_t, DecodeError> write_wav_header(const WavWriteRequest& request, uint64_t frames,
                                             std::vector<uint8_t>& out);

}  // namespace murello
