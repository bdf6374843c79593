// StreamMd5: the MD5 digest of a byte stream; a long one is hashed on a thread of its
// own, beside the code that produces the bytes, so that decoding or encoding a long FLAC
// stream is not slowed by its checksum.
//
// Conventions: bytes are handed over with update(). For a stream declared long, they are
// copied into one of a few buffers of kPieceBytes and hashed in order, and update() waits
// only while every buffer is still queued; a shorter stream, or one whose thread cannot
// be started, is hashed inline in update().
//
// Threads: one producer calls update() and finish(); the hashing thread is private and
// stopped by finish() or the destructor.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "audiofile/md5.hpp"

namespace murello {

class StreamMd5 {
 public:
  static constexpr size_t kPieceBytes = size_t{1} << 16;
  // Shorter streams are hashed inline: a thread would cost more than it saves.
  static constexpr uint64_t kBackgroundBytes = uint64_t{1} << 20;

  // `expected_bytes`: the stream's length as far as it is known (it need not be exact).
  explicit StreamMd5(uint64_t expected_bytes);
  ~StreamMd5();
  StreamMd5(const StreamMd5&) = delete;
  StreamMd5& operator=(const StreamMd5&) = delete;

  // Appends bytes to the message.
  void update(std::span<const uint8_t> bytes);

  // Waits for everything handed over to be hashed and returns the digest; call once.
  std::array<uint8_t, 16> finish();

 private:
  static constexpr size_t kPieces = 4;

  void hash_pieces();
  void stop();

  Md5 md5_;  // the hashing thread's while it runs
  std::array<std::vector<uint8_t>, kPieces> pieces_;  // empty when hashing inline
  std::array<size_t, kPieces> piece_bytes_{};
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t submitted_ = 0;  // pieces handed over; piece n lives in pieces_[n % kPieces]
  uint64_t hashed_ = 0;     // pieces hashed
  size_t filling_bytes_ = 0;  // bytes in the piece being filled (number submitted_)
  bool stopping_ = false;
  std::thread thread_;  // not joinable when hashing runs inline
};

}  // namespace murello
