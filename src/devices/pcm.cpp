#include "devices/pcm.hpp"

namespace murello {
namespace {

constexpr unsigned int kDefaultPeriodUs = 10'000;
// A playback buffer is latency, so it stays short; a capture buffer is only headroom for
// a late audio thread, so it is generous.
constexpr unsigned int kPlaybackPeriodsPerBuffer = 4;
constexpr unsigned int kCapturePeriodsPerBuffer = 16;

struct HwParamsFreer {
  void operator()(snd_pcm_hw_params_t* p) const { snd_pcm_hw_params_free(p); }
};
struct SwParamsFreer {
  void operator()(snd_pcm_sw_params_t* p) const { snd_pcm_sw_params_free(p); }
};

std::string failure(const std::string& step, int rc) { return step + ": " + snd_strerror(rc); }

Result<void, std::string> set_hw_params(snd_pcm_t* pcm, Direction direction,
                                        const PcmRequest& request, Pcm& out) {
  snd_pcm_hw_params_t* raw = nullptr;
  if (int rc = snd_pcm_hw_params_malloc(&raw); rc < 0) return failure("hw params", rc);
  std::unique_ptr<snd_pcm_hw_params_t, HwParamsFreer> params(raw);
  if (int rc = snd_pcm_hw_params_any(pcm, raw); rc < 0) {
    return failure("cannot read the device's configurations", rc);
  }
  if (int rc = snd_pcm_hw_params_set_access(pcm, raw, SND_PCM_ACCESS_RW_INTERLEAVED); rc < 0) {
    return failure("interleaved access not supported", rc);
  }
  if (int rc = snd_pcm_hw_params_set_format(pcm, raw, SND_PCM_FORMAT_FLOAT_LE); rc < 0) {
    return failure("32-bit float samples not supported", rc);
  }
  if (int rc = snd_pcm_hw_params_set_channels(pcm, raw, request.channels); rc < 0) {
    return failure(std::to_string(request.channels) + " channels not supported", rc);
  }
  if (int rc = snd_pcm_hw_params_set_rate(pcm, raw, request.sample_rate_hz, 0); rc < 0) {
    return failure("sample rate " + std::to_string(request.sample_rate_hz) + " Hz not supported",
                   rc);
  }
  if (request.period_frames) {
    if (int rc = snd_pcm_hw_params_set_period_size(pcm, raw, *request.period_frames, 0); rc < 0) {
      return failure("period of " + std::to_string(*request.period_frames) +
                         " frames not supported",
                     rc);
    }
  } else {
    unsigned int period_us = kDefaultPeriodUs;
    if (int rc = snd_pcm_hw_params_set_period_time_near(pcm, raw, &period_us, nullptr); rc < 0) {
      return failure("cannot choose a period", rc);
    }
  }
  unsigned int periods =
      direction == Direction::Capture ? kCapturePeriodsPerBuffer : kPlaybackPeriodsPerBuffer;
  if (int rc = snd_pcm_hw_params_set_periods_near(pcm, raw, &periods, nullptr); rc < 0) {
    return failure("cannot choose a buffer size", rc);
  }
  if (int rc = snd_pcm_hw_params(pcm, raw); rc < 0) return failure("cannot configure device", rc);

  snd_pcm_uframes_t period = 0;
  snd_pcm_uframes_t buffer = 0;
  snd_pcm_hw_params_get_period_size(raw, &period, nullptr);
  snd_pcm_hw_params_get_buffer_size(raw, &buffer);
  out.period_frames = static_cast<uint32_t>(period);
  out.buffer_frames = static_cast<uint32_t>(buffer);
  out.can_pause = snd_pcm_hw_params_can_pause(raw) != 0;
  return {};
}

// Wakes once per period; starts only when its owner says so; stops on an xrun, which the
// owner then recovers from.
Result<void, std::string> set_sw_params(snd_pcm_t* pcm, const Pcm& config) {
  snd_pcm_sw_params_t* raw = nullptr;
  if (int rc = snd_pcm_sw_params_malloc(&raw); rc < 0) return failure("sw params", rc);
  std::unique_ptr<snd_pcm_sw_params_t, SwParamsFreer> params(raw);
  snd_pcm_uframes_t boundary = 0;
  int rc = snd_pcm_sw_params_current(pcm, raw);
  if (rc >= 0) rc = snd_pcm_sw_params_get_boundary(raw, &boundary);
  if (rc >= 0) rc = snd_pcm_sw_params_set_avail_min(pcm, raw, config.period_frames);
  if (rc >= 0) rc = snd_pcm_sw_params_set_start_threshold(pcm, raw, boundary);
  if (rc >= 0) rc = snd_pcm_sw_params_set_stop_threshold(pcm, raw, config.buffer_frames);
  if (rc >= 0) rc = snd_pcm_sw_params(pcm, raw);
  if (rc < 0) return failure("cannot set the wake-up and start rules", rc);
  return {};
}

}  // namespace

Result<Pcm, std::string> open_pcm(const std::string& pcm_name, Direction direction,
                                  const PcmRequest& request) {
  snd_pcm_t* raw = nullptr;
  auto stream = direction == Direction::Capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
  if (int rc = snd_pcm_open(&raw, pcm_name.c_str(), stream, SND_PCM_NONBLOCK); rc < 0) {
    return failure("cannot open PCM " + pcm_name, rc);
  }
  Pcm pcm;
  pcm.handle.reset(raw);
  pcm.sample_rate_hz = request.sample_rate_hz;
  if (auto hw = set_hw_params(raw, direction, request, pcm); !hw) return std::move(hw).error();
  if (auto sw = set_sw_params(raw, pcm); !sw) return std::move(sw).error();
  if (int rc = snd_pcm_prepare(raw); rc < 0) return failure("cannot prepare device", rc);
  return pcm;
}

}  // namespace murello
