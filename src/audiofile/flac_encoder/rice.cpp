#include "audiofile/flac_encoder/rice.hpp"

#include "util/simd.hpp"

#include <algorithm>
#include <bit>

namespace murello {
namespace {

constexpr unsigned kSumsPerNode = kMaxRiceParameter + 1;
constexpr unsigned kNodeCount = (2u << kMaxRicePartitionOrder) - 1;
constexpr unsigned kRiceHeaderBits = 2 + 4;  // coding method, partition order
constexpr unsigned kNarrowLargest = 14;      // the 4-bit method's largest non-escape

// How many values below 2^bits a 32-bit sum can take without wrapping (0: too few to
// be worth it).
size_t narrow_run(unsigned bits) {
  if (bits > 27) return 0;
  return size_t(1) << std::min(32 - bits, 16u);
}

// Sums for parameters k .. k + kFused - 1 in one pass: the search nearly always needs
// neighbouring parameters, and one pass over the values costs more than the shifts.
constexpr unsigned kFused = 4;

template <class Lane>
void accumulate(const uint32_t* v, size_t count, unsigned k, Lane (&lanes)[kFused]) {
  for (size_t j = 0; j < count; ++j) {
    uint32_t s = v[j] >> k;
    lanes[0] += s;
    lanes[1] += s >> 1;
    lanes[2] += s >> 2;
    lanes[3] += s >> 3;
  }
}

MURELLO_VECTOR_CLONES void shifted_sums(std::span<const uint32_t> values, unsigned k,
                                        size_t narrow_run, uint64_t (&totals)[kFused]) {
  uint64_t wide[kFused] = {};
  const uint32_t* v = values.data();
  size_t i = 0;
  // 32-bit partial sums need no widening, so twice as many values fit a vector.
  for (size_t run; (run = std::min(narrow_run, values.size() - i)) > 0; i += run) {
    uint32_t lanes[kFused] = {};
    accumulate(v + i, run, k, lanes);
    for (unsigned f = 0; f < kFused; ++f) wide[f] += lanes[f];
  }
  accumulate(v + i, values.size() - i, k, wide);
  for (unsigned f = 0; f < kFused; ++f) totals[f] = wide[f];
}

MURELLO_VECTOR_CLONES uint32_t all_bits(std::span<const uint32_t> values) {
  uint32_t ones = 0;
  for (uint32_t v : values) ones |= v;
  return ones;
}

}  // namespace

RiceSearch::RiceSearch()
    : sums_(kNodeCount * kSumsPerNode), known_(1u << kMaxRicePartitionOrder), best_(kNodeCount) {}

uint64_t RiceSearch::leaf_sum(unsigned index, unsigned k) {
  uint64_t* sums = &sums_[node(top_order_, index) * kSumsPerNode];
  if (known_[index] & (1u << k)) return sums[k];
  uint32_t length = block_frames_ >> top_order_;
  size_t begin = index == 0 ? 0 : size_t(index) * length - predictor_order_;
  size_t count = index == 0 ? length - predictor_order_ : length;
  unsigned first = k == 0 ? 0 : k - 1;  // the walk also looks one step down
  uint64_t totals[kFused];
  shifted_sums(folded_.subspan(begin, count), first, narrow_run_, totals);
  for (unsigned i = 0; i < kFused && first + i <= kMaxRiceParameter; ++i) {
    sums[first + i] = totals[i];
    known_[index] |= 1u << (first + i);
  }
  return sums[k];
}

uint64_t RiceSearch::cost(unsigned order, unsigned index, unsigned k) {
  uint64_t count = (block_frames_ >> order) - (index == 0 ? predictor_order_ : 0);
  uint64_t sum = order == top_order_ ? leaf_sum(index, k)
                                     : sums_[node(order, index) * kSumsPerNode + k];
  return count * (k + 1) + sum;
}

unsigned RiceSearch::walk(unsigned order, unsigned index, unsigned k, unsigned lowest,
                          unsigned highest) {
  // Convexity: walking downhill finds the global minimum; ties go to the smaller k.
  while (k > lowest && cost(order, index, k - 1) <= cost(order, index, k)) --k;
  while (k < highest && cost(order, index, k + 1) < cost(order, index, k)) ++k;
  return k;
}

void RiceSearch::search_leaves() {
  lowest_ = kMaxRiceParameter;
  highest_ = 0;
  for (unsigned index = 0; index < (1u << top_order_); ++index) {
    uint64_t count = (block_frames_ >> top_order_) - (index == 0 ? predictor_order_ : 0);
    uint64_t mean = leaf_sum(index, 0) / count;
    unsigned start = std::min<unsigned>(kMaxRiceParameter, unsigned(std::bit_width(mean >> 1)));
    unsigned k = walk(top_order_, index, start, 0, kMaxRiceParameter);
    best_[node(top_order_, index)] = uint8_t(k);
    lowest_ = std::min(lowest_, k);
    highest_ = std::max(highest_, k);
  }
  // A merged partition's cost is the sum of its halves' convex costs, so its lowest
  // minimiser lies between theirs: lower orders need only this range, plus one step on
  // each side for the walk to see the minimum, plus the 4-bit method's largest parameter.
  lowest_ = lowest_ > 0 ? lowest_ - 1 : 0;
  highest_ = std::min(highest_ + 1, kMaxRiceParameter);
  for (unsigned index = 0; index < (1u << top_order_); ++index) {
    for (unsigned k = lowest_; k <= highest_; ++k) leaf_sum(index, k);
    if (highest_ > kNarrowLargest) leaf_sum(index, kNarrowLargest);
  }
}

void RiceSearch::merge(unsigned order) {
  for (unsigned index = 0; index < (1u << order); ++index) {
    uint64_t* out = &sums_[node(order, index) * kSumsPerNode];
    const uint64_t* left = &sums_[node(order + 1, 2 * index) * kSumsPerNode];
    const uint64_t* right = left + kSumsPerNode;
    for (unsigned k = lowest_; k <= highest_; ++k) out[k] = left[k] + right[k];
    if (highest_ > kNarrowLargest) out[kNarrowLargest] = left[kNarrowLargest] + right[kNarrowLargest];
    unsigned start = std::clamp<unsigned>(best_[node(order + 1, 2 * index)], lowest_, highest_);
    best_[node(order, index)] = uint8_t(walk(order, index, start, lowest_, highest_));
  }
}

RicePlan RiceSearch::plan_at(unsigned order) {
  RicePlan narrow, wide;
  narrow.partition_order = wide.partition_order = order;
  narrow.parameter_bits = 4;
  wide.parameter_bits = 5;
  narrow.bits = wide.bits = kRiceHeaderBits;
  for (unsigned index = 0; index < (1u << order); ++index) {
    unsigned k = best_[node(order, index)];
    unsigned k_narrow = k < kNarrowLargest ? k : kNarrowLargest;
    narrow.parameters[index] = uint8_t(k_narrow);
    wide.parameters[index] = uint8_t(k);
    narrow.bits += 4 + cost(order, index, k_narrow);
    wide.bits += 5 + cost(order, index, k);
  }
  return wide.bits < narrow.bits ? wide : narrow;
}

RicePlan RiceSearch::plan(std::span<const uint32_t> folded, uint32_t block_frames,
                          unsigned predictor_order, unsigned max_partition_order) {
  folded_ = folded;
  block_frames_ = block_frames;
  predictor_order_ = predictor_order;
  unsigned order = std::min<unsigned>({max_partition_order, kMaxRicePartitionOrder,
                                       unsigned(std::countr_zero(block_frames))});
  while (order > 0 && (block_frames >> order) <= predictor_order) --order;
  top_order_ = order;
  narrow_run_ = narrow_run(unsigned(std::bit_width(all_bits(folded))));
  std::fill(known_.begin(), known_.begin() + (1u << order), 0u);

  search_leaves();
  RicePlan best = plan_at(order);
  while (order-- > 0) {
    merge(order);
    RicePlan candidate = plan_at(order);
    if (candidate.bits < best.bits) best = candidate;
  }
  return best;
}

void write_rice_residual(FlacBitWriter& writer, const RicePlan& plan,
                         std::span<const uint32_t> folded, uint32_t block_frames,
                         unsigned predictor_order) {
  writer.put(plan.parameter_bits == 5 ? 1 : 0, 2);
  writer.put(plan.partition_order, 4);
  uint32_t length = block_frames >> plan.partition_order;
  const uint32_t* u = folded.data();
  for (unsigned index = 0; index < (1u << plan.partition_order); ++index) {
    unsigned k = plan.parameters[index];
    writer.put(k, plan.parameter_bits);
    uint32_t count = index == 0 ? length - predictor_order : length;
    uint32_t mask = (uint32_t(1) << k) - 1;
    for (const uint32_t* end = u + count; u != end; ++u) {
      uint32_t quotient = *u >> k;
      uint32_t stop_and_low = (uint32_t(1) << k) | (*u & mask);
      if (quotient + k < 32) {
        writer.put(stop_and_low, quotient + k + 1);
      } else {
        writer.put_zeros(quotient);
        writer.put(stop_and_low, k + 1);
      }
    }
  }
}

}  // namespace murello
