// The acoustic path between the two halves of a loop PCM: frames the speaker half plays
// are stamped with the absolute frame time at which they sound, and the microphone half
// hears them `delay` later. Both halves of one process share a Loop by name.
//
// Absolute frame times count frames of the loop's rate since the loop was created.
// Every member must be used with `mutex` held; both halves call from their own threads.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testcard {

class Loop {
 public:
  // The loop of that name, created on first use. Halves must agree on rate and channels.
  static std::shared_ptr<Loop> find(const std::string& name, uint32_t rate_hz,
                                    uint32_t channels);

  Loop(uint32_t rate_hz, uint32_t channels);

  uint64_t frame_at(int64_t now_ns) const;
  // One frame the speaker plays at `when`, interleaved at `channels`.
  void play(uint64_t when, const float* frame, uint32_t channels);
  // Frames scheduled for [from, to) will not play after all (the speaker stopped).
  void cancel(uint64_t from, uint64_t to);
  // What a microphone channel picks up of the speaker at `when`; 0 when nothing played.
  float heard(uint64_t when, uint32_t channel) const;

  std::mutex mutex;

 private:
  uint32_t rate_hz_;
  uint32_t channels_;
  int64_t epoch_ns_;
  uint64_t capacity_frames_;
  std::vector<float> samples_;
  std::vector<uint64_t> stamps_;  // when + 1 of the frame in the slot; 0 for none
};

}  // namespace testcard
