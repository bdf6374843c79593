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
// count * (k + 1) + T(k), with T(k) = sum(u >> k); the cost is convex in k, so the best
// (smallest) k is the first whose step to k + 1 saves no more than `count` bits, that is
// T(k) - T(k + 1) <= count. A merged partition's best k lies between its halves', so
// every order needs only the sums of the range of parameters that brackets the best k of
// every highest-order partition. The search starts from the range the previous search
// settled on (residuals of one channel are alike in size) and widens it until it brackets
// them all; the sums are taken for all partitions and parameters of the range in a few
// passes over the values. Allocates once, at construction.
class RiceSearch {
 public:
  RiceSearch();

  // `ones` holds every bit set in any folded value (more bits do no harm).
  RicePlan plan(std::span<const uint32_t> folded, uint32_t ones, uint32_t block_frames,
                unsigned predictor_order, unsigned max_partition_order);

  // Most sums taken in one pass over the values; the tables hold that many parameters
  // beyond the largest, so a pass never checks where they end.
  static constexpr unsigned kFused = 4;
  static constexpr unsigned kParameterRows = kMaxRiceParameter + kFused;
  // The partitions of every order, as a binary heap: order o's start at 2^o - 1.
  static constexpr unsigned kNodes = (2u << kMaxRicePartitionOrder) - 1;
  static constexpr unsigned kNodeStride = kNodes + 1;

 private:
  static unsigned first_node(unsigned order) { return (1u << order) - 1; }
  uint64_t* sums(unsigned k) { return &sums_[size_t(k) * kNodeStride]; }

  void guess_range();
  void cover(unsigned first, unsigned last);
  void count_values(unsigned order);
  void find_parameters(unsigned order);
  void settle_leaves();
  void merge(unsigned order);
  uint64_t order_bits(unsigned order, bool& wide);

  std::span<const uint32_t> folded_;
  uint32_t block_frames_ = 0;
  unsigned predictor_order_ = 0;
  unsigned top_order_ = 0;
  unsigned width_ = 0;                 // bit width of the largest value
  size_t narrow_run_ = 0;              // values per 32-bit partial sum; 0: 64-bit sums only
  uint64_t known_ = 0;                 // bit k: every leaf's sum for parameter k is in sums_
  unsigned lowest_ = 0, highest_ = 0;  // the parameters searched
  bool settled_before_ = false;        // lowest_ and highest_ hold the last search's range
  // Per parameter, then per partition, so that one parameter's sums of all the partitions
  // of an order lie together and the searches run across partitions.
  std::vector<uint64_t> sums_;    // [k][node]: sum of u >> k over the partition
  std::vector<uint64_t> counts_;  // [node]: values in the partition
  std::vector<uint64_t> best_;    // [node]: best parameter
};

// Writes the residual section (method, partition order, partitions) of a plan.
void write_rice_residual(FlacBitWriter& writer, const RicePlan& plan,
                         std::span<const uint32_t> folded, uint32_t block_frames,
                         unsigned predictor_order);

}  // namespace murello
