// Reading one FLAC subframe: the samples of one channel of one frame.
//
// Conventions: `samples` has one slot per frame of the block; `bits` is the subframe's
// bit depth (the frame's, plus one for a side channel; 4..33). Offsets in errors are
// bytes from the start of the file.
#pragma once

#include <cstdint>
#include <span>

#include "audiofile/flac/bitreader.hpp"
#include "audiofile/error.hpp"
#include "util/result.hpp"

namespace murello {

// Reads a subframe header and body and leaves the decoded samples in `samples`.
Result<void, DecodeError> read_flac_subframe(BitReader& reader, unsigned bits,
                                             std::span<int64_t> samples);

}  // namespace murello
