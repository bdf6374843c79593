#include "vad/analysis.hpp"

namespace murello {

std::vector<SpeechSegment> merge_speech_segments(std::span<const AnalysisWindow> windows,
                                                 uint32_t window_frames, uint32_t rate_hz,
                                                 uint32_t holdoff_ms) {
  // gap_windows * window_frames / rate_hz seconds <= holdoff_ms / 1000 seconds, exactly.
  const uint64_t holdoff = uint64_t{holdoff_ms} * rate_hz;
  const uint64_t window = uint64_t{window_frames} * 1000;
  std::vector<SpeechSegment> segments;
  std::optional<SpeechSegment> open;
  size_t open_end = 0;  // index of the window after the open segment
  for (size_t k = 0; k < windows.size(); ++k) {
    const AnalysisWindow& w = windows[k];
    if (!w.is_speech) continue;
    if (open && (k - open_end) * window <= holdoff) {
      open->end_s = w.end_s;
    } else {
      if (open) segments.push_back(*open);
      open = SpeechSegment{w.start_s, w.end_s};
    }
    open_end = k + 1;
  }
  if (open) segments.push_back(*open);
  return segments;
}

Analyzer::Analyzer(ModelDetector detector, DetectorQueue queue, const DetectorConfig& config)
    : detector_(std::move(detector)),
      queue_(std::move(queue)),
      detector_source_(config.detector_source),
      holdoff_ms_(config.holdoff_ms),
      window_s_(static_cast<double>(detector_.window()) / detector_.rate_hz()) {}

Result<Analyzer, CoreError> Analyzer::create(const DetectorConfig& config) {
  const uint32_t rate_hz = detector_rate_hz(DetectorKind::Model, config.delivered_rate_hz);
  auto detector =
      ModelDetector::create(config.model_path, config.ort_library_path, rate_hz, config.threshold);
  if (!detector) return std::move(detector).error();
  auto queue = DetectorQueue::create(DetectorKind::Model, config.delivered_rate_hz);
  if (!queue) return std::move(queue).error();
  return Analyzer(std::move(detector).value(), std::move(queue).value(), config);
}

Result<void, CoreError> Analyzer::add(std::span<const float> interleaved, uint16_t channels) {
  mono_.clear();
  append_detector_mono(interleaved, channels, detector_source_, mono_);
  if (auto pushed = queue_.push(mono_); !pushed) return pushed;
  return run_windows();
}

Result<void, CoreError> Analyzer::run_windows() {
  queue_.drain(work_);
  const size_t window = detector_.window();
  size_t taken = 0;
  std::optional<CoreError> failure;
  for (; work_.size() - taken >= window; taken += window) {
    auto score = detector_.step(std::span<const float>(work_).subspan(taken, window));
    if (!score) {
      failure = std::move(score).error();
      break;
    }
    const double k = static_cast<double>(windows_.size());
    windows_.push_back({k * window_s_, (k + 1) * window_s_, score->probability, score->is_speech});
  }
  work_.erase(work_.begin(), work_.begin() + static_cast<ptrdiff_t>(taken));
  if (failure) return std::move(*failure);
  return {};
}

Result<Analysis, CoreError> Analyzer::finish() {
  queue_.flush();
  if (auto ran = run_windows(); !ran) return std::move(ran).error();
  work_.clear();
  Analysis analysis{std::move(windows_), {}};
  windows_.clear();
  const auto window = static_cast<uint32_t>(detector_.window());
  analysis.segments =
      merge_speech_segments(analysis.windows, window, detector_.rate_hz(), holdoff_ms_);
  return analysis;
}

}  // namespace murello
