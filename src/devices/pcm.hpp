// An ALSA PCM opened for streaming: interleaved float32 at a given rate and channel
// count, non-blocking, started explicitly by its owner and woken once per period.
//
// Conventions: sizes are frames, rates Hz. A Pcm is used by one thread at a time; the
// stream that owns it hands it to its audio thread after opening.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "devices/device.hpp"
#include "util/result.hpp"

namespace murello {

struct PcmCloser {
  void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using PcmHandle = std::unique_ptr<snd_pcm_t, PcmCloser>;

struct PcmRequest {
  uint16_t channels = 0;
  uint32_t sample_rate_hz = 0;
  // A fixed period; none takes this layer's default of about 10 ms.
  std::optional<uint32_t> period_frames;
};

struct Pcm {
  PcmHandle handle;
  uint32_t sample_rate_hz = 0;
  uint32_t period_frames = 0;
  uint32_t buffer_frames = 0;
  bool can_pause = false;
};

// Opens and configures the PCM; the error is ALSA's text, prefixed with the step that
// failed (for example "cannot open PCM mic: Device or resource busy").
Result<Pcm, std::string> open_pcm(const std::string& pcm_name, Direction direction,
                                  const PcmRequest& request);

}  // namespace murello
