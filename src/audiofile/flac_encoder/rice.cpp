#include "audiofile/flac_encoder/rice.hpp"

#include "util/simd.hpp"

#include <algorithm>
#include <bit>

namespace murello {
namespace {

constexpr unsigned kRiceHeaderBits = 2 + 4;  // coding method, partition order
constexpr unsigned kNarrowLargest = 14;      // the 4-bit method's largest non-escape
constexpr size_t kNodeStride = RiceSearch::kNodeStride;

// How many values below 2^bits a 32-bit sum can take without wrapping (0: too few to
// be worth it).
size_t narrow_run(unsigned bits) {
  if (bits > 27) return 0;
  return size_t(1) << std::min(32 - bits, 16u);
}

// Where the highest-order partitions lie among the folded values: the first holds
// `length - predictor_order` of them, the others `length` each.
struct Leaves {
  unsigned count;
  uint32_t length;
  unsigned predictor_order;
  size_t narrow_run;
};

template <unsigned Fused, class Lane>
void accumulate(const uint32_t* v, size_t count, unsigned k, Lane (&lanes)[Fused]) {
  for (size_t j = 0; j < count; ++j) {
    uint32_t s = v[j] >> k;
    for (unsigned f = 0; f < Fused; ++f) lanes[f] += s >> f;
  }
}

// sums[(k + f) * kNodeStride + leaf] = sum(u >> (k + f)) over each leaf's values, for
// f < Fused. One pass per leaf serves all Fused parameters: a pass over the values costs
// more than the shifts.
template <unsigned Fused>
MURELLO_VECTOR_CLONES void leaf_sums(const uint32_t* folded, const Leaves& leaves, unsigned k,
                                     uint64_t* sums) {
  for (unsigned index = 0; index < leaves.count; ++index) {
    const size_t begin = index == 0 ? 0 : size_t(index) * leaves.length - leaves.predictor_order;
    const size_t count = leaves.length - (index == 0 ? leaves.predictor_order : 0);
    const uint32_t* v = folded + begin;
    uint64_t wide[Fused] = {};
    size_t i = 0;
    // 32-bit partial sums need no widening, so twice as many values fit a vector.
    for (size_t run; (run = std::min(leaves.narrow_run, count - i)) > 0; i += run) {
      uint32_t lanes[Fused] = {};
      accumulate(v + i, run, k, lanes);
      for (unsigned f = 0; f < Fused; ++f) wide[f] += lanes[f];
    }
    accumulate(v + i, count - i, k, wide);
    for (unsigned f = 0; f < Fused; ++f) sums[(k + f) * kNodeStride + index] = wide[f];
  }
}

}  // namespace

RiceSearch::RiceSearch()
    : sums_(kParameterRows * kNodeStride), counts_(kNodes), best_(kNodes) {}

void RiceSearch::count_values(unsigned order) {
  uint64_t* counts = &counts_[first_node(order)];
  std::fill_n(counts, 1u << order, block_frames_ >> order);
  counts[0] -= predictor_order_;
}

// Without an earlier search to start from: the parameters the leaves' means suggest.
void RiceSearch::guess_range() {
  cover(0, 0);
  const unsigned first = first_node(top_order_);
  unsigned lowest = kMaxRiceParameter, highest = 0;
  for (unsigned index = 0; index < (1u << top_order_); ++index) {
    // bit_width(mean / 2) within one, without dividing.
    unsigned start = std::bit_width(sums(0)[first + index]);
    start -= std::min(start, unsigned(std::bit_width(counts_[first + index])));
    lowest = std::min(lowest, start);
    highest = std::max(highest, start);
  }
  lowest_ = lowest > 1 ? lowest - 2 : 0;
  highest_ = std::min(highest + 1, kMaxRiceParameter);
}

// Makes every leaf's sums for parameters first..last known, in passes of up to kFused.
void RiceSearch::cover(unsigned first, unsigned last) {
  const Leaves leaves{1u << top_order_, block_frames_ >> top_order_, predictor_order_, narrow_run_};
  uint64_t* leaf_columns = &sums_[first_node(top_order_)];
  for (unsigned k = first; k <= last;) {
    if (known_ >> k & 1) {
      ++k;
    } else if (k >= width_) {
      // Every value shifted by its width or more is 0.
      std::fill_n(leaf_columns + k * kNodeStride, leaves.count, 0);
      known_ |= uint64_t(1) << k++;
    } else {
      unsigned run = 1;
      while (run < kFused && k + run <= last && !(known_ >> (k + run) & 1)) ++run;
      // A run of three takes four: the table has room, and the fourth sum is right anyway.
      if (run >= 3) {
        leaf_sums<4>(folded_.data(), leaves, k, leaf_columns);
        run = 4;
      } else if (run == 2) {
        leaf_sums<2>(folded_.data(), leaves, k, leaf_columns);
      } else {
        leaf_sums<1>(folded_.data(), leaves, k, leaf_columns);
      }
      known_ |= ((uint64_t(1) << run) - 1) << k;
      k += run;
    }
  }
}

// The best parameter of each partition at `order`, when it lies in lowest_..highest_: the
// smallest k there whose step to k + 1 saves at most the partition's count of bits, or
// highest_. The savings shrink as k grows, so that k is lowest_ plus the number of steps
// that save more: counted for all partitions at once, with no branch to mispredict.
void RiceSearch::find_parameters(unsigned order) {
  const unsigned first = first_node(order), partitions = 1u << order;
  uint64_t* best = &best_[first];
  const uint64_t* counts = &counts_[first];
  std::fill_n(best, partitions, lowest_);
  for (unsigned k = lowest_; k < highest_; ++k) {
    const uint64_t* here = sums(k) + first;
    const uint64_t* next = sums(k + 1) + first;
    for (unsigned i = 0; i < partitions; ++i) best[i] += here[i] - next[i] > counts[i];
  }
}

// Finds each leaf's best parameter, widening lowest_..highest_ until it brackets every
// best one with a parameter on each side (or reaches 0 or kMaxRiceParameter), so the
// merged orders can search it too.
void RiceSearch::settle_leaves() {
  const unsigned first = first_node(top_order_), leaves = 1u << top_order_;
  for (;;) {
    cover(lowest_, highest_);
    find_parameters(top_order_);
    const auto [least, most] = std::minmax_element(&best_[first], &best_[first] + leaves);
    const bool lower = *least == lowest_ && *least > 0;
    const bool higher = *most == highest_ && *most < kMaxRiceParameter;
    // The 4-bit method's plans cost parameters above its largest at that largest.
    if (*most > kNarrowLargest && lowest_ > kNarrowLargest) {
      lowest_ = kNarrowLargest;
    } else if (lower || higher) {
      if (lower) lowest_ = lowest_ > 2 ? lowest_ - 2 : 0;
      if (higher) highest_ = std::min(highest_ + 2, kMaxRiceParameter);
    } else {
      return;
    }
  }
}

void RiceSearch::merge(unsigned order) {
  const unsigned first = first_node(order), halves = first_node(order + 1);
  for (unsigned k = lowest_; k <= highest_; ++k) {
    uint64_t* column = sums(k);
    for (unsigned i = 0; i < (1u << order); ++i)
      column[first + i] = column[halves + 2 * i] + column[halves + 2 * i + 1];
  }
  count_values(order);
  find_parameters(order);
}

// Bits of the residual section at `order`, with the cheaper of the two coding methods;
// `wide` tells whether that is the one with 5-bit parameters.
uint64_t RiceSearch::order_bits(unsigned order, bool& wide) {
  const unsigned first = first_node(order), partitions = 1u << order;
  const uint64_t* best = &best_[first];
  // Each partition's cost at parameter k is count * (k + 1) + sums(k); every count is
  // block_frames >> order but the first's, which lacks the predictor's warm-up.
  auto total = [&](uint64_t largest) {
    uint64_t parameters = 0, sums_at_best = 0;
    for (unsigned i = 0; i < partitions; ++i) {
      const uint64_t k = std::min(best[i], largest);
      parameters += k + 1;
      sums_at_best += sums(unsigned(k))[first + i];
    }
    return (block_frames_ >> order) * parameters -
           uint64_t(predictor_order_) * (std::min(best[0], largest) + 1) + sums_at_best;
  };
  const uint64_t wide_bits = kRiceHeaderBits + 5 * partitions + total(kMaxRiceParameter);
  // With every parameter within the 4-bit method's, its plan is the same, a bit cheaper
  // per partition.
  if (highest_ <= kNarrowLargest) {
    wide = false;
    return wide_bits - partitions;
  }
  const uint64_t narrow_bits = kRiceHeaderBits + 4 * partitions + total(kNarrowLargest);
  wide = wide_bits < narrow_bits;
  return wide ? wide_bits : narrow_bits;
}

RicePlan RiceSearch::plan(std::span<const uint32_t> folded, uint32_t ones,
                          uint32_t block_frames, unsigned predictor_order,
                          unsigned max_partition_order) {
  folded_ = folded;
  block_frames_ = block_frames;
  predictor_order_ = predictor_order;
  unsigned order = std::min<unsigned>({max_partition_order, kMaxRicePartitionOrder,
                                       unsigned(std::countr_zero(block_frames))});
  while (order > 0 && (block_frames >> order) <= predictor_order) --order;
  top_order_ = order;
  width_ = unsigned(std::bit_width(ones));
  narrow_run_ = narrow_run(width_);
  known_ = 0;
  count_values(order);
  if (!settled_before_) guess_range();
  settle_leaves();

  RicePlan best;
  bool wide = false;
  best.partition_order = order;
  best.bits = order_bits(order, wide);
  best.parameter_bits = wide ? 5 : 4;
  while (order-- > 0) {
    merge(order);
    bool candidate_wide = false;
    uint64_t bits = order_bits(order, candidate_wide);
    if (bits < best.bits) {
      best.partition_order = order;
      best.bits = bits;
      best.parameter_bits = candidate_wide ? 5 : 4;
    }
  }
  const uint64_t largest = best.parameter_bits == 5 ? kMaxRiceParameter : kNarrowLargest;
  const unsigned first = first_node(best.partition_order);
  for (unsigned index = 0; index < (1u << best.partition_order); ++index)
    best.parameters[index] = uint8_t(std::min(best_[first + index], largest));

  // The next search starts from the parameters that bracket this one's leaves.
  const unsigned leaves = first_node(top_order_);
  const auto [least, most] = std::minmax_element(&best_[leaves], &best_[leaves] + (1u << top_order_));
  lowest_ = *least > 0 ? unsigned(*least) - 1 : 0;
  highest_ = std::min(unsigned(*most) + 1, kMaxRiceParameter);
  settled_before_ = true;
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
    writer.put_rice(std::span<const uint32_t>(u, count), k);
    u += count;
  }
}

}  // namespace murello
