#include "onnx/session.hpp"

#include <algorithm>
#include <chrono>
#include <fstream>

#include "support/model_fixtures.hpp"

namespace murello {
namespace {

namespace fs = std::filesystem;
using testing::test_models;

const std::array<int64_t, 2> kInputShape{1, 576};
const std::array<int64_t, 3> kStateShape{2, 1, 128};

struct VadInputs {
  std::vector<float> input = std::vector<float>(576, 0.25f);
  std::vector<float> state = std::vector<float>(256, 0.0f);
  std::array<int64_t, 1> rate{16000};

  std::vector<TensorInput> all() const {
    return {TensorInput::floats("input", input, kInputShape),
            TensorInput::floats("state", state, kStateShape), TensorInput::int64s("sr", rate, {})};
  }
};

ModelSession load_test_model(const std::string& name) {
  auto session = ModelSession::load(*testing::loaded_runtime(), *test_models() / name,
                                    ModelKind::VoiceActivity);
  EXPECT_TRUE(session) << session.error().message();
  return std::move(session).value();
}

TEST(ModelSession, UnreadableModelNamesThePathInTheLoadersKind) {
  MURELLO_REQUIRE_RUNTIME();
  testing::TempDir dir;
  const fs::path garbage = dir.path() / "garbage.onnx";
  std::ofstream(garbage) << "this is not a model";
  for (const fs::path& model : {garbage, dir.path() / "missing.onnx"}) {
    auto vad = ModelSession::load(*testing::loaded_runtime(), model, ModelKind::VoiceActivity);
    ASSERT_FALSE(vad);
    EXPECT_EQ(vad.error().kind(), ErrorKind::VadModelLoadFailed);
    EXPECT_TRUE(vad.error().message().starts_with("Failed to load Silero VAD model from " +
                                                  model.string() + ": "))
        << vad.error().message();
    auto denoiser = ModelSession::load(*testing::loaded_runtime(), model, ModelKind::Denoiser);
    ASSERT_FALSE(denoiser);
    EXPECT_EQ(denoiser.error().kind(), ErrorKind::ModelLoadFailed);
    EXPECT_TRUE(denoiser.error().message().starts_with("Failed to load model from " +
                                                       model.string() + ": "))
        << denoiser.error().message();
  }
}

TEST(ModelSession, RunReturnsEveryOutputInModelOrderWithItsType) {
  MURELLO_REQUIRE_TEST_MODELS();
  ModelSession session = load_test_model("vad_int_output.onnx");
  EXPECT_EQ(session.input_count(), 3u);
  VadInputs in;
  in.state[7] = 3.5f;
  std::vector<TensorOutput> outputs;
  auto inputs = in.all();
  for (int run = 0; run < 2; ++run) {  // outputs are reused from run to run
    ASSERT_TRUE(session.run(inputs, outputs));
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0].name, "output");
    EXPECT_EQ(outputs[0].type, kOrtElementInt64);
    EXPECT_TRUE(outputs[0].values.empty());
    EXPECT_EQ(outputs[1].name, "stateN");
    ASSERT_TRUE(outputs[1].is_float());
    ASSERT_EQ(outputs[1].values.size(), 256u);
    EXPECT_EQ(outputs[1].values[7], 3.5f);
  }
}

TEST(ModelSession, RunErrorsCarryTheirKindsAndTexts) {
  MURELLO_REQUIRE_TEST_MODELS();
  VadInputs in;
  std::vector<TensorOutput> outputs;

  ModelSession two_inputs = load_test_model("vad_two_inputs.onnx");
  auto inputs = in.all();
  auto too_many = two_inputs.run(inputs, outputs);
  ASSERT_FALSE(too_many);
  EXPECT_EQ(too_many.error().message(),
            "ONNX backend error from ort: 3 inputs were provided, but the model only accepts 2.");

  ModelSession strings = load_test_model("vad_string_output.onnx");
  auto unsupported = strings.run(inputs, outputs);
  ASSERT_FALSE(unsupported);
  EXPECT_EQ(unsupported.error().message(),
            "ONNX backend error from ort: unsupported output tensor element type for output: "
            "String");

  ModelSession mean = load_test_model("vad_mean.onnx");
  const std::array<int64_t, 2> too_long{1, 600};
  std::vector<TensorInput> bad_shape = inputs;
  bad_shape[0].shape = too_long;  // 600 elements declared over 576 floats
  auto create = mean.run(bad_shape, outputs);
  ASSERT_FALSE(create);
  EXPECT_EQ(create.error().kind(), ErrorKind::OrtTensorCreateFailed);
  EXPECT_TRUE(create.error().message().starts_with("Failed to create input tensor: "));

  std::vector<TensorInput> bad_rank = inputs;
  const std::array<int64_t, 1> flat{256};  // the model wants rank 3
  bad_rank[1].shape = flat;
  auto inference = mean.run(bad_rank, outputs);
  ASSERT_FALSE(inference);
  EXPECT_EQ(inference.error().kind(), ErrorKind::OrtInferenceFailed);
  EXPECT_TRUE(inference.error().message().starts_with("Silero VAD inference failed: "));
}

// A test model copied under a name of its own, so that no other test's idle sessions are
// found for it.
fs::path own_copy(const testing::TempDir& dir, const std::string& name) {
  const fs::path copy = dir.path() / name;
  fs::copy_file(*test_models() / name, copy, fs::copy_options::overwrite_existing);
  return copy;
}

Result<ModelSession, CoreError> load_path(const fs::path& model) {
  return ModelSession::load(*testing::loaded_runtime(), model, ModelKind::VoiceActivity);
}

TEST(ModelSession, ADroppedSessionServesTheNextLoadOfItsFileAndComputesTheSame) {
  MURELLO_REQUIRE_TEST_MODELS();
  testing::TempDir dir;
  const fs::path model = own_copy(dir, "vad_mean.onnx");
  VadInputs in;
  in.state[3] = 2.0f;
  auto inputs = in.all();
  std::vector<TensorOutput> fresh_outputs;
  std::vector<TensorOutput> reused_outputs;
  {
    auto fresh = load_path(model);
    ASSERT_TRUE(fresh) << fresh.error().message();
    EXPECT_FALSE(fresh->reused());
    ASSERT_TRUE(fresh->run(inputs, fresh_outputs));
  }
  // The same file under another spelling of its path.
  auto reused = load_path(dir.path() / "." / "vad_mean.onnx");
  ASSERT_TRUE(reused) << reused.error().message();
  EXPECT_TRUE(reused->reused());
  EXPECT_EQ(reused->input_count(), 3u);
  ASSERT_TRUE(reused->run(inputs, reused_outputs));
  ASSERT_EQ(reused_outputs.size(), fresh_outputs.size());
  for (size_t i = 0; i < fresh_outputs.size(); ++i) {
    EXPECT_EQ(reused_outputs[i].name, fresh_outputs[i].name);
    EXPECT_EQ(reused_outputs[i].values, fresh_outputs[i].values);
  }
}

TEST(ModelSession, AModelFileChangedSinceIsLoadedAfresh) {
  MURELLO_REQUIRE_TEST_MODELS();
  testing::TempDir dir;
  const fs::path model = own_copy(dir, "vad_mean.onnx");
  const auto written = fs::last_write_time(model);
  ASSERT_TRUE(load_path(model));  // dropped at once: now idle
  fs::copy_file(*test_models() / "vad_int_output.onnx", model,
                fs::copy_options::overwrite_existing);
  fs::last_write_time(model, written + std::chrono::seconds(1));
  auto changed = load_path(model);
  ASSERT_TRUE(changed) << changed.error().message();
  EXPECT_FALSE(changed->reused());
  VadInputs in;
  std::vector<TensorOutput> outputs;
  auto inputs = in.all();
  ASSERT_TRUE(changed->run(inputs, outputs));
  EXPECT_EQ(outputs[0].type, kOrtElementInt64);  // the new model's output, not the old one's
}

TEST(ModelSession, AtMostFourIdleSessionsAreKeptPerModelFile) {
  MURELLO_REQUIRE_TEST_MODELS();
  testing::TempDir dir;
  const fs::path model = own_copy(dir, "vad_mean.onnx");
  auto load_many = [&](size_t count) {
    std::vector<ModelSession> sessions;
    for (size_t i = 0; i < count; ++i) {
      auto session = load_path(model);
      EXPECT_TRUE(session);
      if (session) sessions.push_back(std::move(session).value());
    }
    return sessions;
  };
  auto reused = [](const std::vector<ModelSession>& sessions) {
    return std::count_if(sessions.begin(), sessions.end(),
                         [](const ModelSession& session) { return session.reused(); });
  };
  auto first = load_many(6);
  EXPECT_EQ(reused(first), 0);
  first.clear();
  EXPECT_EQ(reused(load_many(kIdleSessionsPerModel + 1)), kIdleSessionsPerModel);
}

TEST(FloatOutput, ChecksPresenceTypeAndSizeInThatOrder) {
  std::vector<TensorOutput> outputs(3);
  outputs[0] = {"output", kOrtElementFloat, {}};
  outputs[1] = {"stateN", kOrtElementInt64, {}};
  outputs[2] = {"wav_out", kOrtElementFloat, std::vector<float>(512, 0.0f)};
  auto message = [&](std::string_view model, std::string_view name, std::optional<size_t> n) {
    auto found = float_output(outputs, model, name, n);
    return found ? std::string("ok") : found.error().message();
  };
  const std::string prefix = "ONNX backend error from ort: ";
  EXPECT_EQ(message("Silero", "missing", 1),
            prefix + "Silero output `missing` missing from session run");
  EXPECT_EQ(message("Silero", "stateN", 256), prefix + "Silero output `stateN` must be f32");
  EXPECT_EQ(message("Silero", "output", std::nullopt),
            prefix + "Silero output `output` tensor is empty");
  EXPECT_EQ(message("FastEnhancer", "wav_out", 256),
            prefix + "FastEnhancer output `wav_out` has 512 elements, expected 256");
  EXPECT_EQ(message("FastEnhancer", "wav_out", 512), "ok");
  EXPECT_EQ(message("FastEnhancer", "wav_out", std::nullopt), "ok");
}

}  // namespace
}  // namespace murello
