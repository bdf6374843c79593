#include "files/decode_error.hpp"

namespace murello {

CoreError core_error_from_decode(const DecodeError& error) {
  switch (error.kind) {
    case DecodeError::Kind::Malformed:
      return CoreError(ErrorKind::AudioFileMalformed, error.display());
    case DecodeError::Kind::Truncated:
      return CoreError(ErrorKind::AudioFileTruncated, error.display());
    case DecodeError::Kind::UnrecognisedContainer:
    case DecodeError::Kind::UnsupportedCodec:
    case DecodeError::Kind::UnsupportedBitDepth:
    case DecodeError::Kind::UnsupportedChannelCount:
      break;
  }
  return CoreError(ErrorKind::AudioFormatUnsupported, error.display());
}

}  // namespace murello
