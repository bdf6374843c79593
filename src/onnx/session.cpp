#include "onnx/session.hpp"

#include <algorithm>
#include <cstring>

#include "onnx/runtime_use.hpp"

namespace murello {
namespace {

constexpr std::string_view kBackendContext = "ort";

std::string take_message(const OrtFunctions& api, OrtStatus* status) {
  std::string text = lossy_utf8(api.get_error_message(status));
  api.release_status(status);
  return text;
}

struct OptionsCloser {
  const OrtFunctions* api;
  void operator()(OrtSessionOptions* options) const { api->release_session_options(options); }
};

struct ShapeInfoCloser {
  const OrtFunctions* api;
  void operator()(OrtTensorTypeAndShapeInfo* info) const {
    api->release_tensor_type_and_shape_info(info);
  }
};

CoreError model_load_error(ModelKind kind, const std::filesystem::path& model, std::string cause) {
  return CoreError(
      kind == ModelKind::VoiceActivity ? ErrorKind::VadModelLoadFailed : ErrorKind::ModelLoadFailed,
      model, cause);
}

// Element types whose values the core could hand on if it needed them; everything else
// (strings, undefined, codes newer than this table) cannot be represented.
bool representable(OrtElementType type) {
  return type != kOrtElementUndefined && type != kOrtElementString && type <= kOrtElementBfloat16;
}

// A new session of `model`: one intra-op thread, on the CPU provider.
Result<OrtSession*, CoreError> new_session(const OrtRuntime& runtime,
                                           const std::filesystem::path& model, ModelKind kind) {
  const OrtFunctions& api = runtime.api;
  OrtSessionOptions* raw_options = nullptr;
  if (OrtStatus* status = api.create_session_options(&raw_options)) {
    return CoreError(ErrorKind::OrtSessionBuildFailed, take_message(api, status));
  }
  std::unique_ptr<OrtSessionOptions, OptionsCloser> options(raw_options, OptionsCloser{&api});
  if (OrtStatus* status = api.set_intra_op_num_threads(options.get(), 1)) {
    return CoreError(ErrorKind::OrtThreadsConfigFailed, take_message(api, status));
  }
  // No provider is appended: a session without one runs on the CPU provider.
  OrtSession* session = nullptr;
  if (OrtStatus* status = api.create_session(runtime.env, model.c_str(), options.get(), &session)) {
    return model_load_error(kind, model, take_message(api, status));
  }
  return session;
}

}  // namespace

std::string_view element_type_name(OrtElementType type) {
  static constexpr std::string_view kNames[] = {
      "Undefined", "Float",  "Uint8",     "Int8",       "Uint16",  "Int16",
      "Int32",     "Int64",  "String",    "Bool",       "Float16", "Double",
      "Uint32",    "Uint64", "Complex64", "Complex128", "Bfloat16"};
  const auto index = static_cast<size_t>(type);
  return index < std::size(kNames) ? kNames[index] : "Unknown";
}

void ModelSession::SessionCloser::operator()(OrtSession* session) const {
  OrtUse use;
  if (!use) return;  // the process is exiting: nothing to give back
  if (key && ort_check_process() && keep_idle_session(*key, session)) return;
  api->release_session(session);
}

void ModelSession::MemoryInfoCloser::operator()(OrtMemoryInfo* info) const {
  OrtUse use;
  if (use) api->release_memory_info(info);
}

ModelSession::ModelSession(const OrtRuntime& runtime, OrtSession* session, OrtMemoryInfo* memory)
    : api_(&runtime.api),
      session_(session, SessionCloser{&runtime.api, nullptr}),
      memory_(memory, MemoryInfoCloser{&runtime.api}) {}

Result<ModelSession, CoreError> ModelSession::load(const OrtRuntime& runtime,
                                                   const std::filesystem::path& model,
                                                   ModelKind kind) {
  OrtUse use;
  if (!use) return CoreError(ErrorKind::OrtSessionBuildFailed, kOrtClosedCause);
  const OrtFunctions& api = runtime.api;
  const std::optional<ModelFileKey> key = model_file_key(model);
  OrtSession* idle = key ? take_idle_session(*key) : nullptr;
  auto built = idle ? Result<OrtSession*, CoreError>(idle) : new_session(runtime, model, kind);
  if (!built) return std::move(built).error();
  OrtMemoryInfo* memory = nullptr;
  OrtStatus* no_memory =
      api.create_cpu_memory_info(kOrtArenaAllocator, kOrtMemTypeDefault, &memory);
  ModelSession session(runtime, *built, memory);  // owns both from here on
  if (no_memory) return CoreError(ErrorKind::OrtSessionBuildFailed, take_message(api, no_memory));
  if (OrtStatus* status = api.session_get_input_count(*built, &session.input_count_)) {
    return model_load_error(kind, model, take_message(api, status));
  }
  if (auto names = session.read_output_names(); !names) {
    return model_load_error(kind, model, names.error().fields().back());
  }
  session.reused_ = idle != nullptr;
  if (key) session.session_.get_deleter().key = std::make_shared<const ModelFileKey>(*key);
  return session;
}

Result<void, CoreError> ModelSession::read_output_names() {
  size_t count = 0;
  if (OrtStatus* status = api_->session_get_output_count(session_.get(), &count)) {
    return CoreError(ErrorKind::OnnxBackendFailed, kBackendContext, take_message(*api_, status));
  }
  OrtAllocator* allocator = nullptr;
  if (OrtStatus* status = api_->get_allocator_with_default_options(&allocator)) {
    return CoreError(ErrorKind::OnnxBackendFailed, kBackendContext, take_message(*api_, status));
  }
  output_names_.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    char* name = nullptr;
    if (OrtStatus* status = api_->session_get_output_name(session_.get(), i, allocator, &name)) {
      return CoreError(ErrorKind::OnnxBackendFailed, kBackendContext, take_message(*api_, status));
    }
    output_names_.emplace_back(name);
    if (OrtStatus* status = api_->allocator_free(allocator, name)) api_->release_status(status);
  }
  // Pointers taken only now: the strings no longer move.
  for (const std::string& name : output_names_) output_name_ptrs_.push_back(name.c_str());
  return {};
}

void ModelSession::release_values() {
  for (OrtValue*& value : input_values_) {
    api_->release_value(value);
    value = nullptr;
  }
  for (OrtValue*& value : output_values_) {
    api_->release_value(value);
    value = nullptr;
  }
}

Result<void, CoreError> ModelSession::create_inputs(std::span<const TensorInput> inputs) {
  input_names_.clear();
  input_values_.assign(inputs.size(), nullptr);
  for (size_t i = 0; i < inputs.size(); ++i) {
    const TensorInput& input = inputs[i];
    input_names_.push_back(input.name);
    // The runtime only reads input buffers; its signature is not const-correct.
    OrtStatus* status = api_->create_tensor_with_data(
        memory_.get(), const_cast<void*>(input.data), input.bytes, input.shape.data(),
        input.shape.size(), input.type, &input_values_[i]);
    if (status) {
      return CoreError(ErrorKind::OrtTensorCreateFailed, input.name, take_message(*api_, status));
    }
  }
  return {};
}

Result<void, CoreError> ModelSession::extract(size_t index, TensorOutput& output) {
  OrtValue* value = output_values_[index];
  const std::string& name = output_names_[index];
  auto failure = [&](OrtStatus* status) {
    return CoreError(ErrorKind::OrtTensorExtractFailed, name, take_message(*api_, status));
  };
  output.name = name;
  OrtValueType value_type = kOrtValueUnknown;
  if (OrtStatus* status = api_->get_value_type(value, &value_type)) return failure(status);
  if (value_type != kOrtValueTensor) {
    return CoreError(ErrorKind::OrtTensorExtractFailed, name, "the output is not a tensor");
  }
  OrtTensorTypeAndShapeInfo* raw_info = nullptr;
  if (OrtStatus* status = api_->get_tensor_type_and_shape(value, &raw_info)) {
    return failure(status);
  }
  std::unique_ptr<OrtTensorTypeAndShapeInfo, ShapeInfoCloser> info(raw_info, ShapeInfoCloser{api_});
  if (OrtStatus* status = api_->get_tensor_element_type(info.get(), &output.type)) {
    return failure(status);
  }
  output.values.clear();
  if (!output.is_float()) {
    if (representable(output.type)) return {};
    std::string cause = "unsupported output tensor element type for " + name + ": " +
                        std::string(element_type_name(output.type));
    return CoreError(ErrorKind::OnnxBackendFailed, kBackendContext, cause);
  }
  size_t count = 0;
  if (OrtStatus* status = api_->get_tensor_shape_element_count(info.get(), &count)) {
    return failure(status);
  }
  if (count == 0) return {};
  void* data = nullptr;
  if (OrtStatus* status = api_->get_tensor_mutable_data(value, &data)) return failure(status);
  const auto* first = static_cast<const float*>(data);
  output.values.assign(first, first + count);
  return {};
}

Result<void, CoreError> ModelSession::run(std::span<const TensorInput> inputs,
                                          std::vector<TensorOutput>& outputs) {
  OrtUse use;
  if (!use) return CoreError(ErrorKind::OrtInferenceFailed, kOrtClosedCause);
  struct Release {
    ModelSession* self;
    ~Release() { self->release_values(); }
  } release{this};

  if (auto created = create_inputs(inputs); !created) return created;
  if (inputs.size() > input_count_) {
    return CoreError(ErrorKind::OnnxBackendFailed, kBackendContext,
                     std::to_string(inputs.size()) +
                         " inputs were provided, but the model only accepts " +
                         std::to_string(input_count_) + ".");
  }
  output_values_.assign(output_names_.size(), nullptr);
  if (OrtStatus* status = api_->run(
          session_.get(), nullptr, input_names_.data(), input_values_.data(), input_values_.size(),
          output_name_ptrs_.data(), output_name_ptrs_.size(), output_values_.data())) {
    return CoreError(ErrorKind::OrtInferenceFailed, take_message(*api_, status));
  }
  outputs.resize(output_names_.size());
  for (size_t i = 0; i < output_names_.size(); ++i) {
    if (auto extracted = extract(i, outputs[i]); !extracted) return extracted;
  }
  return {};
}

Result<std::span<const float>, CoreError> float_output(std::span<const TensorOutput> outputs,
                                                       std::string_view model,
                                                       std::string_view name,
                                                       std::optional<size_t> expected_count) {
  auto failure = [&](std::string_view what) {
    std::string cause = std::string(model) + " output `" + std::string(name) + "` ";
    cause += what;
    return CoreError(ErrorKind::OnnxBackendFailed, kBackendContext, cause);
  };
  auto found = std::find_if(outputs.begin(), outputs.end(),
                            [name](const TensorOutput& output) { return output.name == name; });
  if (found == outputs.end()) return failure("missing from session run");
  if (!found->is_float()) return failure("must be f32");
  const size_t count = found->values.size();
  if (!expected_count) {
    if (count == 0) return failure("tensor is empty");
  } else if (count != *expected_count) {
    return failure("has " + std::to_string(count) + " elements, expected " +
                   std::to_string(*expected_count));
  }
  return std::span<const float>(found->values);
}

}  // namespace murello
