// Linear prediction for the FLAC encoder: windows, autocorrelation, Levinson-Durbin,
// the order-cost estimate, coefficient quantisation and the residual.
//
// Conventions: lengths are samples of one channel of one block. Analysis runs in double
// precision; prediction is exact integer arithmetic: prediction(n) =
// (sum_j coefficient[j] * x[n - 1 - j]) >> shift, residual = x[n] - prediction(n).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace murello {

inline constexpr unsigned kMaxLpcOrder = 32;
inline constexpr unsigned kLpcPrecisionBits = 15;

// Tukey window: a raised-cosine taper over taper_ratio * (len - 1) / 2 samples at each end,
// 1 in between (ratio 1 is the Hann window). The cosine is its Taylor series up to x^20,
// so the window is the same on every platform.
void tukey_window(double taper_ratio, std::span<double> out);

// lags[l] = sum_n x[n] * x[n - l] for l in 0..lags.size() - 1 (lags.size() <= kMaxLpcOrder + 1).
void autocorrelation(std::span<const double> x, std::span<double> lags);

// Predictor coefficients for every order 1..max_order, from one Levinson-Durbin run.
struct LpcLadder {
  std::array<std::array<double, kMaxLpcOrder>, kMaxLpcOrder> coefficients{};  // [order - 1][j]
  std::array<double, kMaxLpcOrder> error{};                                   // [order - 1]
  unsigned max_order = 0;  // orders reached; lower than asked when the error vanishes
};

// Requires lags[0] > 0 and lags.size() > max_order.
void levinson_durbin(std::span<const double> lags, unsigned max_order, LpcLadder& out);

// Expected bits of a subframe of `len` samples predicted at `order` with the given
// prediction error, at `sample_bits` per warm-up sample.
double estimate_lpc_bits(double error, uint32_t len, unsigned order, unsigned sample_bits);

struct QuantizedLpc {
  std::array<int32_t, kMaxLpcOrder> coefficients{};
  unsigned order = 0;
  unsigned shift = 0;
};

// Rounds to kLpcPrecisionBits with error feedback; false when every coefficient rounds to 0.
bool quantize_lpc(std::span<const double> coefficients, QuantizedLpc& out);

// Writes the folded residuals of x[order..] to `folded` (x.size() - order values) and
// returns the bits set in any of them; nothing when one of them reaches 2^31 in magnitude
// and so cannot be Rice-coded. `peak` is the largest |x[n]|: when it bounds every
// prediction sum below 2^30 the sums run in 32-bit lanes.
template <class Sample>
std::optional<uint32_t> lpc_residual(std::span<const Sample> x, const QuantizedLpc& lpc,
                                     uint64_t peak, std::span<uint32_t> folded);

}  // namespace murello
