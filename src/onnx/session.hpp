// A model session: one ONNX model file loaded into the runtime and run on tensors.
//
// Conventions: tensors are row-major; shapes are lists of int64 dimension sizes (empty
// for a scalar); element counts are elements, not bytes. Inputs borrow the caller's
// data for the duration of `run`; outputs are copied into caller-owned records that are
// reused from run to run, so a steady stream of runs allocates nothing of ours.
//
// Threads: a session is used by one thread at a time (its owner's).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "onnx/runtime.hpp"
#include "onnx/session_cache.hpp"
#include "util/result.hpp"

namespace murello {

// Who loads the model decides the kind of a model-file failure.
enum class ModelKind : uint8_t {
  VoiceActivity,  // VadModelLoadFailed
  Denoiser,       // ModelLoadFailed
};

struct TensorInput {
  const char* name;
  OrtElementType type;
  const void* data;
  size_t bytes;
  std::span<const int64_t> shape;

  static TensorInput floats(const char* name, std::span<const float> values,
                            std::span<const int64_t> shape) {
    return {name, kOrtElementFloat, values.data(), values.size_bytes(), shape};
  }
  static TensorInput int64s(const char* name, std::span<const int64_t> values,
                            std::span<const int64_t> shape) {
    return {name, kOrtElementInt64, values.data(), values.size_bytes(), shape};
  }
};

// One output of a run. Only 32-bit float outputs carry their values; other tensor
// types are reported by type alone.
struct TensorOutput {
  std::string name;
  OrtElementType type = kOrtElementUndefined;
  std::vector<float> values;

  bool is_float() const { return type == kOrtElementFloat; }
};

class ModelSession {
 public:
  // Session options with one intra-op thread on the CPU provider, then the session from
  // `model`; or an idle session of the same, unchanged file (onnx/session_cache.hpp), to
  // which the session returns when dropped. Errors: OrtSessionBuildFailed,
  // OrtThreadsConfigFailed, and for the model file VadModelLoadFailed or ModelLoadFailed
  // (path, runtime's cause) by `kind`.
  static Result<ModelSession, CoreError> load(const OrtRuntime& runtime,
                                              const std::filesystem::path& model, ModelKind kind);

  // Whether the session was an idle one, built for an earlier owner.
  bool reused() const { return reused_; }

  // Runs the model on `inputs`, filling `outputs` with every model output in model
  // order. Errors: OrtTensorCreateFailed, OnnxBackendFailed (more inputs than the model
  // declares, or an output element type that cannot be represented),
  // OrtInferenceFailed, OrtTensorExtractFailed.
  Result<void, CoreError> run(std::span<const TensorInput> inputs,
                              std::vector<TensorOutput>& outputs);

  size_t input_count() const { return input_count_; }
  std::span<const std::string> output_names() const { return output_names_; }

 private:
  // Keeps the session for the next load of its file when it came from one that loaded
  // fully (`key` set); a process forked since the runtime was loaded releases it.
  struct SessionCloser {
    const OrtFunctions* api;
    std::shared_ptr<const ModelFileKey> key;
    void operator()(OrtSession* session) const;
  };
  struct MemoryInfoCloser {
    const OrtFunctions* api;
    void operator()(OrtMemoryInfo* info) const;
  };

  ModelSession(const OrtRuntime& runtime, OrtSession* session, OrtMemoryInfo* memory);
  Result<void, CoreError> read_output_names();
  Result<void, CoreError> create_inputs(std::span<const TensorInput> inputs);
  Result<void, CoreError> extract(size_t index, TensorOutput& output);
  void release_values();

  const OrtFunctions* api_;
  std::unique_ptr<OrtSession, SessionCloser> session_;
  std::unique_ptr<OrtMemoryInfo, MemoryInfoCloser> memory_;
  size_t input_count_ = 0;
  bool reused_ = false;
  std::vector<std::string> output_names_;
  std::vector<const char*> output_name_ptrs_;
  // Per-run scratch, kept to avoid allocating on every run.
  std::vector<const char*> input_names_;
  std::vector<OrtValue*> input_values_;
  std::vector<OrtValue*> output_values_;
};

// The float output called `name`, checked the way the model wrappers check theirs:
// OnnxBackendFailed ("ort", "{model} output `{name}` ...") when it is missing, not f32,
// empty (no `expected_count`) or not of `expected_count` elements.
Result<std::span<const float>, CoreError> float_output(std::span<const TensorOutput> outputs,
                                                       std::string_view model,
                                                       std::string_view name,
                                                       std::optional<size_t> expected_count);

// Readable name of an element type, e.g. "Float", "Int64", "String".
std::string_view element_type_name(OrtElementType type);

}  // namespace murello
