#include "devices/audio_thread.hpp"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <system_error>
#include <utility>

namespace murello {
namespace {

int64_t monotonic_now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// How long a suspended device is given to resume before it is prepared afresh.
constexpr int kResumeWaitMs = 50;
constexpr int kResumeAttempts = 20;

}  // namespace

Result<WakeFd, std::string> WakeFd::create() {
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return std::string("cannot create a wake-up descriptor: ") + strerror(errno);
  return WakeFd(fd);
}

WakeFd::~WakeFd() {
  if (fd_ >= 0) close(fd_);
}

void WakeFd::signal() const {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(fd_, &one, sizeof one);
}

void WakeFd::drain() const {
  uint64_t count = 0;
  [[maybe_unused]] ssize_t n = read(fd_, &count, sizeof count);
}

Result<std::unique_ptr<AudioThread>, std::string> AudioThread::start(Pcm pcm,
                                                                     Direction direction,
                                                                     uint16_t channels,
                                                                     Callbacks callbacks,
                                                                     WakeFd wake) {
  auto thread = std::make_unique<AudioThread>(std::move(pcm), direction, channels,
                                              std::move(callbacks), std::move(wake));
  try {
    thread->thread_ = std::thread([raw = thread.get()] { raw->run(); });
  } catch (const std::system_error& e) {
    return std::string("cannot start the audio thread: ") + e.what();
  }
  return thread;
}

AudioThread::AudioThread(Pcm pcm, Direction direction, uint16_t channels, Callbacks callbacks,
                         WakeFd wake)
    : pcm_(std::move(pcm)),
      direction_(direction),
      channels_(channels),
      callbacks_(std::move(callbacks)),
      wake_(std::move(wake)),
      period_(size_t{pcm_.period_frames} * channels) {
  int count = snd_pcm_poll_descriptors_count(pcm_.handle.get());
  fds_.resize(1 + static_cast<size_t>(count > 0 ? count : 0));
  fds_[0] = pollfd{wake_.fd(), POLLIN, 0};
  if (count > 0) {
    snd_pcm_poll_descriptors(pcm_.handle.get(), &fds_[1], static_cast<unsigned int>(count));
  }
}

AudioThread::~AudioThread() {
  if (thread_.joinable()) {
    request(Command::Stop);
    thread_.join();
  }
}

void AudioThread::request(Command command) {
  MutexLock lock(request_mutex_);
  wanted_.store(command, std::memory_order_relaxed);
  uint64_t ticket = requested_.fetch_add(1, std::memory_order_release) + 1;
  wake_.signal();
  if (command == Command::Stop) return;  // the owner joins the thread instead
  for (uint64_t seen = served_.load(std::memory_order_acquire); seen < ticket;
       seen = served_.load(std::memory_order_acquire)) {
    served_.wait(seen, std::memory_order_acquire);
  }
}

bool AudioThread::command_pending() const {
  return requested_.load(std::memory_order_relaxed) != applied_;
}

void AudioThread::run() {
  audio_thread_.on_this_thread();
  pthread_setname_np(pthread_self(),
                     direction_ == Direction::Capture ? "cpal_alsa_in" : "cpal_alsa_out");
  while (true) {
    apply_pending_command();
    if (stopping_) return;
    // While paused or after a failure only requests can wake the thread.
    int count = (delivering_ && !ended_) ? static_cast<int>(fds_.size()) : 1;
    int rc = poll(fds_.data(), static_cast<nfds_t>(count), -1);
    if (rc < 0) continue;  // EINTR
    if (fds_[0].revents != 0) {
      wake_.drain();
      continue;
    }
    if (count > 1) service_pcm(&fds_[1], count - 1);
  }
}

void AudioThread::apply_pending_command() {
  uint64_t ticket = requested_.load(std::memory_order_acquire);
  if (ticket == applied_) return;
  applied_ = ticket;
  Command command = wanted_.load(std::memory_order_relaxed);
  bool start = command == Command::Play && !delivering_ && !ended_;
  if (command == Command::Pause && delivering_ && !ended_) stop_device();
  if (command == Command::Stop) stopping_ = true;
  if (command != Command::Stop) delivering_ = command == Command::Play;
  // Pause is acknowledged once no callback can follow; play without waiting for the
  // callbacks that fill a playback buffer before the device starts.
  served_.store(ticket, std::memory_order_release);
  served_.notify_all();
  if (start) start_device();
}

// Failures here are not reported: a device that stays broken shows it at the next poll.
void AudioThread::start_device() {
  snd_pcm_t* pcm = pcm_.handle.get();
  if (direction_ == Direction::Capture) look_at_capture(0);
  snd_pcm_state_t state = snd_pcm_state(pcm);
  if (state == SND_PCM_STATE_RUNNING) return;
  output_restarted_ = true;
  if (state == SND_PCM_STATE_PAUSED) {
    if (snd_pcm_pause(pcm, 0) >= 0) return;
    snd_pcm_drop(pcm);
    state = snd_pcm_state(pcm);
  }
  if (state != SND_PCM_STATE_PREPARED) {
    if (snd_pcm_prepare(pcm) < 0) return;
    if (direction_ == Direction::Capture) period_offset_ = 0;
  }
  // Playback starts with a full buffer, so the first period has time to arrive.
  if (direction_ == Direction::Playback) playback_periods();
  snd_pcm_start(pcm);
}

void AudioThread::stop_device() {
  snd_pcm_t* pcm = pcm_.handle.get();
  if (pcm_.can_pause && snd_pcm_state(pcm) == SND_PCM_STATE_RUNNING &&
      snd_pcm_pause(pcm, 1) >= 0) {
    return;
  }
  snd_pcm_drop(pcm);
}

void AudioThread::service_pcm(pollfd* fds, int count) {
  unsigned short revents = 0;
  int rc = snd_pcm_poll_descriptors_revents(pcm_.handle.get(), fds,
                                            static_cast<unsigned int>(count), &revents);
  if (rc < 0) {
    recover(rc);
  } else if (revents & (POLLERR | POLLNVAL)) {
    on_poll_error();
  } else if (revents & (POLLIN | POLLOUT)) {
    if (direction_ == Direction::Capture) {
      capture_periods();
    } else {
      playback_periods();
    }
  }
}

void AudioThread::on_poll_error() {
  snd_pcm_t* pcm = pcm_.handle.get();
  switch (snd_pcm_state(pcm)) {
    case SND_PCM_STATE_XRUN:
      recover(-EPIPE);
      return;
    case SND_PCM_STATE_SUSPENDED:
      recover(-ESTRPIPE);
      return;
    case SND_PCM_STATE_DISCONNECTED:
      fail(-ENODEV);
      return;
    default:
      break;
  }
  snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm);
  fail(avail < 0 ? static_cast<int>(avail) : -EIO);
}

void AudioThread::capture_periods() {
  snd_pcm_t* pcm = pcm_.handle.get();
  const uint32_t period = pcm_.period_frames;
  while (!command_pending()) {
    snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm);
    if (avail < 0) return recover(static_cast<int>(avail));
    look_at_capture(static_cast<uint64_t>(avail));
    uint32_t wanted = period - period_offset_;
    if (static_cast<snd_pcm_uframes_t>(avail) < wanted) return;
    snd_pcm_sframes_t n = snd_pcm_readi(pcm, &period_[size_t{period_offset_} * channels_], wanted);
    if (n < 0) return recover(static_cast<int>(n));
    unread_frames_ -= std::min<uint64_t>(unread_frames_, static_cast<uint64_t>(n));
    period_offset_ += static_cast<uint32_t>(n);
    if (period_offset_ == period) {
      period_offset_ = 0;
      callbacks_.on_input(std::span<const float>(period_));
    }
  }
}

void AudioThread::look_at_capture(uint64_t unread_frames) {
  last_look_ns_ = monotonic_now_ns();
  unread_frames_ = unread_frames;
}

// What the device held unread at the last look, what it captured since (the time that
// passed, at its rate) and the part of a period already read: a recovery discards all
// of it.
uint64_t AudioThread::frames_lost_since_last_look() const {
  const int64_t elapsed_ns = std::max<int64_t>(monotonic_now_ns() - last_look_ns_, 0);
  const auto since = static_cast<uint64_t>(static_cast<unsigned __int128>(elapsed_ns) *
                                           pcm_.sample_rate_hz / 1'000'000'000);
  return unread_frames_ + since + period_offset_;
}

void AudioThread::playback_periods() {
  snd_pcm_t* pcm = pcm_.handle.get();
  const uint32_t period = pcm_.period_frames;
  while (!command_pending()) {
    snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm);
    if (avail < 0) return recover(static_cast<int>(avail));
    if (!period_pending_) {
      if (static_cast<snd_pcm_uframes_t>(avail) < period) return;
      // The frames already in the device's buffer play first.
      const uint64_t queued =
          pcm_.buffer_frames - std::min<uint64_t>(pcm_.buffer_frames, static_cast<uint64_t>(avail));
      const OutputTiming timing{
          monotonic_now_ns() + static_cast<int64_t>(queued * 1'000'000'000 / pcm_.sample_rate_hz),
          std::exchange(output_restarted_, false)};
      callbacks_.on_output(std::span<float>(period_), timing);
      period_pending_ = true;
      period_offset_ = 0;
    }
    snd_pcm_uframes_t left = period - period_offset_;
    snd_pcm_sframes_t n = snd_pcm_writei(pcm, &period_[size_t{period_offset_} * channels_],
                                         std::min<snd_pcm_uframes_t>(left, avail));
    if (n < 0) return recover(static_cast<int>(n));
    period_offset_ += static_cast<uint32_t>(n);
    if (period_offset_ == period) period_pending_ = false;
    if (n == 0) return;
  }
}

// An overrun or underrun (-EPIPE) or a suspend (-ESTRPIPE) is survivable: the device is
// restarted and the stream goes on. Anything else ends the stream.
void AudioThread::recover(int error) {
  snd_pcm_t* pcm = pcm_.handle.get();
  if (error == -EAGAIN) return;
  if (error == -ESTRPIPE) {
    int rc = -EAGAIN;
    for (int i = 0; i < kResumeAttempts && rc == -EAGAIN && !command_pending(); ++i) {
      rc = snd_pcm_resume(pcm);
      if (rc == -EAGAIN) poll(fds_.data(), 1, kResumeWaitMs);
    }
    if (rc >= 0 || rc == -EAGAIN) return;  // resumed, or try again at the next wake-up
    error = -EPIPE;
  }
  if (error != -EPIPE) return fail(error);
  const uint64_t lost = direction_ == Direction::Capture ? frames_lost_since_last_look() : 0;
  if (int rc = snd_pcm_prepare(pcm); rc < 0) return fail(rc);
  if (direction_ == Direction::Capture) period_offset_ = 0;
  start_device();
  if (lost > 0 && callbacks_.on_loss) callbacks_.on_loss(lost);
}

void AudioThread::fail(int error) {
  if (ended_) return;
  ended_ = true;
  callbacks_.on_error(snd_strerror(error));
}

}  // namespace murello
