// The playback queue and the audio thread's fill, without a device: the test plays the
// audio thread's part by calling fill() itself.
#include "playback/playback_feed.hpp"

#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

namespace murello {
namespace {

using namespace std::chrono_literals;

std::vector<float> counting(float first, size_t n) {
  std::vector<float> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

std::vector<float> fill(PlaybackFeed& feed, size_t n) {
  std::vector<float> out(n, -1.0f);
  feed.fill(out);
  return out;
}

TEST(PlaybackFeed, SplitsMessagesAcrossBuffersAndCarriesTheRestOver) {
  PlaybackFeed feed;
  ASSERT_TRUE(feed.queue().send(counting(1, 10)));
  EXPECT_EQ(fill(feed, 4), (std::vector<float>{1, 2, 3, 4}));
  EXPECT_EQ(fill(feed, 4), (std::vector<float>{5, 6, 7, 8}));
  // The carry-over comes first, then the next message without a gap.
  ASSERT_TRUE(feed.queue().send(counting(11, 3)));
  EXPECT_EQ(fill(feed, 4), (std::vector<float>{9, 10, 11, 12}));
  EXPECT_EQ(feed.underrun_samples(), 0u);
  // Nothing queued behind the carry-over: the shortfall is silence, counted.
  EXPECT_EQ(fill(feed, 4), (std::vector<float>{13, 0, 0, 0}));
  EXPECT_EQ(feed.underrun_samples(), 3u);
  EXPECT_EQ(fill(feed, 5), (std::vector<float>(5, 0.0f)));
  EXPECT_EQ(feed.underrun_samples(), 8u);
}

TEST(PlaybackFeed, OneBufferTakesManySmallMessagesInOrder) {
  PlaybackFeed feed;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(feed.queue().send(counting(float(i * 3), 3)));
  EXPECT_EQ(fill(feed, 15), counting(0, 15));
  EXPECT_EQ(feed.underrun_samples(), 0u);
}

TEST(PlaybackFeed, DrainMarkersAreCountedInQueueOrderAndPlayNothing) {
  PlaybackFeed feed;
  PlaybackQueue& queue = feed.queue();
  ASSERT_TRUE(queue.send(counting(1, 3)));
  ASSERT_TRUE(queue.send({}));  // queues nothing: an empty message would pass for a marker
  auto first = queue.send_marker();
  ASSERT_TRUE(queue.send(counting(4, 3)));
  auto second = queue.send_marker();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(*first, 1u);
  EXPECT_EQ(*second, 2u);

  EXPECT_EQ(fill(feed, 2), (std::vector<float>{1, 2}));
  EXPECT_EQ(queue.markers_taken(), 0u);
  // The first marker is taken on the way to the second message, the second one when the
  // buffer asks for more than the queue holds.
  EXPECT_EQ(fill(feed, 3), (std::vector<float>{3, 4, 5}));
  EXPECT_EQ(fill(feed, 3), (std::vector<float>{6, 0, 0}));
  EXPECT_EQ(queue.markers_taken(), 2u);
  EXPECT_EQ(feed.underrun_samples(), 2u);
}

TEST(PlaybackFeed, OnceStoppedItPlaysSilenceDropsWhatIsQueuedAndCountsNoUnderrun) {
  PlaybackFeed feed;
  ASSERT_TRUE(feed.queue().send(counting(1, 10)));
  ASSERT_TRUE(feed.queue().send_marker());
  ASSERT_TRUE(feed.queue().send(counting(11, 10)));
  EXPECT_EQ(fill(feed, 4), (std::vector<float>{1, 2, 3, 4}));
  feed.stop();
  EXPECT_FALSE(feed.playing());
  EXPECT_EQ(fill(feed, 4), (std::vector<float>(4, 0.0f)));
  EXPECT_EQ(feed.queue().markers_taken(), 1u);
  EXPECT_EQ(feed.underrun_samples(), 0u);
  EXPECT_FALSE(feed.queue().send(counting(0, 1)));
  EXPECT_FALSE(feed.queue().send_marker());
}

TEST(PlaybackFeed, ADeviceErrorIsReportedOnceAndStopsPlaying) {
  PlaybackFeed feed;
  feed.fail("No such device");
  EXPECT_FALSE(feed.playing());
  EXPECT_TRUE(feed.device_failed());
  EXPECT_EQ(feed.take_error(), "No such device");
  EXPECT_EQ(feed.take_error(), std::nullopt);
  EXPECT_TRUE(feed.device_failed());
}

// A write that ends inside a frame holds the partial frame back until the next write
// completes it, so the channels of later frames never shift.
TEST(PlaybackFeed, APartialFrameWaitsForTheRestOfItsFrame) {
  PlaybackFeed feed(2);
  ASSERT_TRUE(feed.write(counting(1, 3)));
  EXPECT_EQ(fill(feed, 4), (std::vector<float>{1, 2, 0, 0}));
  ASSERT_TRUE(feed.write(counting(4, 1)));  // completes the frame (3, 4)
  ASSERT_TRUE(feed.write(counting(5, 1)));  // alone: nothing to queue yet
  ASSERT_TRUE(feed.write(counting(6, 5)));
  EXPECT_EQ(fill(feed, 10), (std::vector<float>{3, 4, 5, 6, 7, 8, 9, 10, 0, 0}));
  EXPECT_EQ(feed.underrun_samples(), 4u);
  feed.stop();
  EXPECT_FALSE(feed.write(counting(11, 1)));
}

// The storage of a played message goes back to the allocator at the next send or
// release, not when its slot comes round again 33 messages later.
TEST(PlaybackQueue, APlayedMessageIsFreedAtTheNextSendOrRelease) {
  constexpr size_t kBig = 4 << 20;  // samples: 16 MiB, well above any allocator cache
  auto allocated = [] { return mallinfo2().uordblks + mallinfo2().hblkhd; };
  PlaybackFeed feed;
  std::vector<float> out(kBig);
  const size_t before = allocated();
  ASSERT_TRUE(feed.queue().send(std::vector<float>(kBig, 0.5f)));
  if (allocated() < before + kBig * sizeof(float)) {
    GTEST_SKIP() << "this allocator (a sanitizer's) reports nothing through mallinfo2";
  }
  feed.fill(out);
  feed.fill(std::span<float>(out).first(1));  // the message is finished
  feed.queue().release_played();
  EXPECT_LT(allocated(), before + kBig * sizeof(float) / 2);

  ASSERT_TRUE(feed.queue().send(std::vector<float>(kBig, 0.5f)));
  feed.fill(out);
  feed.fill(std::span<float>(out).first(1));
  ASSERT_TRUE(feed.queue().send(counting(1, 1)));
  EXPECT_LT(allocated(), before + kBig * sizeof(float) / 2);
}

// A sender that finds 32 messages queued waits until 24 are left.
TEST(PlaybackQueue, ThirtyTwoMessagesFitAndTheNextSenderWaitsForTheReceiver) {
  PlaybackFeed feed;
  for (int i = 0; i < 32; ++i) ASSERT_TRUE(feed.queue().send(counting(float(i), 1)));
  std::atomic<bool> sent{false};
  std::thread sender([&] {
    EXPECT_TRUE(feed.queue().send(counting(32, 1)));
    sent = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(sent.load()) << "a 33rd message was queued without waiting";
  EXPECT_EQ(fill(feed, 7), counting(0, 7));
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(sent.load()) << "the sender went on with 25 messages queued";
  EXPECT_EQ(fill(feed, 1), (std::vector<float>{7}));
  sender.join();
  EXPECT_TRUE(sent.load());
  EXPECT_EQ(fill(feed, 25), counting(8, 25));
}

TEST(PlaybackQueue, ClosingWakesEveryBlockedSenderAndTheyFail) {
  PlaybackFeed feed;
  for (int i = 0; i < 32; ++i) ASSERT_TRUE(feed.queue().send(counting(0, 2)));
  std::atomic<int> failed{0};
  std::vector<std::thread> senders;
  for (int i = 0; i < 3; ++i) {
    senders.emplace_back([&, i] {
      bool ok = i == 0 ? feed.queue().send(counting(0, 2)) : feed.queue().send_marker().has_value();
      if (!ok) failed.fetch_add(1);
    });
  }
  std::this_thread::sleep_for(20ms);
  feed.fail("gone");
  for (auto& t : senders) t.join();
  EXPECT_EQ(failed.load(), 3);
}

// A sender with a deadline gives up on a full queue, keeps its samples and can try again.
TEST(PlaybackQueue, ASendWithADeadlineGivesUpOnAFullQueueAndKeepsItsSamples) {
  PlaybackFeed feed;
  PlaybackQueue& queue = feed.queue();
  for (int i = 0; i < 32; ++i) ASSERT_TRUE(queue.send(counting(float(i), 1)));
  const auto soon = [] { return std::chrono::steady_clock::now() + 20ms; };
  std::vector<float> samples = counting(32, 1);
  uint64_t ticket = 0;
  EXPECT_EQ(queue.send_until(samples, soon()), PlaybackQueue::Sent::TimedOut);
  EXPECT_EQ(queue.send_marker_until(ticket, soon()), PlaybackQueue::Sent::TimedOut);
  EXPECT_EQ(samples, counting(32, 1));
  EXPECT_EQ(fill(feed, 8), counting(0, 8));
  EXPECT_EQ(queue.send_until(samples, soon()), PlaybackQueue::Sent::Queued);
  EXPECT_EQ(queue.send_marker_until(ticket, soon()), PlaybackQueue::Sent::Queued);
  EXPECT_EQ(ticket, 1u);
  EXPECT_EQ(fill(feed, 25), counting(8, 25));
  feed.stop();
  EXPECT_EQ(queue.send_until(samples, soon()), PlaybackQueue::Sent::Closed);
}

// Several writers and a receiver at full speed: every sample arrives once, each writer's
// messages in its own order (also a data-race check under ThreadSanitizer).
TEST(PlaybackQueue, ConcurrentWritersLoseAndRepeatNothing) {
  constexpr int kWriters = 3;
  constexpr int kMessages = 1000;
  PlaybackFeed feed;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int m = 0; m < kMessages; ++m) {
        // Writer w, message m, sample s: w * 1e6 + m * 4 + s + 1, exact in float and
        // never 0, which is silence.
        std::vector<float> message(1 + m % 4);
        for (size_t s = 0; s < message.size(); ++s) {
          message[s] = float(w * 1000000 + m * 4 + int(s) + 1);
        }
        ASSERT_TRUE(feed.queue().send(std::move(message)));
        if (m % 250 == 0) {
          ASSERT_TRUE(feed.queue().send_marker());
        }
      }
    });
  }
  std::vector<float> received;
  const size_t expected = size_t{kWriters} * (kMessages / 4) * (1 + 2 + 3 + 4);
  std::vector<float> buffer(7);
  while (received.size() < expected + feed.underrun_samples()) {
    feed.fill(buffer);
    received.insert(received.end(), buffer.begin(), buffer.end());
  }
  for (auto& t : writers) t.join();
  std::vector<float> tail(64);
  feed.fill(tail);
  received.insert(received.end(), tail.begin(), tail.end());

  std::vector<int> next(kWriters, 0);
  size_t samples = 0;
  for (float v : received) {
    if (v == 0.0f) continue;
    int w = int(v) / 1000000;
    int at = int(v) % 1000000 - 1;
    ASSERT_GE(w, 0);
    ASSERT_LT(w, kWriters);
    ASSERT_EQ(at, next[w]) << "writer " << w;
    next[w] = at + 1;
    int m = at / 4;
    if (at % 4 == m % 4) next[w] = (m + 1) * 4;  // the message's last sample
    ++samples;
  }
  EXPECT_EQ(samples, expected);
  EXPECT_EQ(feed.queue().markers_taken(), uint64_t{kWriters} * (kMessages / 250));
}

}  // namespace
}  // namespace murello
