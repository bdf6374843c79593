#include "audiofile/flac/restore.hpp"

#include <array>
#include <utility>

namespace murello {
namespace {

// Two's-complement range of `bits`, as an offset and a span for one unsigned compare.
struct SampleRange {
  explicit SampleRange(unsigned bits)
      : low(-(int64_t(1) << (bits - 1))), width(uint64_t(1) << bits) {}
  bool contains(int64_t v) const { return uint64_t(v - low) < width; }
  int64_t low;
  uint64_t width;
};

// The predictors below keep the most recent samples in registers (history[0] is the
// latest) rather than reloading what they just stored, and add the latest sample's
// term last: the chain from one sample to the next is then one multiply, add, shift
// and add, while the older terms are summed in parallel.
template <unsigned kOrder>
int64_t fixed_prediction(const int64_t* history) {
  if constexpr (kOrder == 0) return 0;
  else if constexpr (kOrder == 1) return history[0];
  else if constexpr (kOrder == 2) return 2 * history[0] - history[1];
  else if constexpr (kOrder == 3) return history[2] - 3 * history[1] + 3 * history[0];
  else return 4 * history[2] - 6 * history[1] - history[3] + 4 * history[0];
}

template <unsigned kOrder>
bool restore_fixed_order(std::span<int64_t> samples, SampleRange range) {
  int64_t* s = samples.data();
  std::array<int64_t, kOrder + 1> history{};
  for (unsigned j = 0; j < kOrder; ++j) history[j] = s[kOrder - 1 - j];
  for (size_t n = kOrder; n < samples.size(); ++n) {
    int64_t v = s[n] + fixed_prediction<kOrder>(history.data());
    if (!range.contains(v)) return false;
    s[n] = v;
    for (unsigned j = kOrder; j > 0; --j) history[j] = history[j - 1];
    history[0] = v;
  }
  return true;
}

// The order is a template parameter for the orders encoders use most, so the inner sum
// unrolls fully and the coefficients and history stay in registers.
template <unsigned kOrder>
bool restore_lpc_order(std::span<int64_t> samples, const int64_t* coefficients, unsigned shift,
                       SampleRange range) {
  std::array<int64_t, kOrder> c, history;
  for (unsigned j = 0; j < kOrder; ++j) c[j] = coefficients[j];
  int64_t* s = samples.data();
  for (unsigned j = 0; j < kOrder; ++j) history[j] = s[kOrder - 1 - j];
  for (size_t n = kOrder; n < samples.size(); ++n) {
    int64_t older = 0;
    for (unsigned j = kOrder - 1; j > 0; --j) older += c[j] * history[j];
    int64_t v = s[n] + ((older + c[0] * history[0]) >> shift);
    if (!range.contains(v)) return false;
    s[n] = v;
    for (unsigned j = kOrder - 1; j > 0; --j) history[j] = history[j - 1];
    history[0] = v;
  }
  return true;
}

bool restore_lpc_any_order(std::span<int64_t> samples, std::span<const int64_t> coefficients,
                           unsigned shift, SampleRange range) {
  const size_t order = coefficients.size();
  int64_t* s = samples.data();
  for (size_t n = order; n < samples.size(); ++n) {
    int64_t sum = 0;
    for (size_t j = 0; j < order; ++j) sum += coefficients[j] * s[n - 1 - j];
    int64_t v = s[n] + (sum >> shift);
    if (!range.contains(v)) return false;
    s[n] = v;
  }
  return true;
}

using LpcRestore = bool (*)(std::span<int64_t>, const int64_t*, unsigned, SampleRange);

template <size_t... kOrders>
constexpr std::array<LpcRestore, sizeof...(kOrders)> lpc_table(std::index_sequence<kOrders...>) {
  return {&restore_lpc_order<kOrders + 1>...};
}

constexpr auto kLpcByOrder = lpc_table(std::make_index_sequence<12>{});

}  // namespace

bool restore_fixed(std::span<int64_t> samples, unsigned order, unsigned bits) {
  SampleRange range(bits);
  switch (order) {
    case 0: return restore_fixed_order<0>(samples, range);
    case 1: return restore_fixed_order<1>(samples, range);
    case 2: return restore_fixed_order<2>(samples, range);
    case 3: return restore_fixed_order<3>(samples, range);
    default: return restore_fixed_order<4>(samples, range);
  }
}

bool restore_lpc(std::span<int64_t> samples, std::span<const int64_t> coefficients,
                 unsigned shift, unsigned bits) {
  SampleRange range(bits);
  size_t order = coefficients.size();
  if (order <= kLpcByOrder.size())
    return kLpcByOrder[order - 1](samples, coefficients.data(), shift, range);
  return restore_lpc_any_order(samples, coefficients, shift, range);
}

}  // namespace murello
