// The echo reference queue and the echo-cancellation stage.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numeric>
#include <vector>

#include "echo/echo_reference.hpp"
#include "chain/echo_stage.hpp"
#include "chain/stage_blocks.hpp"

namespace murello {
namespace {

double energy(std::span<const float> x) {
  return std::inner_product(x.begin(), x.end(), x.begin(), 0.0);
}

TEST(EchoReferenceQueue, KeepsTwoSecondsAndCountsWhatItDrops) {
  EchoReferenceQueue queue(16000, 1);
  queue.push(std::vector<float>(40000, 0.25f));
  EXPECT_EQ(queue.discarded(), 8000u);
  std::vector<float> out;
  EXPECT_TRUE(queue.take(31999, out));
  EXPECT_FALSE(queue.take(5, out));
  EXPECT_EQ(out.size(), 32000u);
  EXPECT_FALSE(queue.take(5, out));
  EXPECT_EQ(out.size(), 32000u);
}

TEST(EchoReferenceQueue, DownmixesWholeFramesOnly) {
  EchoReferenceQueue queue(16000, 2);
  queue.push(std::vector<float>{1.0f, 0.0f, 0.5f, 0.5f, 0.9f});
  std::vector<float> out;
  queue.take(10, out);
  EXPECT_EQ(out, (std::vector<float>{0.5f, 0.5f}));
  EXPECT_EQ(queue.discarded(), 0u);
}

struct Echo {
  std::shared_ptr<EchoReferenceQueue> queue;
  std::unique_ptr<Stage> stage;
};

Echo make_echo(uint16_t channels, uint32_t rate_hz, uint32_t reference_hz,
               uint16_t reference_channels = 1) {
  auto queue = std::make_shared<EchoReferenceQueue>(reference_hz, reference_channels);
  EchoConfig config;
  config.reference_rate_hz = reference_hz;
  config.reference = queue;
  auto stage = EchoStage::create(config, channels, rate_hz);
  EXPECT_TRUE(stage);
  return {queue, std::move(stage).value()};
}

TEST(EchoStage, WithoutFarEndPadsAndPassesTheNearEndThrough) {
  Echo echo = make_echo(1, 16000, 16000);
  const auto near = test::noise(16000, 1, 0.3f);
  std::vector<float> out;
  for (size_t i = 0; i < near.size(); i += 1000) {
    ASSERT_TRUE(echo.stage->process(std::span(near).subspan(i, 1000), 1, out));
  }
  ASSERT_TRUE(echo.stage->flush(out));
  ASSERT_EQ(out.size(), near.size());
  EXPECT_EQ(echo.queue->padded(), near.size());
  for (size_t i = 0; i < near.size(); ++i) ASSERT_EQ(out[i], near[i]) << i;
}

TEST(EchoStage, SeveralChannelsStayPlanarAndReportOneRecordEach) {
  Echo echo = make_echo(2, 16000, 16000);
  std::vector<float> out;
  size_t frames_in = 0;
  size_t frames_out = 0;
  for (size_t frames : {100u, 300u, 7u, 600u}) {
    std::vector<float> block = test::noise(2 * frames, frames, 0.1f);
    const size_t before = out.size();
    ASSERT_TRUE(echo.stage->process(block, 2, out));
    EXPECT_EQ((out.size() - before) % 2, 0u);
    frames_in += frames;
    frames_out += (out.size() - before) / 2;
    EXPECT_LE(frames_in - frames_out, aec::Tau::kBlock);
  }
  const size_t before = out.size();
  ASSERT_TRUE(echo.stage->flush(out));
  frames_out += (out.size() - before) / 2;
  EXPECT_EQ(frames_out, frames_in);
  auto metrics = echo.stage->echo_metrics();
  ASSERT_TRUE(metrics.has_value());
  EXPECT_EQ(metrics->size(), 2u);
}

TEST(EchoStage, ReferenceAtAnotherRateIsConvertedNotPadded) {
  Echo echo = make_echo(1, 16000, 48000, 2);
  std::vector<float> out;
  // Two seconds of stereo reference at 48 kHz, pushed ahead of the capture in halves.
  const auto far = test::noise(2 * 48000, 5, 0.2f);
  const auto near = test::noise(16000, 6, 0.2f);
  for (int half = 0; half < 2; ++half) {
    echo.queue->push(std::span(far).subspan(half * 48000, 48000));
    ASSERT_TRUE(echo.stage->process(std::span(near).subspan(half * 8000, 8000), 1, out));
  }
  EXPECT_EQ(echo.queue->discarded(), 0u);
  // Only the resampler's start-up shortfall may be padded.
  EXPECT_LT(echo.queue->padded(), 200u);
}

TEST(EchoStage, EngineRefusalsBecomeTheirKinds) {
  EchoConfig config;
  auto rate = EchoStage::create(config, 1, 96000);
  ASSERT_FALSE(rate);
  EXPECT_EQ(rate.error().kind(), ErrorKind::AecSampleRateUnsupported);
  config.tail_ms = 15;
  auto tail = EchoStage::create(config, 1, 16000);
  ASSERT_FALSE(tail);
  EXPECT_EQ(tail.error().kind(), ErrorKind::AecConfigInvalid);
}

TEST(EchoStage, CancelsADelayedEchoOfThePushedFarEnd) {
  // Far end: noise. Near end: the far end 40 ms later at half level, as a room would
  // return it, pushed and captured 20 ms at a time.
  constexpr uint32_t kRate = 16000;
  constexpr size_t kDelay = 640;
  constexpr size_t kBlock = 320;
  Echo echo = make_echo(1, kRate, kRate);
  const auto far = test::noise(6 * kRate, 9, 0.3f);
  std::vector<float> near(far.size(), 0.0f);
  for (size_t i = kDelay; i < far.size(); ++i) near[i] = 0.5f * far[i - kDelay];
  std::vector<float> out;
  for (size_t i = 0; i + kBlock <= far.size(); i += kBlock) {
    echo.queue->push(std::span(far).subspan(i, kBlock));
    ASSERT_TRUE(echo.stage->process(std::span(near).subspan(i, kBlock), 1, out));
  }
  // The last second, after convergence: the echo is mostly gone.
  const size_t last = kRate;
  ASSERT_GE(out.size(), 2 * last);
  const double before = energy(std::span(near).subspan(out.size() - last, last));
  const double after = energy(std::span(out).subspan(out.size() - last, last));
  EXPECT_GT(10.0 * std::log10(before / std::max(after, 1e-12)), 20.0);
  auto metrics = echo.stage->echo_metrics();
  ASSERT_TRUE(metrics && (*metrics)[0].delay_frames.has_value());
  EXPECT_NEAR(static_cast<double>(*(*metrics)[0].delay_frames), kDelay, 16.0);
  EXPECT_EQ(echo.queue->padded(), 0u);
}

}  // namespace
}  // namespace murello
