#include "signal.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace testcard {

bool Signal::prepare(const SignalSettings& settings, uint32_t rate_hz, uint32_t channels) {
  rate_hz_ = rate_hz;
  channels_ = channels;
  frequency_hz_ = settings.frequency_hz;
  amplitude_ = settings.amplitude;
  file_samples_.clear();
  if (settings.kind == "ramp") {
    kind_ = Kind::Ramp;
  } else if (settings.kind == "sine") {
    kind_ = Kind::Sine;
  } else if (settings.kind == "file") {
    kind_ = Kind::File;
    FILE* f = std::fopen(settings.file.c_str(), "rb");
    if (f == nullptr) return false;
    float chunk[4096];
    size_t n = 0;
    while ((n = std::fread(chunk, sizeof(float), 4096, f)) > 0) {
      file_samples_.insert(file_samples_.end(), chunk, chunk + n);
    }
    std::fclose(f);
  } else if (settings.kind == "silence") {
    kind_ = Kind::Silence;
  } else {
    errno = EINVAL;
    return false;
  }
  return true;
}

float Signal::sample(uint64_t frame, uint32_t channel) const {
  switch (kind_) {
    case Kind::Ramp:
      return static_cast<float>((frame * channels_ + channel) % (uint64_t{1} << 24));
    case Kind::Sine: {
      double phase = std::fmod(static_cast<double>(frame) * frequency_hz_ / rate_hz_, 1.0);
      return static_cast<float>(amplitude_ * std::sin(2.0 * std::numbers::pi * phase));
    }
    case Kind::File: {
      uint64_t index = frame * channels_ + channel;
      return index < file_samples_.size() ? file_samples_[index] : 0.0f;
    }
    case Kind::Silence:
      break;
  }
  return 0.0f;
}

}  // namespace testcard
