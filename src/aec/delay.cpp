#include "aec/delay.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "aec/sample.hpp"

namespace murello::aec {
namespace {

// The applied delay stops this many samples short of the lag found, so the
// filter also covers a slightly earlier echo; coarse offsets keep the same margin.
constexpr std::uint64_t kMargin = 16;
// A coarse decision acts once two decisions in a row agree.
constexpr std::size_t kConfirmations = 2;
// A fine search that has not decided after this many steps starts its
// accumulation afresh, so evidence from a stale alignment cannot pile up...
constexpr std::size_t kFineStepLimit = 64;
// ...and rests for this many of its periods (about 16 s), unless a confirmed coarse
// decision wakes it: a far end with no echo (a headset) then costs only the cheap
// coarse search.
constexpr std::uint64_t kFineRestPeriods = 127;

// After a decision the fine search checks the delay again this often, its window
// centred on the delay applied, so a move the coarse search cannot tell (less than
// its 30 ms) is found too.
constexpr std::uint64_t kRecheckSeconds = 5;
// A fine decision this much later than the delay applied keeps the filter.
constexpr std::uint64_t kLateToleranceMs = 5;
// align() reads at most this many samples at a time.
constexpr std::size_t kAlignPiece = 256;

std::uint64_t distance(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : b - a; }

}  // namespace

// Schedule: the coarse search runs every 64 ms of near input (one evaluation costs
// three FFTs of about twice the ceiling in envelope values), the fine search every
// 128 ms while it is active (three FFTs of twice its window). The fine search runs
// from the start, after each confirmed coarse move and every few seconds after a
// decision, and rests once it has decided.
Result<DelayTracker, AecError> DelayTracker::create(const EngineConfig& config) {
  if (config.fixed_delay_ms) return DelayTracker(config, std::nullopt);
  const std::size_t factor = (config.sample_rate_hz + 500) / 1000;
  const std::size_t envelope_rate = config.sample_rate_hz / factor;
  auto coarse = CoarseSearch::create(config.ceiling_ms * envelope_rate / 1000,
                                     static_cast<std::size_t>(static_cast<double>(envelope_rate) * 0.256));
  if (!coarse) return std::move(coarse).error();
  auto fine = FineSearch::create(std::size_t{config.sample_rate_hz} * config.max_delay_ms / 1000);
  if (!fine) return std::move(fine).error();
  return DelayTracker(config, Searches{std::move(coarse).value(), std::move(fine).value()});
}

DelayTracker::DelayTracker(const EngineConfig& config, std::optional<Searches> searches)
    : history_(std::size_t{4} * config.sample_rate_hz +
               std::size_t{config.sample_rate_hz} * (config.max_delay_ms + config.tail_ms) / 1000),
      reader_(kAlignPiece),
      searches_(std::move(searches)),
      factor_((config.sample_rate_hz + 500) / 1000),
      far_envelope_(factor_, searches_ ? searches_->coarse.lags() + searches_->coarse.window() + 4000 : 1),
      near_envelope_(factor_, searches_ ? searches_->coarse.lags() + searches_->coarse.window() + 4000 : 1),
      near_(searches_ ? searches_->fine.lags() : 1),
      near_window_(searches_ ? searches_->fine.lags() : 0),
      far_window_(searches_ ? 2 * searches_->fine.lags() : 0),
      near_envelope_window_(searches_ ? searches_->coarse.window() : 0),
      far_envelope_window_(searches_ ? searches_->coarse.lags() + searches_->coarse.window() : 0),
      coarse_hop_(std::size_t{config.sample_rate_hz} * 64 / 1000),
      fine_hop_(std::size_t{config.sample_rate_hz} * 128 / 1000),
      recheck_period_(std::uint64_t{config.sample_rate_hz} * kRecheckSeconds),
      late_tolerance_(std::max<std::uint64_t>(kMargin, std::uint64_t{config.sample_rate_hz} * kLateToleranceMs / 1000)),
      look_back_(searches_ ? searches_->fine.lags() / 2 : 0),
      confirm_tolerance_(factor_ * (config.sample_rate_hz / factor_ / 125)),
      recentre_tolerance_(factor_ * static_cast<std::uint64_t>(config.sample_rate_hz / factor_ * 0.03)) {
  if (config.fixed_delay_ms) {
    delay_ = std::uint64_t{config.sample_rate_hz} * std::min(config.max_delay_ms, *config.fixed_delay_ms) / 1000;
  }
}

TrackerStatus DelayTracker::status() const {
  if (!delay_) return TrackerStatus::kNoDelay;
  return searches_ && fine_active_ ? TrackerStatus::kSearching : TrackerStatus::kLocked;
}

void DelayTracker::push_far(std::span<const float> samples) {
  for (float x : samples) {
    const float v = finite_or_zero(x);
    history_.push(v);
    if (searches_) far_envelope_.push(v);
  }
}

std::optional<std::uint64_t> DelayTracker::delay() const {
  if (!delay_) return std::nullopt;
  return static_cast<std::uint64_t>(std::max(0.0, std::round(applied())));
}

void DelayTracker::align(std::span<float> out) {
  if (delay_) {
    far_missing_ += history_.read(static_cast<std::int64_t>(near_processed_) - static_cast<std::int64_t>(*delay_), out);
    if (drift_ != 0.0 || shift_ != 0.0) {
      // Near sample n pairs with far position n − delay − shift(n), the shift
      // growing by the drift rate each sample.
      for (std::size_t done = 0; done < out.size(); done += kAlignPiece) {
        const auto piece = out.subspan(done, std::min(kAlignPiece, out.size() - done));
        const double start = static_cast<double>(near_processed_ + done) - applied();
        reader_.read(history_, start, 1.0 - drift_, piece);
        shift_ += drift_ * static_cast<double>(piece.size());
      }
    }
  } else {
    std::fill(out.begin(), out.end(), 0.0f);
    samples_without_delay_ += out.size();
  }
  near_processed_ += out.size();
}

bool DelayTracker::estimate(std::span<const float> near) {
  if (!searches_) return false;
  // A far end a whole history ahead of the aligned position has outrun anything
  // the searches hold; count that once per episode and start over.
  const std::int64_t ahead = static_cast<std::int64_t>(history_.written()) -
                             static_cast<std::int64_t>(near_processed_) -
                             static_cast<std::int64_t>(delay_.value_or(0));
  const bool far_ahead = ahead >= static_cast<std::int64_t>(history_.capacity());
  if (far_ahead && !far_ahead_) restart_search();
  far_ahead_ = far_ahead;

  near_envelope_.push(near);
  near_.push(near);
  const std::uint64_t now = near_.written();
  if (now >= next_coarse_) {
    next_coarse_ = now + coarse_hop_;
    run_coarse();
  }
  if (!fine_active_ && delay_ && now >= next_recheck_) {
    const std::uint64_t lag = *delay() + kMargin;
    start_fine(lag > look_back_ ? lag - look_back_ : 0);
    next_recheck_ = now + recheck_period_;
  }
  if (fine_active_ && now >= next_fine_ && now >= near_.capacity() && now >= fine_rest_until_) {
    next_fine_ = now + fine_hop_;
    return run_fine();
  }
  return false;
}

void DelayTracker::restart_search() {
  searches_->coarse.reset();
  searches_->fine.reset();
  candidate_.reset();
  confirmations_ = 0;
  anchor_.reset();
  fine_active_ = !delay_;
  fine_offset_ = 0;
  fine_rest_until_ = 0;
  ++search_restarts_;
}

void DelayTracker::run_coarse() {
  CoarseSearch& coarse = searches_->coarse;
  const std::int64_t end = static_cast<std::int64_t>(near_envelope_.values().written());
  if (end < static_cast<std::int64_t>(coarse.window())) return;
  near_envelope_.values().read(end - static_cast<std::int64_t>(coarse.window()), near_envelope_window_);
  far_envelope_.values().read(end - static_cast<std::int64_t>(far_envelope_window_.size()), far_envelope_window_);
  coarse.evaluate(near_envelope_window_, far_envelope_window_);
  const auto lag = coarse.decide();
  if (!lag) return;

  const std::uint64_t found = *lag * factor_;
  if (candidate_ && distance(found, *candidate_) <= confirm_tolerance_) {
    ++confirmations_;
  } else {
    candidate_ = found;
    confirmations_ = 1;
  }
  if (confirmations_ < kConfirmations) return;
  std::optional<std::uint64_t> reference = anchor_;
  if (!reference && delay_) reference = *delay() + kMargin;
  if (!reference || distance(found, *reference) > recentre_tolerance_) {
    anchor_ = found;
    // Envelope peaks trail the direct path by the room's smearing (up to a
    // hundred milliseconds and more in a long room), so the candidate sits in the
    // middle of the fine window rather than near its start.
    start_fine(found > kMargin + look_back_ ? found - kMargin - look_back_ : 0);
  }
}

void DelayTracker::start_fine(std::uint64_t offset) {
  searches_->fine.reset();
  fine_offset_ = offset;
  fine_active_ = true;
  fine_rest_until_ = 0;
}

bool DelayTracker::run_fine() {
  FineSearch& fine = searches_->fine;
  const auto now = static_cast<std::int64_t>(near_.written());
  const auto lags = static_cast<std::int64_t>(fine.lags());
  near_.read(now - lags, near_window_);
  history_.read(now - static_cast<std::int64_t>(fine_offset_) - 2 * lags, far_window_);
  if (!fine.accumulate(near_window_, far_window_)) return false;
  const auto lag = fine.decide();
  if (!lag) {
    if (fine.steps() >= kFineStepLimit) {
      fine.reset();
      fine_rest_until_ = near_.written() + kFineRestPeriods * fine_hop_;
    }
    return false;
  }
  fine_active_ = false;
  fine.reset();
  next_recheck_ = near_.written() + recheck_period_;
  const std::uint64_t found = *lag + fine_offset_;
  const std::uint64_t delay = found < kMargin ? 0 : found - kMargin;
  // Within the margin the filter already covers the echo, and a few milliseconds
  // later too (its first taps then stay empty): keep what it learnt. An echo that
  // came earlier has lost its direct path from the filter.
  if (delay_ && static_cast<double>(delay) >= applied() - static_cast<double>(kMargin) &&
      static_cast<double>(delay) <= applied() + static_cast<double>(late_tolerance_)) {
    return false;
  }
  delay_ = delay;
  shift_ = 0.0;
  return true;
}

}  // namespace murello::aec
