// Rice coding of FLAC residuals: the partition search and the writer.
//
// Conventions: residuals arrive folded (2r for r >= 0, -2r - 1 otherwise) as unsigned
// 32-bit values, one per sample after the predictor's warm-up, so a block of
// `block_frames` samples with predictor order p has block_frames - p of them. Costs are
// exact bit counts of the residual section, including its 2-bit method and 4-bit
// partition order. Escape codes are never chosen.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "decode/flac_enc_bit_writer.hpp"

namespace murello {

inline constexpr unsigned kMaxRicePartitionOrder = 6;
inline constexpr unsigned kMaxRiceParameter = 30;  // the 5-bit method's largest non-escape

struct RicePlan {
  unsigned partition_order = 0;
  unsigned parameter_bits = 4;  // 4 (coding method 0) or 5 (method 1)
  std::array<uint8_t, 1u << kMaxRicePartitionOrder> parameters{};
  uint64_t bits = 0;
};

// Finds the cheapest partitioning and parameters. Per partition the cost of parameter k is
// count * (k + 1) + sum(u >> k), which is convex in k, so each partition's best k is found
// by walking downhill from an estimate. The sums are memoised per (partition, k): sums of
// merged partitions are the sums of their halves, so lower orders reuse what higher
// orders computed. Allocates once, at construction.
class RiceSearch {
 public:
  RiceSearch();

  RicePlan plan(std::span<const uint32_t> folded, uint32_t block_frames,
                unsigned predictor_order, unsigned max_partition_order);

 private:
  // Position of partition `index` at `order` within the memo tables (a binary heap).
  static unsigned node(unsigned order, unsigned index) { return (1u << order) - 1 + index; }

  uint64_t sum(unsigned order, unsigned index, unsigned k);
  uint64_t cost(unsigned order, unsigned index, unsigned k);
  unsigned best_parameter(unsigned order, unsigned index);
  RicePlan plan_at(unsigned order);

  std::span<const uint32_t> folded_;
  uint32_t block_frames_ = 0;
  unsigned predictor_order_ = 0;
  unsigned top_order_ = 0;
  bool narrow_ = false;          // every value below 2^25
  std::vector<uint64_t> sums_;   // [node][k]
  std::vector<uint32_t> known_;  // [node]: bit k set when sums_[node][k] is valid
};

// Writes the residual section (method, partition order, partitions) of a plan.
void write_rice_residual(FlacBitWriter& writer, const RicePlan& plan,
                         std::span<const uint32_t> folded, uint32_t block_frames,
                         unsigned predictor_order);

}  // namespace murello
