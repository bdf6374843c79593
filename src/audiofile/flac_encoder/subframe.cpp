#include "audiofile/flac_encoder/subframe.hpp"

#include <algorithm>
#include <bit>
#include <numeric>
#include <type_traits>

#include "audiofile/flac_encoder/fixed.hpp"
#include "util/simd.hpp"

namespace murello {
namespace {

constexpr unsigned kSubframeHeaderBits = 8;  // zero bit, 6-bit type, wasted-bits flag
constexpr unsigned kLpcPrecisionCode = kLpcPrecisionBits - 1;
constexpr unsigned kLpcParameterBits = 4 + 5;  // precision code, shift

// What one pass over a channel tells: whether it is constant, the bits set in any
// sample (for wasted bits) and the largest magnitude.
struct Survey {
  bool constant;
  uint64_t ones;
  uint64_t peak;
};

// Stable insertion sort of a few candidate orders by key; unlike std::stable_sort it
// never asks for a temporary buffer.
template <class Key>
void sort_orders(unsigned* orders, unsigned count, const Key& key) {
  for (unsigned i = 1; i < count; ++i) {
    unsigned order = orders[i];
    unsigned j = i;
    for (; j > 0 && key(order) < key(orders[j - 1]); --j) orders[j] = orders[j - 1];
    orders[j] = order;
  }
}

// out[n] = x[n] * window[n]; every sample, a whole number of at most 33 bits, is exact as
// a double.
template <class Sample>
MURELLO_VECTOR_CLONES void apply_window(std::span<const Sample> x, std::span<const double> window,
                                        double* out) {
  for (size_t n = 0; n < x.size(); ++n) out[n] = double(x[n]) * window[n];
}

template <class Sample>
MURELLO_VECTOR_CLONES Survey survey(std::span<const Sample> x) {
  using Unsigned = std::make_unsigned_t<Sample>;
  const Unsigned first = x.empty() ? 0 : Unsigned(x[0]);
  Unsigned differ = 0, ones = 0, peak = 0;
  for (Sample s : x) {
    Unsigned u = Unsigned(s);
    differ |= u ^ first;
    ones |= u;
    Unsigned magnitude = s < 0 ? Unsigned(0) - u : u;
    peak = magnitude > peak ? magnitude : peak;
  }
  return {differ == 0, uint64_t(int64_t(std::make_signed_t<Unsigned>(ones))), uint64_t(peak)};
}

}  // namespace

LpcWindows::LpcWindows(const FlacLevel& level, uint32_t max_block_frames)
    : level_(level),
      windows_(level.window_count, std::vector<double>(max_block_frames)),
      lengths_(level.window_count, 0) {}

std::span<const double> LpcWindows::window(unsigned index, uint32_t len) {
  std::span<double> w(windows_[index].data(), len);
  if (lengths_[index] != len) {
    tukey_window(level_.tukey_tapers[index], w);
    lengths_[index] = len;
  }
  return w;
}

template <class Sample>
SubframeEncoder<Sample>::SubframeEncoder(const FlacLevel& level, uint32_t max_block_frames)
    : level_(level),
      shifted_(max_block_frames),
      best_folded_(max_block_frames),
      candidate_folded_(max_block_frames),
      windowed_(level.max_lpc_order ? max_block_frames : 0) {}

template <class Sample>
const SubframePlan& SubframeEncoder<Sample>::plan(std::span<const Sample> x, unsigned bits,
                                                  LpcWindows& windows) {
  plan_ = SubframePlan{};
  const Survey seen = survey(x);
  if (seen.constant) {
    plan_.kind = SubframeKind::Constant;
    plan_.sample_bits = bits;
    plan_.constant = x.empty() ? 0 : x[0];
    plan_.bits = kSubframeHeaderBits + bits;
    return plan_;
  }
  unsigned wasted = std::min<unsigned>(unsigned(std::countr_zero(seen.ones)), bits - 1);
  samples_ = x;
  if (wasted > 0) {
    std::span<Sample> out(shifted_.data(), x.size());
    for (size_t i = 0; i < x.size(); ++i) out[i] = Sample(x[i] >> wasted);
    samples_ = out;
  }
  peak_ = seen.peak >> wasted;
  plan_.kind = SubframeKind::Verbatim;
  plan_.wasted_bits = wasted;
  plan_.sample_bits = bits - wasted;
  plan_.bits = kSubframeHeaderBits + wasted + uint64_t(x.size()) * plan_.sample_bits;
  if (x.size() > 1) {
    try_fixed();
    if (level_.max_lpc_order > 0) try_lpc(windows);
  }
  return plan_;
}

template <class Sample>
uint64_t SubframeEncoder<Sample>::predicted_bits(unsigned order) const {
  return kSubframeHeaderBits + plan_.wasted_bits + uint64_t(order) * plan_.sample_bits;
}

template <class Sample>
void SubframeEncoder<Sample>::keep_if_cheaper(const SubframePlan& candidate) {
  if (candidate.bits >= plan_.bits) return;
  plan_ = candidate;
  std::swap(best_folded_, candidate_folded_);
}

template <class Sample>
void SubframeEncoder<Sample>::try_fixed() {
  const uint32_t len = uint32_t(samples_.size());
  const unsigned max_order = std::min<unsigned>(kMaxFixedOrder, len - 1);
  auto sums = fixed_residual_sums(samples_, max_order, peak_);
  std::array<unsigned, kMaxFixedOrder + 1> orders;
  std::iota(orders.begin(), orders.end(), 0u);
  sort_orders(orders.data(), max_order + 1, [&](unsigned order) { return sums[order]; });
  for (unsigned i = 0; i < std::min(2u, max_order + 1); ++i) {
    unsigned order = orders[i];
    std::span<uint32_t> folded(candidate_folded_.data(), len - order);
    auto ones = fixed_residual(samples_, order, peak_, folded);
    if (!ones) continue;
    SubframePlan candidate = plan_;
    candidate.kind = SubframeKind::Fixed;
    candidate.order = order;
    candidate.rice = rice_.plan(folded, *ones, len, order, level_.max_partition_order);
    candidate.bits = predicted_bits(order) + candidate.rice.bits;
    keep_if_cheaper(candidate);
  }
}

template <class Sample>
void SubframeEncoder<Sample>::try_lpc(LpcWindows& windows) {
  const uint32_t len = uint32_t(samples_.size());
  const unsigned max_order = std::min<unsigned>(level_.max_lpc_order, len - 1);
  for (unsigned w = 0; w < level_.window_count; ++w) {
    std::span<const double> window = windows.window(w, len);
    apply_window(samples_, window, windowed_.data());
    std::array<double, kMaxLpcOrder + 1> lags;
    autocorrelation(std::span<const double>(windowed_.data(), len),
                    std::span<double>(lags.data(), max_order + 1));
    if (!(lags[0] > 0.0)) continue;
    levinson_durbin(lags, max_order, ladder_);

    std::array<unsigned, kMaxLpcOrder> orders;
    std::array<double, kMaxLpcOrder> estimate;
    for (unsigned m = 1; m <= ladder_.max_order; ++m) {
      orders[m - 1] = m;
      estimate[m - 1] = estimate_lpc_bits(ladder_.error[m - 1], len, m, plan_.sample_bits);
    }
    sort_orders(orders.data(), ladder_.max_order,
                [&](unsigned order) { return estimate[order - 1]; });
    for (unsigned i = 0; i < std::min(level_.lpc_orders_tried, ladder_.max_order); ++i)
      try_lpc_order(orders[i]);
  }
}

template <class Sample>
void SubframeEncoder<Sample>::try_lpc_order(unsigned order) {
  const uint32_t len = uint32_t(samples_.size());
  SubframePlan candidate = plan_;
  candidate.kind = SubframeKind::Lpc;
  candidate.order = order;
  if (!quantize_lpc(std::span<const double>(ladder_.coefficients[order - 1].data(), order),
                    candidate.lpc))
    return;
  std::span<uint32_t> folded(candidate_folded_.data(), len - order);
  auto ones = lpc_residual(samples_, candidate.lpc, peak_, folded);
  if (!ones) return;
  candidate.rice = rice_.plan(folded, *ones, len, order, level_.max_partition_order);
  candidate.bits = predicted_bits(order) + kLpcParameterBits +
                   uint64_t(order) * kLpcPrecisionBits + candidate.rice.bits;
  keep_if_cheaper(candidate);
}

template <class Sample>
void SubframeEncoder<Sample>::write(FlacBitWriter& writer) const {
  const SubframePlan& p = plan_;
  unsigned type = 0;
  switch (p.kind) {
    case SubframeKind::Constant: type = 0; break;
    case SubframeKind::Verbatim: type = 1; break;
    case SubframeKind::Fixed: type = 8 + p.order; break;
    case SubframeKind::Lpc: type = 32 + p.order - 1; break;
  }
  writer.put(type << 1 | (p.wasted_bits ? 1 : 0), 8);
  if (p.wasted_bits) {
    writer.put_zeros(p.wasted_bits - 1);
    writer.put(1, 1);
  }
  if (p.kind == SubframeKind::Constant) {
    writer.put_signed(p.constant, p.sample_bits);
    return;
  }
  const uint32_t len = uint32_t(samples_.size());
  const unsigned warm_up = p.kind == SubframeKind::Verbatim ? len : p.order;
  for (unsigned n = 0; n < warm_up; ++n) writer.put_signed(samples_[n], p.sample_bits);
  if (p.kind == SubframeKind::Verbatim) return;
  if (p.kind == SubframeKind::Lpc) {
    writer.put(kLpcPrecisionCode, 4);
    writer.put(p.lpc.shift, 5);
    for (unsigned j = 0; j < p.order; ++j) writer.put_signed(p.lpc.coefficients[j], kLpcPrecisionBits);
  }
  write_rice_residual(writer, p.rice, std::span<const uint32_t>(best_folded_.data(), len - p.order),
                      len, p.order);
}

template class SubframeEncoder<int32_t>;
template class SubframeEncoder<int64_t>;

}  // namespace murello
