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

#include "audiofile/flac_encoder/bit_writer.hpp"

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
// by walking downhill. The partitions of the highest order compute their sums lazily,
// several parameters per pass; lower orders add the sums of their halves over the range
// of parameters that convexity leaves possible. Allocates once, at construction.
class RiceSearch {
 public:
  RiceSearch();

  RicePlan plan(std::span<const uint32_t> folded, uint32_t block_frames,
                unsigned predictor_order, unsigned max_partition_order);

 private:
  // Position of partition `index` at `order` within the tables (a binary heap).
  static unsigned node(unsigned order, unsigned index) { return (1u << order) - 1 + index; }

  uint64_t leaf_sum(unsigned index, unsigned k);
  uint64_t cost(unsigned order, unsigned index, unsigned k);
  unsigned walk(unsigned order, unsigned index, unsigned k, unsigned lowest, unsigned highest);
  void search_leaves();
  void merge(unsigned order);
  RicePlan plan_at(unsigned order);

  std::span<const uint32_t> folded_;
  uint32_t block_frames_ = 0;
  unsigned predictor_order_ = 0;
  unsigned top_order_ = 0;
  size_t narrow_run_ = 0;        // values per 32-bit partial sum; 0: 64-bit sums only
  unsigned lowest_ = 0, highest_ = 0;  // parameter range of the merged orders
  std::vector<uint64_t> sums_;   // [node][k]
  std::vector<uint32_t> known_;  // [leaf]: bit k set when the leaf's sum for k is valid
  std::vector<uint8_t> best_;    // [node]: best parameter
};

// Writes the residual section (method, partition order, partitions) of a plan.
void write_rice_residual(FlacBitWriter& writer, const RicePlan& plan,
                         std::span<const uint32_t> folded, uint32_t block_frames,
                         unsigned predictor_order);

}  // namespace murello
