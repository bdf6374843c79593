// Peer: WebRTC's AEC3 inside its audio processing module, echo canceller alone
// (no high-pass, noise suppression or gain control); it estimates the delay itself.
//   bench_aec_aec3 FAR.f32 NEAR.f32 OUT.f32 RATE
#include <cstdlib>
#include <memory>

#include "api/audio/audio_processing.h"
#include "io.hpp"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s FAR.f32 NEAR.f32 OUT.f32 RATE\n", argv[0]);
    return 2;
  }
  const auto far = murello::bench::read_raw(argv[1]);
  const auto near = murello::bench::read_raw(argv[2]);
  webrtc::AudioProcessing::Config config;
  config.echo_canceller.enabled = true;
  config.echo_canceller.mobile_mode = false;
  config.high_pass_filter.enabled = false;
  config.noise_suppression.enabled = false;
  config.gain_controller1.enabled = false;
  config.gain_controller2.enabled = false;
  rtc::scoped_refptr<webrtc::AudioProcessing> apm = webrtc::AudioProcessingBuilder().Create();
  apm->ApplyConfig(config);
  const int rate = std::atoi(argv[4]);
  const webrtc::StreamConfig stream(rate, 1);
  const std::size_t frame = static_cast<std::size_t>(rate) / 100;
  std::vector<float> f(frame), n(frame), scratch(frame);
  std::vector<float> out(near.size(), 0.0f);
  const double start = murello::bench::cpu_seconds();
  for (std::size_t i = 0; i + frame <= near.size(); i += frame) {
    std::copy_n(far.begin() + static_cast<std::ptrdiff_t>(i), frame, f.begin());
    std::copy_n(near.begin() + static_cast<std::ptrdiff_t>(i), frame, n.begin());
    const float* far_in[] = {f.data()};
    float* far_out[] = {scratch.data()};
    apm->ProcessReverseStream(far_in, stream, stream, far_out);
    apm->set_stream_delay_ms(0);
    const float* near_in[] = {n.data()};
    float* near_out[] = {out.data() + i};
    apm->ProcessStream(near_in, stream, stream, near_out);
  }
  const double cpu = murello::bench::cpu_seconds() - start;
  murello::bench::write_raw(argv[3], out);
  std::printf("cpu_seconds %.6f\n", cpu);
  return 0;
}
