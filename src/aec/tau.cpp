#include "aec/tau.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "aec/sample.hpp"

namespace murello::aec {
namespace {

constexpr double kGuardSmoothing = 0.98;
constexpr double kGuardMargin = 1.05;
constexpr double kErleSmoothing = 0.999;
constexpr double kErleFloor = 1e-10;
constexpr double kTrustedErle = 2.0;  // 3 dB

}  // namespace

std::size_t Tau::partitions_for(const EngineConfig& config) {
  // Whole blocks that cover the tail, from the exact tail length: rounding the
  // samples down first would lose a block whenever the tail ends just past one.
  const std::uint64_t scaled = std::uint64_t{config.sample_rate_hz} * config.tail_ms;
  const std::uint64_t per_block = std::uint64_t{1000} * kBlock;
  return static_cast<std::size_t>((scaled + per_block - 1) / per_block);
}

Result<Tau, AecError> Tau::create(const EngineConfig& config) {
  if (auto valid = validate(config); !valid) return std::move(valid).error();
  auto plan = RealFft::create(2 * kBlock);
  if (!plan) return std::move(plan).error();
  auto tracker = DelayTracker::create(config);
  if (!tracker) return std::move(tracker).error();
  return Tau(config, std::move(plan).value(), std::move(tracker).value());
}

Tau::Tau(const EngineConfig& config, RealFft plan, DelayTracker tracker)
    : config_(config),
      plan_(std::move(plan)),
      tracker_(std::move(tracker)),
      filter_(partitions_for(config), config.sample_rate_hz),
      double_talk_(config.sample_rate_hz, kBlock),
      drift_(config.sample_rate_hz, kBlock),
      suppressor_(PartitionedFilter::kBins),
      near_(kBlock),
      far_(kBlock),
      out_(kBlock) {
  if (config.transition.mode == 1) {
    transition_.emplace(config.sample_rate_hz, config.transition.fall_ms, config.transition.rise_ms, kBlock);
  }
}

void Tau::process(std::span<const float> near, std::vector<float>& out) {
  while (!near.empty()) {
    const std::size_t count = std::min(near.size(), kBlock - fill_);
    tracker_.align(std::span(far_).subspan(fill_, count));
    // The mix falls while no delay is trusted: the filter then sees a silent far
    // end and the raw microphone signal is the honest output.
    const bool falling = tracker_.status() == TrackerStatus::kNoDelay;
    for (std::size_t i = 0; i < count; ++i) {
      near_[fill_ + i] = finite_or_zero(near[i]);
      if (transition_) transition_->record(fill_ + i, near_[fill_ + i], falling);
    }
    fill_ += count;
    near = near.subspan(count);
    if (fill_ == kBlock) {
      step(true);
      out.insert(out.end(), out_.begin(), out_.end());
      fill_ = 0;
    }
  }
}

void Tau::flush(std::vector<float>& out) {
  if (fill_ == 0) return;
  std::fill(near_.begin() + static_cast<std::ptrdiff_t>(fill_), near_.end(), 0.0f);
  std::fill(far_.begin() + static_cast<std::ptrdiff_t>(fill_), far_.end(), 0.0f);
  step(false);
  out.insert(out.end(), out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(fill_));
  fill_ = 0;
}

void Tau::reset() {
  filter_.reset();
  double_talk_.reset();
  drift_.forget();
  suppressor_.reset();
  guard_near_ = guard_out_ = 0.0;
  erle_near_ = erle_out_ = 0.0;
}

void Tau::step(bool estimate) {
  if (estimate && tracker_.estimate(near_)) {
    reset();
    ++delay_changes_;
  }
  filter_.predict(plan_, near_.data(), far_.data());
  if (filter_.blew_up()) suppressor_.reset();
  double_talk_.update(far_.data(), near_.data(), filter_.echo());
  filter_.adapt(plan_, double_talk_.mu(), !double_talk_.double_talk(), double_talk_.warm());

  if (config_.suppression == Suppression::kConservative && filter_.far_seen() && !filter_.blew_up()) {
    suppressor_.process(plan_, filter_.error_window(), filter_.echo_spectrum(), double_talk_.held(), out_.data());
  } else {
    std::copy(filter_.error(), filter_.error() + kBlock, out_.begin());
  }
  guard_and_measure();
  // The drift loop learns only from a filter that removes at least half the echo.
  drift_.update(plan_, filter_.background(), filter_.far_power(),
                filter_.far_seen() && !double_talk_.double_talk() && guard_out_ * kTrustedErle < guard_near_);
  tracker_.set_drift(drift_.rate());
  if (transition_) transition_->apply(out_.data(), kBlock);
}

void Tau::guard_and_measure() {
  guard_near_ = kGuardSmoothing * guard_near_ + (1.0 - kGuardSmoothing) * energy({near_.data(), kBlock});
  guard_out_ = kGuardSmoothing * guard_out_ + (1.0 - kGuardSmoothing) * energy({out_.data(), kBlock});
  // A foreground that adds energy is diverging or the echo path has changed (a
  // near talker alone never makes the error louder than the microphone): pass the
  // near end through, back the weights off, and let the background learn the new
  // path at full speed instead of taking the mismatch for double talk. Once the
  // detector is warm the filter had found a path and has now lost it (the room
  // changed, the speaker turned round): learning the new path from nothing is
  // faster than unlearning the old one, so both weight sets start again. Before
  // that the filter is still finding its first path, and halving keeps what it
  // has learnt. From here the output is the microphone, and the guard follows it.
  if (guard_near_ > 0.0 && kGuardMargin * guard_near_ < guard_out_) {
    if (double_talk_.warm()) {
      filter_.clear_weights();
    } else {
      filter_.halve_foreground();
    }
    double_talk_.reset();
    std::copy(near_.begin(), near_.end(), out_.begin());
    guard_out_ = guard_near_;
  }
  for (std::size_t i = 0; i < kBlock; ++i) {
    erle_near_ = kErleSmoothing * erle_near_ + (1.0 - kErleSmoothing) * static_cast<double>(near_[i]) * near_[i];
    erle_out_ = kErleSmoothing * erle_out_ + (1.0 - kErleSmoothing) * static_cast<double>(out_[i]) * out_[i];
  }
}

Metrics Tau::metrics() const {
  Metrics m;
  m.delay = tracker_.delay();
  m.erle_db = erle_near_ > kErleFloor
                  ? static_cast<float>(10.0 * std::log10(erle_near_ / std::max(erle_out_, kErleFloor)))
                  : 0.0f;
  m.adaptation_held = double_talk_.held();
  m.far_missing = tracker_.far_missing();
  m.samples_without_delay = tracker_.samples_without_delay();
  m.search_restarts = tracker_.search_restarts();
  return m;
}

}  // namespace murello::aec
