#include "files/file_io.hpp"

#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "files/file.hpp"
#include "files/file_fixtures.hpp"
#include "support/model_fixtures.hpp"

namespace murello {
namespace {

using testing::TempDir;

TEST(WholeFile, WriteTruncatesAndReadGivesBackEveryByte) {
  TempDir dir;
  const auto path = dir.path() / "data.bin";
  std::vector<uint8_t> bytes(200000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(write_whole_file(path, bytes));
  ASSERT_TRUE(write_whole_file(path, std::span<const uint8_t>(bytes).first(1000)));
  auto back = read_whole_file(path);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 1000));

  ASSERT_TRUE(write_whole_file(path, {}));
  back = read_whole_file(path);
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->empty());
}

TEST(WholeFile, FailuresNameThePathAndTheSystemError) {
  TempDir dir;
  auto read = read_whole_file(dir.path());
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().message(), "Failed to read audio file " + dir.path().string() +
                                        ": Is a directory (os error 21)");
  auto written = write_whole_file(dir.path(), std::vector<uint8_t>(4));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().name(), "FileWriteFailed");
}

void ignore_signal(int) {}

// A pipe has no size to go by, arrives in pieces, and a signal can interrupt a read
// that waits for the next piece: all of it still arrives, once.
TEST(WholeFile, ReadsAPipeThroughInterruptions) {
  TempDir dir;
  const auto fifo = dir.path() / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct sigaction action {};
  action.sa_handler = ignore_signal;  // no SA_RESTART: a blocked read fails with EINTR
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

  std::vector<uint8_t> bytes(300000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i % 251);
  const pthread_t reader = pthread_self();
  std::thread writer([&] {
    FILE* out = std::fopen(fifo.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    const size_t half = bytes.size() / 2;
    std::fwrite(bytes.data(), 1, half, out);
    std::fflush(out);
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      pthread_kill(reader, SIGUSR1);
    }
    std::fwrite(bytes.data() + half, 1, bytes.size() - half, out);
    std::fclose(out);
  });
  auto read = read_whole_file(fifo);
  writer.join();
  sigaction(SIGUSR1, &previous, nullptr);
  ASSERT_TRUE(read) << read.error().message();
  EXPECT_EQ(*read, bytes);
}

#if !defined(__SANITIZE_ADDRESS__)
size_t heap_in_use() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Reading a long recording holds the recording and a chunk's worth of work, nothing
// that grows with the length read so far.
TEST(FileSourceMemory, ReadingDoesNotGrowWithTheRecording) {
  SourceConfig config;
  config.sample_rate = 16000;
  config.vad = true;
  config.vad_mode = "energy";
  config.highpass = 80;
  config.agc = -20;
  const uint32_t rate_hz = 48000;
  auto source = FileSource::buffer(testing::tone(size_t{5} * 60 * rate_hz, 2, rate_hz), rate_hz,
                                   2, config);
  ASSERT_TRUE(source);
  size_t reads = 0;
  size_t settled = 0;
  size_t peak = 0;
  while (true) {
    auto chunk = (*source)->read();
    ASSERT_TRUE(chunk);
    if (!chunk->has_value()) break;
    if (++reads == 100) settled = heap_in_use();
    if (reads > 100) peak = std::max(peak, heap_in_use());
  }
  ASSERT_GT(reads, 9000u);
  EXPECT_LT(peak, settled + 256 * 1024) << "after 100 reads " << settled << ", peak " << peak;
}
#endif

}  // namespace
}  // namespace murello
