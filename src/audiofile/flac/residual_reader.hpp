// The residual of a predicted FLAC subframe: partitioned Rice codes with escapes.
//
// Conventions: `samples` is one channel of one block (frames); the residuals are written
// to samples[order..]. Every residual fits 32 bits. Offsets in errors are bytes from the
// start of the file.
#pragma once

#include <cstdint>
#include <span>

#include "audiofile/flac/bitreader.hpp"
#include "audiofile/error.hpp"
#include "util/result.hpp"

namespace murello {

Result<void, DecodeError> read_flac_residual(BitReader& reader, unsigned order,
                                             std::span<int64_t> samples);

}  // namespace murello
