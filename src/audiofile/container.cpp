#include "audiofile/container.hpp"

#include "audiofile/aiff/reader.hpp"
#include "audiofile/flac/decoder.hpp"
#include "audiofile/riff.hpp"
#include "audiofile/wav/reader.hpp"

namespace murello {

Result<DecodedAudio, DecodeError> decode_audio(std::span<const uint8_t> file) {
  constexpr uint64_t kHeaderBytes = 12;
  if (file.size() < kHeaderBytes) return DecodeError::truncated(kHeaderBytes, file.size());
  if (four_cc_is(file, 0, "fLaC")) return decode_flac(file);
  if (four_cc_is(file, 0, "FORM")) {
    if (four_cc_is(file, 8, "AIFF") || four_cc_is(file, 8, "AIFC")) return decode_aiff(file);
    return DecodeError::unrecognised_container(four_cc_at(file, 8));
  }
  if (four_cc_is(file, 0, "RIFF") || four_cc_is(file, 0, "RF64")) {
    if (four_cc_is(file, 8, "WAVE")) return decode_wav(file);
    return DecodeError::unrecognised_container(four_cc_at(file, 8));
  }
  return DecodeError::unrecognised_container(four_cc_at(file, 0));
}

}  // namespace murello
