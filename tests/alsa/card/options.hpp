// The test sound card's parameters, read from its ALSA configuration node:
//
//   pcm.name {
//     type testcard
//     kind mic | speaker | loop        mic: capture only; speaker: playback only;
//                                      loop: both, the speaker half heard by the mic half
//     rate N | rate_min N rate_max N   rates offered (Hz)
//     channels N | channels_min N channels_max N
//     signal ramp|sine|file|silence    what the mic plays (frequency, amplitude, file);
//                                      in a loop, the near-end talker mixed with the
//                                      echo, indexed by the loop's clock, not the mic's
//     record "/path"                   speaker: every frame it played, raw float32
//     stats "/path"                    written at close: frames=N silence=N xruns=N
//     open_error N                     refuse to open with errno N (16: busy)
//     unplug_after N                   the device is lost after N frames
//     stall_at N stall_ms M            delivery stops for M ms at frame N: a microphone
//                                      then jumps ahead (the frames in between are
//                                      lost), a speaker goes on where it stopped (all
//                                      later frames play M ms late); in a loop only
//                                      the speaker half stalls
//     clock_ppm P                      mic, or the mic half of a loop: its clock runs P
//                                      parts per million fast (negative: slow) against
//                                      the speaker's, which keeps CLOCK_MONOTONIC
//     loop NAME delay_ms D gain G      loop: the pair shares NAME; echo delay and gain
//     mic_rate N mic_channels N        loop: the mic half's own rate and channels (0:
//                                      the speaker half's); it samples the speaker's
//                                      frames at its own rate, channel c hearing c
//   }
//
// Frame counts are device frames since the PCM was opened, across restarts. A loop's
// clock counts frames since the first of its halves was opened.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <optional>
#include <string>

#include "signal.hpp"

namespace testcard {

enum class Kind { Mic, Speaker, Loop };

struct Options {
  Kind kind = Kind::Mic;
  uint32_t rate_min_hz = 48000;
  uint32_t rate_max_hz = 48000;
  uint32_t channels_min = 2;
  uint32_t channels_max = 2;
  SignalSettings signal;
  std::string record_path;
  std::string stats_path;
  int open_error = 0;
  std::optional<uint64_t> unplug_after_frames;
  std::optional<uint64_t> stall_at_frame;
  uint32_t stall_ms = 0;
  double clock_ppm = 0;
  uint32_t mic_rate_hz = 0;
  uint32_t mic_channels = 0;
  std::string loop_name;
  uint32_t loop_delay_ms = 0;
  double loop_gain = 1.0;
};

// Reads the node; on failure returns a negative errno after reporting the key with
// SNDERR, as ALSA's own plugins do.
int parse_options(snd_config_t* conf, Options& options);

}  // namespace testcard
