// The prototype low-pass filter: a Kaiser-windowed sinc for 84 dB of stop-band
// attenuation, computed with the resampler's own sine and Bessel routines so that the
// coefficients do not depend on the platform's math library.
//
// Conventions: frequencies in hz; angles in radians; lengths count prototype taps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace murello {

// Kaiser's β for 84 dB, 0.1102 × (84 − 8.7).
inline constexpr double kKaiserBeta = 8.29806;

// Raw Kaiser length v for a transition of 0.025 × low_hz, prototype sampled at
// prototype_hz. The caller rounds it to the form's constraints.
double kaiser_length(double low_hz, double prototype_hz);

// Cut-off in radians per prototype sample, midway through the transition band.
double kaiser_cutoff(double low_hz, double prototype_hz);

// sin(radians) by range reduction and a Taylor polynomial through the 19th power.
double kernel_sine(double radians);

// Modified Bessel function I0 given x = (argument / 2)², summed until the sum stops
// changing.
double bessel_i0_series(double x);
// The same for count values of x, each summed exactly as the single-value form does
// (out may be x).
void bessel_i0_series(const double* x, size_t count, double* out);

// h[0..length), symmetric, normalised to unit gain at 0 Hz. `length` must be odd and
// at least 3.
std::vector<double> windowed_sinc(uint64_t length, double cutoff);

}  // namespace murello
