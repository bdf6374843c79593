// EchoMetrics: what one echo-canceller engine reports about its state.
//
// Conventions: delays and counters are in samples (frames of the mono signal an engine
// works on) at the delivered rate; ERLE is in dB. Counters only grow within one stream.
#pragma once

#include <cstdint>
#include <optional>

namespace murello {

// One engine's record, fields in the order the Python tuple shows them.
struct EchoMetrics {
  std::optional<uint64_t> delay_frames;  // absent until a delay is established
  float erle_db = 0.0f;
  bool adaptation_held = false;
  uint64_t far_frames_missing = 0;     // far-end samples read as silence
  uint64_t frames_without_delay = 0;   // near-end samples processed before a delay existed
  uint64_t search_restarts = 0;
};

}  // namespace murello
