// The speaker-to-canceller link without devices: the test plays both audio threads. At
// 1000 Hz one sample is one millisecond, so times read as sample positions.
#include "echo/echo_link.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace murello {
namespace {

constexpr uint32_t kRate = 1000;
constexpr int64_t kMs = 1'000'000;

// Stereo frames whose down-mix is `first`, `first + 1`, ...
std::vector<float> frames(float first, size_t n) {
  std::vector<float> out;
  for (size_t i = 0; i < n; ++i) {
    out.push_back(first + float(i) - 0.25f);
    out.push_back(first + float(i) + 0.25f);
  }
  return out;
}

std::vector<float> take(EchoLink& link, uint64_t ticket, size_t n) {
  std::vector<float> out;
  link.take(ticket, n, out);
  return out;
}

std::vector<float> silence_then(size_t zeros, float first, size_t n) {
  std::vector<float> out(zeros, 0.0f);
  for (size_t i = 0; i < n; ++i) out.push_back(first + float(i));
  return out;
}

// The far end starts where the speaker's first buffer plays on the capture's clock: a
// speaker already playing is heard after its buffer's latency, one that starts later
// after the silence before it, and silence the stage made up in the meantime is not
// handed out twice.
TEST(EchoLink, TheFarEndStartsWhereTheSpeakerPlaysOnTheCapturesClock) {
  struct Case {
    int64_t play_ms;    // when the first buffer plays, after the attach
    uint64_t owed;      // silence the stage made up before the speaker fed anything
  };
  for (const Case c : {Case{30, 0}, Case{500, 0}, Case{500, 480}, Case{500, 500}}) {
    EchoLink link(kRate, 2);
    const uint64_t ticket = link.attach(0);
    EXPECT_TRUE(take(link, ticket, 10).empty());
    link.owe(ticket, c.owed);
    link.feed(frames(1, 40), c.play_ms * kMs, true);
    const size_t lead = size_t(c.play_ms) - size_t(c.owed);
    EXPECT_EQ(take(link, ticket, lead + 40), silence_then(lead, 1, 40))
        << c.play_ms << " ms, " << c.owed << " owed";
  }
}

// Silence owed beyond the gap is taken from the far end that arrives late for it, so
// what follows stays on the timeline.
TEST(EchoLink, SilenceMadeUpForALateFarEndSkipsIt) {
  EchoLink link(kRate, 2);
  const uint64_t ticket = link.attach(0);
  link.feed(frames(1, 10), 0, true);
  EXPECT_EQ(take(link, ticket, 10), silence_then(0, 1, 10));
  link.owe(ticket, 4);  // the next 4 ms ran short
  link.feed(frames(11, 10), 10 * kMs, false);
  EXPECT_EQ(take(link, ticket, 100), silence_then(0, 15, 6));
}

// The device's own breaks: a restart after a stop (its buffer's unplayed end was fed
// and overlaps), a restart after a pause longer than that, a stall of the device's
// consumption without a restart; scheduling noise below 20 ms moves nothing.
TEST(EchoLink, BreaksInTheDevicesPlayingBecomeGapsOrOverlaps) {
  struct Case {
    const char* what;
    int64_t second_ms;  // when the second buffer plays (the first: 0 ... 50 ms)
    bool restarted;
    std::vector<float> expected;  // from 50 ms on
  };
  const Case cases[] = {
      {"restart 20 ms early", 30, true, silence_then(0, 121, 30)},
      {"restart after 70 ms", 120, true, silence_then(70, 101, 50)},
      {"stall of 40 ms", 90, false, silence_then(40, 101, 50)},
      {"5 ms late", 55, false, silence_then(0, 101, 50)},
  };
  for (const Case& c : cases) {
    EchoLink link(kRate, 2);
    const uint64_t ticket = link.attach(0);
    link.feed(frames(1, 50), 0, true);
    link.feed(frames(101, 50), c.second_ms * kMs, c.restarted);
    EXPECT_EQ(take(link, ticket, 50).size(), 50u) << c.what;
    EXPECT_EQ(take(link, ticket, 1000), c.expected) << c.what;
  }
}

// A new capture cuts the old one off and starts a timeline of its own; a detached link
// is fed nothing; a consumer two seconds behind loses the newest far end, counted.
TEST(EchoLink, AttachmentsAreExclusiveAndAFullRingDropsAndCounts) {
  EchoLink link(kRate, 1);
  const uint64_t first = link.attach(0);
  link.feed(std::vector<float>(100, 0.5f), 0, true);
  const uint64_t second = link.attach(100 * kMs);
  link.feed(std::vector<float>(10, 0.25f), 100 * kMs, false);
  EXPECT_TRUE(take(link, first, 10).empty());
  EXPECT_EQ(take(link, second, 100), std::vector<float>(10, 0.25f));
  link.detach(first);  // no longer attached: changes nothing
  link.feed(std::vector<float>(10, 0.75f), 110 * kMs, false);
  EXPECT_EQ(take(link, second, 100), std::vector<float>(10, 0.75f));

  link.detach(second);
  link.feed(std::vector<float>(10, 1.0f), 120 * kMs, false);
  EXPECT_TRUE(take(link, second, 100).empty());

  const uint64_t third = link.attach(200 * kMs);
  for (int i = 0; i < 25; ++i) {
    link.feed(std::vector<float>(100, 0.5f), (200 + 100 * i) * kMs, false);
  }
  EXPECT_EQ(link.dropped(), 500u);
  EXPECT_EQ(take(link, third, 5000).size(), 2000u);
}

}  // namespace
}  // namespace murello
