// Runs this project's echo canceller over one scenario, as the capture chain
// would: 10 ms of far end pushed, then 10 ms of microphone processed.
//   bench_aec_tau FAR.f32 NEAR.f32 OUT.f32
// Prints the CPU seconds spent cancelling.
#include <span>

#include "aec/tau.hpp"
#include "io.hpp"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s FAR.f32 NEAR.f32 OUT.f32\n", argv[0]);
    return 2;
  }
  const auto far = murello::bench::read_raw(argv[1]);
  const auto near = murello::bench::read_raw(argv[2]);
  murello::aec::EngineConfig config;  // the capture chain's settings
  config.sample_rate_hz = 16000;
  config.tail_ms = 200;
  config.max_delay_ms = 250;
  config.ceiling_ms = 1000;
  config.transition = {1, 100, 200};
  auto engine = murello::aec::Tau::create(config);
  if (!engine) {
    std::fprintf(stderr, "%s\n", engine.error().message.c_str());
    return 1;
  }
  std::vector<float> out;
  out.reserve(near.size());
  const std::size_t chunk = 160;
  const double start = murello::bench::cpu_seconds();
  for (std::size_t i = 0; i + chunk <= near.size(); i += chunk) {
    engine->push_far(std::span(far).subspan(i, chunk));
    engine->process(std::span(near).subspan(i, chunk), out);
  }
  engine->flush(out);
  const double cpu = murello::bench::cpu_seconds() - start;
  murello::bench::write_raw(argv[3], out);
  const auto m = engine->metrics();
  std::printf("cpu_seconds %.6f delay %lld\n", cpu, m.delay ? static_cast<long long>(*m.delay) : -1LL);
  return 0;
}
