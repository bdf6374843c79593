// Peer: speexdsp's echo canceller with its preprocessor's residual echo
// suppression. It has no delay estimation, so the far end is delayed by hand.
//   bench_aec_speex FAR.f32 NEAR.f32 OUT.f32 RATE DELAY_SAMPLES
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "io.hpp"

namespace {

short to_short(float x) { return static_cast<short>(std::clamp(std::lrint(x * 32768.0f), -32768L, 32767L)); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s FAR.f32 NEAR.f32 OUT.f32 RATE DELAY_SAMPLES\n", argv[0]);
    return 2;
  }
  const auto far = murello::bench::read_raw(argv[1]);
  const auto near = murello::bench::read_raw(argv[2]);
  const int rate = std::atoi(argv[4]);
  const long delay = std::atol(argv[5]);
  const int frame = rate / 100, tail = rate / 5;  // 10 ms frames, 200 ms tail
  SpeexEchoState* echo = speex_echo_state_init(frame, tail);
  SpeexPreprocessState* pre = speex_preprocess_state_init(frame, rate);
  int value = rate;
  speex_echo_ctl(echo, SPEEX_ECHO_SET_SAMPLING_RATE, &value);
  speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_ECHO_STATE, echo);
  value = 0;  // residual echo suppression only: no noise reduction, no gain control
  speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_DENOISE, &value);
  speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_AGC, &value);

  std::vector<short> f(frame), n(frame), o(frame);
  std::vector<float> out(near.size(), 0.0f);
  const double start = murello::bench::cpu_seconds();
  for (std::size_t i = 0; i + frame <= near.size(); i += frame) {
    for (int j = 0; j < frame; ++j) {
      const long k = static_cast<long>(i) + j - delay;
      f[j] = k >= 0 && k < static_cast<long>(far.size()) ? to_short(far[k]) : 0;
      n[j] = to_short(near[i + j]);
    }
    speex_echo_cancellation(echo, n.data(), f.data(), o.data());
    speex_preprocess_run(pre, o.data());
    for (int j = 0; j < frame; ++j) out[i + j] = o[j] / 32768.0f;
  }
  const double cpu = murello::bench::cpu_seconds() - start;
  speex_preprocess_state_destroy(pre);
  speex_echo_state_destroy(echo);
  murello::bench::write_raw(argv[3], out);
  std::printf("cpu_seconds %.6f\n", cpu);
  return 0;
}
