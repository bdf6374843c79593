#include "audiofile/container.hpp"

#include "audiofile/aiff/reader.hpp"
#include "audiofile/flac/decoder.hpp"
#include "audiofile/flac/metadata_reader.hpp"
#include "audiofile/riff.hpp"
#include "audiofile/wav/reader.hpp"

namespace murello {
namespace {

enum class Family { Wav, Aiff, Flac };

Result<Family, DecodeError> detect(std::span<const uint8_t> file) {
  constexpr uint64_t kHeaderBytes = 12;
  if (file.size() < kHeaderBytes) return DecodeError::truncated(kHeaderBytes, file.size());
  if (flac_marker_pos(file)) return Family::Flac;
  if (four_cc_is(file, 0, "FORM")) {
    if (four_cc_is(file, 8, "AIFF") || four_cc_is(file, 8, "AIFC")) return Family::Aiff;
    return DecodeError::unrecognised_container(four_cc_at(file, 8));
  }
  if (four_cc_is(file, 0, "RIFF") || four_cc_is(file, 0, "RF64")) {
    if (four_cc_is(file, 8, "WAVE")) return Family::Wav;
    return DecodeError::unrecognised_container(four_cc_at(file, 8));
  }
  return DecodeError::unrecognised_container(four_cc_at(file, 0));
}

}  // namespace

Result<DecodedAudio, DecodeError> decode_audio(std::span<const uint8_t> file) {
  auto family = detect(file);
  if (!family) return std::move(family).error();
  switch (*family) {
    case Family::Wav: return decode_wav(file);
    case Family::Aiff: return decode_aiff(file);
    case Family::Flac: return decode_flac(file);
  }
  return DecodeError::unrecognised_container(four_cc_at(file, 0));
}

Result<AudioHeader, DecodeError> read_audio_header(std::span<const uint8_t> file) {
  auto family = detect(file);
  if (!family) return std::move(family).error();
  switch (*family) {
    case Family::Wav: return read_wav_header(file);
    case Family::Aiff: return read_aiff_header(file);
    case Family::Flac: return read_flac_header(file);
  }
  return DecodeError::unrecognised_container(four_cc_at(file, 0));
}

}  // namespace murello
