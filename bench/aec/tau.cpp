// Runs this project's echo canceller over one scenario, as the capture chain
// would: 10 ms of far end pushed, then 10 ms of microphone processed.
//   bench_aec_tau FAR.f32 NEAR.f32 OUT.f32 [RATE [CHANNELS [DELAYS.i64]]]
// RATE defaults to 16000. With CHANNELS > 1 that many engines hear the same far
// end and microphone, as a stage of several channels runs them; OUT holds the
// first. DELAYS receives the reported delay after every 10 ms (-1 for none).
// Prints the CPU seconds spent cancelling and the final delay.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "aec/tau.hpp"
#include "io.hpp"

int main(int argc, char** argv) {
  if (argc < 4 || argc > 7) {
    std::fprintf(stderr, "usage: %s FAR.f32 NEAR.f32 OUT.f32 [RATE [CHANNELS [DELAYS.i64]]]\n", argv[0]);
    return 2;
  }
  const auto far = murello::bench::read_raw(argv[1]);
  const auto near = murello::bench::read_raw(argv[2]);
  const auto rate = static_cast<std::uint32_t>(argc > 4 ? std::atol(argv[4]) : 16000);
  const std::size_t channels = argc > 5 ? static_cast<std::size_t>(std::atol(argv[5])) : 1;
  murello::aec::EngineConfig config;  // the capture chain's settings
  config.sample_rate_hz = rate;
  config.tail_ms = 200;
  config.max_delay_ms = 250;
  config.ceiling_ms = 1000;
  config.transition = {1, 100, 200};
  std::vector<murello::aec::Tau> engines;
  for (std::size_t k = 0; k < channels; ++k) {
    auto engine = murello::aec::Tau::create(config);
    if (!engine) {
      std::fprintf(stderr, "%s\n", engine.error().message.c_str());
      return 1;
    }
    engines.push_back(std::move(engine).value());
  }
  std::vector<std::vector<float>> outs(channels);
  for (auto& out : outs) out.reserve(near.size());
  std::vector<std::int64_t> delays;
  const std::size_t chunk = rate / 100;
  const double start = murello::bench::cpu_seconds();
  for (std::size_t i = 0; i + chunk <= near.size(); i += chunk) {
    for (std::size_t k = 0; k < channels; ++k) {
      engines[k].push_far(std::span(far).subspan(i, chunk));
      engines[k].process(std::span(near).subspan(i, chunk), outs[k]);
    }
    const auto d = engines[0].metrics().delay;
    delays.push_back(d ? static_cast<std::int64_t>(*d) : -1);
  }
  for (std::size_t k = 0; k < channels; ++k) engines[k].flush(outs[k]);
  const double cpu = murello::bench::cpu_seconds() - start;
  murello::bench::write_raw(argv[3], outs[0]);
  if (argc > 6) {
    std::FILE* f = std::fopen(argv[6], "wb");
    if (f == nullptr) return 1;
    std::fwrite(delays.data(), sizeof(std::int64_t), delays.size(), f);
    std::fclose(f);
  }
  std::printf("cpu_seconds %.6f delay %lld\n", cpu, static_cast<long long>(delays.empty() ? -1 : delays.back()));
  return 0;
}
