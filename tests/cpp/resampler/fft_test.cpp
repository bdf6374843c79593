#include "resampler/fft.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace murello {
namespace {

// Circular convolution through forward, pointwise product and inverse, against the sum
// it stands for, at the smallest sizes and at a transform size the resampler uses.
TEST(ResamplerFft, ConvolvesCircularlyAtEverySize) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> dist(-1, 1);
  for (size_t size : {2u, 4u, 8u, 64u, 1024u}) {
    const FftPlan plan(size);
    std::vector<double> x_re(size), x_im(size), h_re(size), h_im(size, 0.0);
    for (size_t i = 0; i < size; ++i) x_re[i] = dist(rng), x_im[i] = dist(rng), h_re[i] = dist(rng);
    std::vector<double> want_re(size, 0.0), want_im(size, 0.0);
    for (size_t n = 0; n < size; ++n) {
      for (size_t m = 0; m < size; ++m) {
        want_re[n] += x_re[m] * h_re[(n - m) % size];
        want_im[n] += x_im[m] * h_re[(n - m) % size];
      }
    }
    plan.forward(x_re.data(), x_im.data());
    plan.forward(h_re.data(), h_im.data());
    std::vector<double> y_re(size, 0.0), y_im(size, 0.0);
    multiply_accumulate(x_re.data(), x_im.data(), h_re.data(), h_im.data(), size, y_re.data(),
                        y_im.data());
    plan.inverse(y_re.data(), y_im.data());
    for (size_t n = 0; n < size; ++n) {
      ASSERT_NEAR(y_re[n] / double(size), want_re[n], 1e-12 * double(size)) << size << " " << n;
      ASSERT_NEAR(y_im[n] / double(size), want_im[n], 1e-12 * double(size)) << size << " " << n;
    }
  }
}

// The forward transform of an impulse is flat, whatever order its bins come in.
TEST(ResamplerFft, ImpulseHasAFlatSpectrum) {
  const FftPlan plan(256);
  std::vector<double> re(256, 0.0), im(256, 0.0);
  re[0] = 1.0;
  plan.forward(re.data(), im.data());
  for (size_t k = 0; k < 256; ++k) {
    ASSERT_EQ(re[k], 1.0) << k;
    ASSERT_EQ(im[k], 0.0) << k;
  }
}

}  // namespace
}  // namespace murello
