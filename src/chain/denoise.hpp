// DenoiserStage: the neural speech enhancer of the conditioning list.
//
// Conventions: blocks are planar (see stage.hpp); lengths count samples per channel. Each
// channel runs the network on 512-sample frames advanced by 256 samples; every frame
// yields 256 enhanced samples and updates three recurrent caches (256, 320 and 320
// floats). A channel's pending samples start with 256 zeros, so the stage delays the
// signal by 256 samples; flush() pads with 512 zeros to let the remainder out and returns
// every channel to its initial state. The sample rate is not checked: the model serves
// the rate it was trained at.
//
// Threads: owned by one chain; one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/config.hpp"
#include "onnx/session.hpp"
#include "chain/stage.hpp"

namespace murello {

inline constexpr size_t kDenoiseFrame = 512;
inline constexpr size_t kDenoiseHop = 256;
inline constexpr size_t kDenoiseCache0 = 256;
inline constexpr size_t kDenoiseCache12 = 320;  // 16 x 20

class DenoiserStage final : public Stage {
 public:
  // Loads the runtime (as ort_init) and the model; a model-file failure is
  // ModelLoadFailed. `channels` is the channel count the stage will see (at least 1).
  static Result<std::unique_ptr<DenoiserStage>, CoreError> create(
      const std::filesystem::path& model, const std::optional<std::filesystem::path>& ort_library,
      uint16_t channels);

  // Errors: the session-run errors, and OnnxBackendFailed when an output is missing, not
  // f32 or of the wrong size. Frames run before a failure have advanced their caches.
  Result<void, CoreError> process(std::span<const float> in, uint16_t channels,
                                  std::vector<float>& out) override;
  Result<void, CoreError> flush(std::vector<float>& out) override;

 private:
  struct Channel {
    std::vector<float> pending;
    std::array<float, kDenoiseCache0> cache0{};
    std::array<float, kDenoiseCache12> cache1{};
    std::array<float, kDenoiseCache12> cache2{};
  };

  DenoiserStage(ModelSession session, uint16_t channels);
  Result<void, CoreError> run_frames(Channel& channel, std::vector<float>& out);
  Result<void, CoreError> run_frame(Channel& channel, std::span<const float> frame,
                                    std::vector<float>& out);

  ModelSession session_;
  std::vector<Channel> channels_;
  std::vector<TensorOutput> outputs_;
};

// The chain's denoiser builder: a DenoiserStage for config.denoise_model_path, loading
// the runtime from config.ort_library_path.
Result<std::unique_ptr<Stage>, CoreError> make_denoiser_stage(const ConditioningConfig& config,
                                                              uint16_t channels, uint32_t rate_hz);

}  // namespace murello
