#include "decode/flac.hpp"

namespace murello {

// Placeholder until the decoder lands.
Result<DecodedAudio, DecodeError> decode_flac(std::span<const uint8_t>) {
  return DecodeError::unsupported_codec(ContainerName::four_cc({'f', 'L', 'a', 'C'}));
}

}  // namespace murello
