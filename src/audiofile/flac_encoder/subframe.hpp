// Choosing and writing one FLAC subframe: CONSTANT, VERBATIM, FIXED or LPC.
//
// Conventions: a subframe codes one channel of one block, `len` samples at `bits` bits
// per sample (the stream's depth, one more for a side channel). Costs are exact bit
// counts of the whole subframe. Sample is int32_t, or int64_t for a side channel of
// 32-bit audio. An encoder allocates its buffers at construction for blocks of up to
// `max_block_frames`; planning and writing do not allocate. Single-threaded.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "audiofile/flac_encoder/bit_writer.hpp"
#include "audiofile/flac_encoder/level.hpp"
#include "audiofile/flac_encoder/lpc.hpp"
#include "audiofile/flac_encoder/rice.hpp"

namespace murello {

enum class SubframeKind : uint8_t { Constant, Verbatim, Fixed, Lpc };

struct SubframePlan {
  SubframeKind kind = SubframeKind::Verbatim;
  unsigned sample_bits = 0;  // as coded, after removing wasted bits
  unsigned wasted_bits = 0;
  unsigned order = 0;        // FIXED and LPC
  QuantizedLpc lpc;          // LPC
  RicePlan rice;             // FIXED and LPC
  int64_t constant = 0;      // CONSTANT
  uint64_t bits = 0;
};

// The Tukey analysis windows of one level, shared by all channels and recomputed only
// when the block length changes.
class LpcWindows {
 public:
  LpcWindows(const FlacLevel& level, uint32_t max_block_frames);

  std::span<const double> window(unsigned index, uint32_t len);

 private:
  const FlacLevel& level_;
  std::vector<std::vector<double>> windows_;
  std::vector<uint32_t> lengths_;
};

template <class Sample>
class SubframeEncoder {
 public:
  SubframeEncoder(const FlacLevel& level, uint32_t max_block_frames);

  // Finds the cheapest subframe for x; the plan stays valid until the next call and
  // refers to x, which must stay alive until `write`.
  const SubframePlan& plan(std::span<const Sample> x, unsigned bits, LpcWindows& windows);

  void write(FlacBitWriter& writer) const;

 private:
  void try_fixed();
  void try_lpc(LpcWindows& windows);
  void try_lpc_order(unsigned order);
  // Keeps `candidate` (whose residuals are in candidate_folded_) when strictly cheaper.
  void keep_if_cheaper(const SubframePlan& candidate);
  uint64_t predicted_bits(unsigned order) const;

  const FlacLevel& level_;
  std::span<const Sample> samples_;  // after removing wasted bits
  uint64_t peak_ = 0;                // largest magnitude among samples_
  SubframePlan plan_;
  std::vector<Sample> shifted_;
  std::vector<uint32_t> best_folded_, candidate_folded_;
  std::vector<double> windowed_;
  LpcLadder ladder_;
  RiceSearch rice_;
};

extern template class SubframeEncoder<int32_t>;
extern template class SubframeEncoder<int64_t>;

}  // namespace murello
