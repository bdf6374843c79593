#include "vad/score.hpp"

#include <algorithm>
#include <cmath>

namespace murello {
namespace {

constexpr std::string_view kModelName = "Silero";
constexpr int64_t kInputShapeBatch = 1;
constexpr std::array<int64_t, 3> kStateShape{2, 1, 128};

}  // namespace

float energy_score(std::span<const float> mono) {
  if (mono.empty()) return 0.0f;
  double sum = 0.0;
  for (float x : mono) sum += static_cast<double>(x) * x;
  return static_cast<float>(std::sqrt(sum / static_cast<double>(mono.size())));
}

void append_detector_mono(std::span<const float> interleaved, uint16_t channels,
                          std::optional<uint16_t> source, std::vector<float>& out) {
  const size_t width = std::max<size_t>(channels, 1);
  const size_t frames = interleaved.size() / width;
  const size_t start = out.size();
  out.resize(start + frames);
  float* dst = out.data() + start;
  const float* src = interleaved.data();
  if (width == 1) {
    std::copy_n(src, frames, dst);
  } else if (source) {
    for (size_t f = 0; f < frames; ++f) dst[f] = src[f * width + *source];
  } else {
    const auto divisor = static_cast<float>(width);
    for (size_t f = 0; f < frames; ++f) {
      float sum = 0.0f;
      for (size_t c = 0; c < width; ++c) sum += src[f * width + c];
      dst[f] = sum / divisor;
    }
  }
}

ModelDetector::ModelDetector(ModelSession session, uint32_t rate_hz, float threshold)
    : session_(std::move(session)),
      rate_hz_(rate_hz),
      window_(rate_hz == 16000 ? 512 : 256),
      threshold_(threshold),
      input_(window_ + window_ / 8, 0.0f),
      rate_value_{rate_hz} {
  pending_.reserve(2 * window_);
}

Result<ModelDetector, CoreError> ModelDetector::create(
    const std::filesystem::path& model, const std::optional<std::filesystem::path>& ort_library,
    uint32_t rate_hz, float threshold) {
  if (rate_hz != 8000 && rate_hz != 16000) return CoreError(ErrorKind::VadSampleRateUnsupported);
  if (!(threshold >= 0.0f && threshold <= 1.0f)) {
    return CoreError(ErrorKind::VadThresholdOutOfRange);
  }
  auto runtime = ort_init(ort_library);
  if (!runtime) return std::move(runtime).error();
  auto session = ModelSession::load(**runtime, model, ModelKind::VoiceActivity);
  if (!session) return std::move(session).error();
  return ModelDetector(std::move(session).value(), rate_hz, threshold);
}

Result<float, CoreError> ModelDetector::run_window(std::span<const float> window) {
  const size_t context = context_length();
  // The context is kept at the front of input_: the tail of the previous window.
  std::copy(window.begin(), window.end(), input_.begin() + context);
  const std::array<int64_t, 2> input_shape{kInputShapeBatch, static_cast<int64_t>(input_.size())};
  const std::array<TensorInput, 3> inputs{
      TensorInput::floats("input", input_, input_shape),
      TensorInput::floats("state", state_, kStateShape),
      TensorInput::int64s("sr", rate_value_, {}),
  };
  if (auto ran = session_.run(inputs, outputs_); !ran) return std::move(ran).error();
  auto probability = float_output(outputs_, kModelName, "output", std::nullopt);
  if (!probability) return std::move(probability).error();
  const float p = probability->front();
  auto state = float_output(outputs_, kModelName, "stateN", kVadStateLength);
  if (!state) return std::move(state).error();
  std::copy(state->begin(), state->end(), state_.begin());
  std::copy(window.end() - static_cast<ptrdiff_t>(context), window.end(), input_.begin());
  return p;
}

Result<VadScore, CoreError> ModelDetector::step(std::span<const float> mono) {
  if (auto same = ort_check_process(); !same) return std::move(same).error();
  pending_.insert(pending_.end(), mono.begin(), mono.end());
  size_t taken = 0;
  bool ran_any = false;
  float best = 0.0f;
  std::optional<CoreError> failure;
  while (pending_.size() - taken >= window_) {
    const std::span<const float> window(pending_.data() + taken, window_);
    taken += window_;
    auto probability = run_window(window);
    if (!probability) {
      failure = std::move(probability).error();
      break;
    }
    ran_any = true;
    if (*probability > best) best = *probability;  // false for NaN
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(taken));
  if (failure) return std::move(*failure);
  if (ran_any) latest_ = VadScore{best, threshold_ <= best};
  return latest_;
}

}  // namespace murello
