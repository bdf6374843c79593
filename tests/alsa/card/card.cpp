// The test sound card: an ALSA external-I/O plugin whose PCMs behave like hardware.
// They move in real time from CLOCK_MONOTONIC, wake their client once per avail_min
// through a timerfd, detect their own xruns, and fail on demand (see options.hpp).
//
// ALSA calls every callback but poll_revents with the PCM lock held; poll_revents may run
// concurrently with the others, so all state is guarded by Card::mutex.
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "loop.hpp"
#include "options.hpp"
#include "pacer.hpp"
#include "signal.hpp"

namespace testcard {
namespace {

enum class Phase { Setup, Prepared, Running, Halted, Unplugged };

struct Stats {
  uint64_t frames = 0;   // frames delivered (mic) or played from the client's data (speaker)
  uint64_t silence = 0;  // speaker: frames played past the client's data without an xrun
  uint64_t xruns = 0;
};

struct Card {
  snd_pcm_ioplug_t io{};
  Options options;
  std::mutex mutex;
  int timer_fd = -1;
  int64_t armed_ns = -1;  // the timer's absolute deadline; 0 when disarmed
  Pacer pacer;
  Signal signal;
  bool signal_ready = false;
  std::shared_ptr<Loop> loop;
  std::FILE* record = nullptr;
  Stats stats;

  snd_pcm_uframes_t avail_min = 1;
  snd_pcm_uframes_t stop_threshold = 0;
  snd_pcm_uframes_t boundary = 0;
  std::vector<float> shadow;  // playback: the ring the client writes into

  Phase phase = Phase::Setup;
  uint64_t appl = 0;           // frames transferred in this run
  uint64_t position = 0;       // the device's position in this run, as last computed
  uint64_t played = 0;         // playback: frames of this run already accounted for
  uint64_t device_frames = 0;  // frames the device moved in earlier runs
  uint64_t loop_origin = 0;    // loop frame time of this run's frame 0
  std::optional<Pacer::Stall> stall;  // this run's stall, at a frame of the run

  bool capture() const { return io.stream == SND_PCM_STREAM_CAPTURE; }
  uint32_t channels() const { return io.channels; }
  // The loop runs at the speaker half's rate and channel count.
  uint32_t loop_rate() const { return options.rate_max_hz; }
  // Loop frames (the speaker's clock) per device frame.
  double clock_ratio() const {
    if (!capture()) return 1.0;
    return static_cast<double>(loop_rate()) / io.rate / (1.0 + options.clock_ppm / 1e6);
  }
  snd_pcm_uframes_t buffer() const { return io.buffer_size; }
  bool xrun_checks() const { return stop_threshold < boundary; }
};

Card* card_of(snd_pcm_ioplug_t* io) { return static_cast<Card*>(io->private_data); }

uint64_t loop_delay_frames(const Card& card) {
  return uint64_t{card.options.loop_delay_ms} * card.loop_rate() / 1000;
}

// Setting the timer clears its expirations, so an unchanged deadline needs no call: the
// descriptor is already readable exactly when the deadline has passed.
void arm_at(Card& card, int64_t deadline_ns) {
  if (deadline_ns == card.armed_ns) return;
  card.armed_ns = deadline_ns;
  itimerspec deadline{};
  if (deadline_ns > 0) {
    deadline.it_value.tv_sec = deadline_ns / 1'000'000'000;
    deadline.it_value.tv_nsec = deadline_ns % 1'000'000'000;
  }
  timerfd_settime(card.timer_fd, TFD_TIMER_ABSTIME, &deadline, nullptr);
}

constexpr int64_t kNow = 1;  // an absolute deadline long past: readable at once

// --- loop scheduling (speaker half) ------------------------------------------------

// When frame k of this run sounds: after a stall, as much later as the stall lasted.
uint64_t sounds_at(const Card& card, uint64_t k) {
  uint64_t when = card.loop_origin + k;
  if (card.stall && k >= card.stall->at_frame) {
    when += static_cast<uint64_t>(card.stall->duration_ns * card.io.rate / 1'000'000'000);
  }
  return when;
}

void schedule(Card& card, uint64_t from, uint64_t to) {
  if (!card.loop || card.capture()) return;
  std::lock_guard lock(card.loop->mutex);
  for (uint64_t k = from; k < to; ++k) {
    const float* frame = &card.shadow[(k % card.buffer()) * card.channels()];
    card.loop->play(sounds_at(card, k), frame, card.channels());
  }
}

void unschedule(Card& card, uint64_t from, uint64_t to) {
  if (!card.loop || card.capture() || from >= to) return;
  std::lock_guard lock(card.loop->mutex);
  for (uint64_t k = from; k < to; ++k) {
    card.loop->cancel(sounds_at(card, k), sounds_at(card, k) + 1);
  }
}

// --- playback accounting -------------------------------------------------------------

// Moves the played frames [played, upto) to the record file, or counts them as silence
// where the device ran past the client's data.
void account_played(Card& card, uint64_t upto) {
  if (card.capture() || upto <= card.played) return;
  uint64_t data_end = std::min(upto, card.appl);
  for (uint64_t k = card.played; k < data_end;) {
    uint64_t slot = k % card.buffer();
    uint64_t run = std::min(data_end - k, card.buffer() - slot);
    if (card.record != nullptr) {
      std::fwrite(&card.shadow[slot * card.channels()], sizeof(float) * card.channels(), run,
                  card.record);
    }
    card.stats.frames += run;
    k += run;
  }
  uint64_t silence_from = std::max(card.played, card.appl);
  if (upto > silence_from) card.stats.silence += upto - silence_from;
  card.played = upto;
}

// --- position --------------------------------------------------------------------------

void unplug(Card& card, uint64_t at) {
  card.position = at;
  account_played(card, std::min(at, card.appl));
  unschedule(card, at, card.appl);
  card.phase = Phase::Unplugged;
  snd_pcm_ioplug_set_state(&card.io, SND_PCM_STATE_DISCONNECTED);
}

// The device stops where it ran out of room (capture) or data (playback).
void halt(Card& card, uint64_t at) {
  card.position = at;
  account_played(card, std::min(at, card.appl));
  unschedule(card, at, card.appl);
  card.device_frames += at;
  card.stats.xruns += 1;
  card.phase = Phase::Halted;
}

// Brings the position up to `now`, noticing device loss and xruns.
void advance(Card& card, int64_t now) {
  if (card.phase != Phase::Running) return;
  uint64_t pos = card.pacer.position(now);
  if (card.options.unplug_after_frames) {
    uint64_t limit = *card.options.unplug_after_frames;
    if (card.device_frames + pos >= limit) {
      unplug(card, limit > card.device_frames ? limit - card.device_frames : 0);
      return;
    }
  }
  if (card.capture()) {
    if (card.xrun_checks() && pos - card.appl >= card.stop_threshold) {
      halt(card, pos);
      return;
    }
  } else if (card.io.state == SND_PCM_STATE_DRAINING) {
    pos = std::min(pos, card.appl);
  } else if (card.xrun_checks() && pos + card.buffer() >= card.appl + card.stop_threshold) {
    halt(card, std::min(pos, card.appl));
    return;
  }
  card.position = pos;
  account_played(card, pos);
}

uint64_t avail(const Card& card) {
  if (card.capture()) return card.position - card.appl;
  uint64_t queued = card.appl > card.position ? card.appl - card.position : 0;
  return card.buffer() - std::min<uint64_t>(queued, card.buffer());
}

bool ready(const Card& card) {
  switch (card.phase) {
    case Phase::Running:
      if (!card.capture() && card.io.state == SND_PCM_STATE_DRAINING) {
        return card.position >= card.appl;
      }
      return avail(card) >= card.avail_min;
    case Phase::Prepared:
      return !card.capture() && avail(card) >= card.avail_min;
    case Phase::Halted:
    case Phase::Unplugged:
      return true;
    case Phase::Setup:
      break;
  }
  return false;
}

// Arms the timer for the moment the client next has work: avail reaching avail_min, the
// end of a drain, or the loss of the device.
void rearm(Card& card) {
  if (ready(card)) {
    // A deadline already passed keeps the descriptor readable as it is.
    if (card.armed_ns <= 0 || card.armed_ns > monotonic_ns()) arm_at(card, kNow);
    return;
  }
  if (card.phase != Phase::Running || card.pacer.paused()) {
    arm_at(card, 0);
    return;
  }
  uint64_t target = 0;
  if (card.capture()) {
    target = card.appl + card.avail_min;
  } else if (card.io.state == SND_PCM_STATE_DRAINING) {
    target = card.appl;
  } else {
    target = card.appl + card.avail_min - card.buffer();
  }
  int64_t deadline = card.pacer.time_of(target);
  if (card.options.unplug_after_frames) {
    uint64_t limit = *card.options.unplug_after_frames;
    uint64_t local = limit > card.device_frames ? limit - card.device_frames : 0;
    deadline = std::min(deadline, card.pacer.time_of(local));
  }
  arm_at(card, std::max(deadline, kNow));
}

// --- callbacks -------------------------------------------------------------------------

int card_start(snd_pcm_ioplug_t* io) {
  Card& card = *card_of(io);
  std::lock_guard lock(card.mutex);
  if (card.phase == Phase::Unplugged) return -ENODEV;
  int64_t now = monotonic_ns();
  std::optional<Pacer::Stall> stall;
  const bool stalls = card.options.kind != Kind::Loop || !card.capture();
  if (stalls && card.options.stall_at_frame &&
      *card.options.stall_at_frame >= card.device_frames) {
    stall = Pacer::Stall{*card.options.stall_at_frame - card.device_frames,
                         int64_t{card.options.stall_ms} * 1'000'000, !card.capture()};
  }
  card.stall = stall;
  card.pacer.start(io->rate, now, stall, card.capture() ? card.options.clock_ppm : 0.0);
  card.phase = Phase::Running;
  card.position = 0;
  if (card.loop) {
    {
      std::lock_guard loop_lock(card.loop->mutex);
      card.loop_origin = card.loop->frame_at(now);
    }
    schedule(card, 0, card.appl);
  }
  rearm(card);
  return 0;
}

int card_stop(snd_pcm_ioplug_t* io) {
  Card& card = *card_of(io);
  std::lock_guard lock(card.mutex);
  if (card.phase == Phase::Running) {
    advance(card, monotonic_ns());
    if (card.phase == Phase::Running) {
      unschedule(card, card.position, card.appl);
      card.device_frames += card.position;
      card.phase = Phase::Setup;
    }
  }
  if (card.phase != Phase::Unplugged) arm_at(card, 0);
  return 0;
}

snd_pcm_sframes_t card_pointer(snd_pcm_ioplug_t* io) {
  Card& card = *card_of(io);
  std::lock_guard lock(card.mutex);
  advance(card, monotonic_ns());
  if (card.phase == Phase::Halted) return -EPIPE;
  uint64_t position = card.boundary > 0 ? card.position % card.boundary : card.position;
  return static_cast<snd_pcm_sframes_t>(position);
}

void fill_capture(Card& card, const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                  snd_pcm_uframes_t size) {
  std::unique_lock<std::mutex> loop_lock;
  uint64_t delay = 0;
  if (card.loop) {
    loop_lock = std::unique_lock(card.loop->mutex);
    delay = loop_delay_frames(card);
  }
  const double ratio = card.clock_ratio();
  for (snd_pcm_uframes_t i = 0; i < size; ++i) {
    // On the loop's clock: a microphone clock off by some ppm samples between the frames.
    const double at = static_cast<double>(card.loop_origin) +
                      static_cast<double>(card.appl + i) * ratio;
    const auto heard_at = static_cast<uint64_t>(at);
    const auto between = static_cast<float>(at - static_cast<double>(heard_at));
    // A loop's near-end talker speaks in real time, whether or not the mic is running.
    uint64_t frame = card.loop ? heard_at : card.device_frames + card.appl + i;
    for (uint32_t c = 0; c < card.channels(); ++c) {
      float value = card.signal.sample(frame, c);
      if (card.loop && heard_at >= delay) {
        const float now = card.loop->heard(heard_at - delay, c);
        const float next = between == 0.0f ? now : card.loop->heard(heard_at - delay + 1, c);
        value += static_cast<float>(card.options.loop_gain) * (now + between * (next - now));
      }
      const snd_pcm_channel_area_t& a = areas[c];
      auto* base = static_cast<char*>(a.addr) + (a.first + a.step * (offset + i)) / 8;
      *reinterpret_cast<float*>(base) = value;
    }
  }
  card.stats.frames += size;
}

void take_playback(Card& card, const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                   snd_pcm_uframes_t size) {
  for (snd_pcm_uframes_t i = 0; i < size; ++i) {
    float* slot = &card.shadow[((card.appl + i) % card.buffer()) * card.channels()];
    for (uint32_t c = 0; c < card.channels(); ++c) {
      const snd_pcm_channel_area_t& a = areas[c];
      auto* base = static_cast<const char*>(a.addr) + (a.first + a.step * (offset + i)) / 8;
      slot[c] = *reinterpret_cast<const float*>(base);
    }
  }
  if (card.phase == Phase::Running) schedule(card, card.appl, card.appl + size);
}

snd_pcm_sframes_t card_transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
  Card& card = *card_of(io);
  std::lock_guard lock(card.mutex);
  if (card.phase == Phase::Unplugged) return -ENODEV;
  if (card.capture()) {
    fill_capture(card, areas, offset, size);
  } else {
    take_playback(card, areas, offset, size);
  }
  card.appl += size;
  rearm(card);
  return static_cast<snd_pcm_sframes_t>(size);
}

int card_prepare(snd_pcm_ioplug_t* io) {
  Card& card = *card_of(io);
  std::lock_guard lock(card.mutex);
  if (card.phase == Phase::Unplugged) return -ENODEV;
  if (card.phase == Phase::Running) {
    advance(card, monotonic_ns());
    if (card.phase == Phase::Running) card.device_frames += card.position;
  }
  if (!card.signal_ready) {
    if (!card.signal.prepare(card.options.signal, io->rate, io->channels)) return -errno;
    card.signal_ready = true;
  }
  card.phase = Phase::Prepared;
  card.appl = 0;
  card.position = 0;
  card.played = 0;
  rearm(card);
  return 0;
}

int card_hw_params(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t*) {
  Card& card = *card_of(io);
  std::lock_guard lock(card.mutex);
  card.signal_ready = false;
  if (!card.capture()) card.shadow.assign(io->buffer_size * io->channels, 0.0f);
  if (!card.options.record_path.empty() && card.record == nullptr) {
    card.record = std::fopen(card.options.record_path.c_str(), "wb");
    if (card.record == nullptr) return -errno;
  }
  if (card.options.kind == Kind::Loop && !card.loop) {
    card.loop = Loop::find(card.options.loop_name, card.loop_rate(), card.options.channels_max);
  }
  return 0;
}

int card_sw_params(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params) {
  Card& card = *card_of(io);
  std::lock_guard lock(card.mutex);
  snd_pcm_sw_params_get_avail_min(params, &card.avail_min);
  snd_pcm_sw_params_get_stop_threshold(params, &card.stop_threshold);
  snd_pcm_sw_params_get_boundary(params, &card.boundary);
  card.avail_min = std::max<snd_pcm_uframes_t>(card.avail_min, 1);
  return 0;
}

int card_pause(snd_pcm_ioplug_t* io, int enable) {
  Card& card = *card_of(io);
  std::lock_guard lock(card.mutex);
  if (card.phase != Phase::Running) return 0;
  int64_t now = monotonic_ns();
  advance(card, now);
  if (card.phase != Phase::Running) return 0;
  if (enable) {
    card.pacer.pause(now);
    unschedule(card, card.position, card.appl);
  } else {
    card.pacer.resume(now);
    if (card.loop) {
      {
        std::lock_guard loop_lock(card.loop->mutex);
        card.loop_origin = card.loop->frame_at(now) -
                           static_cast<uint64_t>(static_cast<double>(card.position) *
                                                 card.clock_ratio());
      }
      schedule(card, card.position, card.appl);
    }
  }
  rearm(card);
  return 0;
}

int card_poll_revents(snd_pcm_ioplug_t* io, struct pollfd*, unsigned int,
                      unsigned short* revents) {
  Card& card = *card_of(io);
  std::lock_guard lock(card.mutex);
  advance(card, monotonic_ns());
  if (card.phase == Phase::Unplugged) {
    *revents = POLLERR;
    arm_at(card, kNow);
    return 0;
  }
  *revents = ready(card) ? (card.capture() ? POLLIN : POLLOUT) : 0;
  rearm(card);
  return 0;
}

void write_stats(const Card& card) {
  if (card.options.stats_path.empty()) return;
  std::FILE* f = std::fopen(card.options.stats_path.c_str(), "w");
  if (f == nullptr) return;
  std::fprintf(f, "frames=%llu silence=%llu xruns=%llu\n",
               static_cast<unsigned long long>(card.stats.frames),
               static_cast<unsigned long long>(card.stats.silence),
               static_cast<unsigned long long>(card.stats.xruns));
  std::fclose(f);
}

int card_close(snd_pcm_ioplug_t* io) {
  std::unique_ptr<Card> card(card_of(io));
  card_stop(io);
  write_stats(*card);
  if (card->record != nullptr) std::fclose(card->record);
  close(card->timer_fd);
  return 0;
}

const snd_pcm_ioplug_callback_t kCallbacks = [] {
  snd_pcm_ioplug_callback_t c{};
  c.start = card_start;
  c.stop = card_stop;
  c.pointer = card_pointer;
  c.transfer = card_transfer;
  c.close = card_close;
  c.hw_params = card_hw_params;
  c.sw_params = card_sw_params;
  c.prepare = card_prepare;
  c.pause = card_pause;
  c.poll_revents = card_poll_revents;
  return c;
}();

constexpr snd_pcm_uframes_t kMinPeriodFrames = 16;
constexpr snd_pcm_uframes_t kMaxPeriodFrames = 16384;
constexpr snd_pcm_uframes_t kMaxBufferFrames = 65536;

int constrain(snd_pcm_ioplug_t& io, const Options& o) {
  static const unsigned int access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
  static const unsigned int format[] = {SND_PCM_FORMAT_FLOAT_LE};
  const unsigned int bytes_min = sizeof(float) * o.channels_min;
  const unsigned int bytes_max = sizeof(float) * o.channels_max;
  int rc = 0;
  if ((rc = snd_pcm_ioplug_set_param_list(&io, SND_PCM_IOPLUG_HW_ACCESS, 1, access)) < 0 ||
      (rc = snd_pcm_ioplug_set_param_list(&io, SND_PCM_IOPLUG_HW_FORMAT, 1, format)) < 0 ||
      (rc = snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_CHANNELS, o.channels_min,
                                            o.channels_max)) < 0 ||
      (rc = snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_RATE, o.rate_min_hz,
                                            o.rate_max_hz)) < 0 ||
      (rc = snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_PERIOD_BYTES,
                                            kMinPeriodFrames * bytes_min,
                                            kMaxPeriodFrames * bytes_max)) < 0 ||
      (rc = snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_PERIODS, 2, 64)) < 0 ||
      (rc = snd_pcm_ioplug_set_param_minmax(&io, SND_PCM_IOPLUG_HW_BUFFER_BYTES,
                                            2 * kMinPeriodFrames * bytes_min,
                                            kMaxBufferFrames * bytes_max)) < 0) {
    return rc;
  }
  return 0;
}

int open_card(snd_pcm_t** pcmp, const char* name, snd_config_t* conf,
              snd_pcm_stream_t stream, int mode) {
  auto card = std::make_unique<Card>();
  int rc = parse_options(conf, card->options);
  if (rc < 0) return rc;
  const Options& o = card->options;
  if (o.open_error != 0) return -o.open_error;
  // The mic half of a loop may have a rate and layout of its own.
  Options offered = o;
  if (o.kind == Kind::Loop && stream == SND_PCM_STREAM_CAPTURE) {
    if (o.mic_rate_hz != 0) offered.rate_min_hz = offered.rate_max_hz = o.mic_rate_hz;
    if (o.mic_channels != 0) offered.channels_min = offered.channels_max = o.mic_channels;
  }
  // A device that has no such direction, as a capture-only or playback-only card.
  if ((o.kind == Kind::Mic && stream != SND_PCM_STREAM_CAPTURE) ||
      (o.kind == Kind::Speaker && stream != SND_PCM_STREAM_PLAYBACK)) {
    return -ENOENT;
  }
  card->timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (card->timer_fd < 0) return -errno;

  snd_pcm_ioplug_t& io = card->io;
  io.version = SND_PCM_IOPLUG_VERSION;
  io.name = "murello test sound card";
  io.callback = &kCallbacks;
  io.private_data = card.get();
  io.poll_fd = card->timer_fd;
  // A timerfd only ever signals POLLIN; poll_revents turns it into POLLOUT for playback.
  io.poll_events = POLLIN;
  io.flags = SND_PCM_IOPLUG_FLAG_BOUNDARY_WA | SND_PCM_IOPLUG_FLAG_MONOTONIC;
  rc = snd_pcm_ioplug_create(&io, name, stream, mode);
  if (rc < 0) {
    close(card->timer_fd);
    return rc;
  }
  rc = constrain(io, offered);
  if (rc < 0) {
    snd_pcm_ioplug_delete(&io);  // calls card_close, which frees the card
    card.release();
    return rc;
  }
  *pcmp = io.pcm;
  card.release();  // owned by the PCM from now on; card_close frees it
  return 0;
}

}  // namespace
}  // namespace testcard

extern "C" {
SND_PCM_PLUGIN_DEFINE_FUNC(testcard) {
  (void)root;
  return testcard::open_card(pcmp, name, conf, stream, mode);
}
SND_PCM_PLUGIN_SYMBOL(testcard);
}
