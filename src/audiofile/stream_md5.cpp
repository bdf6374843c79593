#include "audiofile/stream_md5.hpp"

#include <algorithm>
#include <system_error>

namespace murello {

StreamMd5::StreamMd5(uint64_t expected_bytes) {
  if (expected_bytes < kBackgroundBytes) return;
  for (auto& piece : pieces_) piece.resize(kPieceBytes);
  try {
    thread_ = std::thread([this] { hash_pieces(); });
  } catch (const std::system_error&) {
    // No thread to be had: update() hashes as it goes.
  }
}

StreamMd5::~StreamMd5() { stop(); }

void StreamMd5::update(std::span<const uint8_t> bytes) {
  if (!thread_.joinable()) {
    md5_.update(bytes);
    return;
  }
  while (!bytes.empty()) {
    // The piece being filled is the producer's alone until it is submitted.
    std::vector<uint8_t>& piece = pieces_[submitted_ % kPieces];
    const size_t take = std::min(bytes.size(), kPieceBytes - filling_bytes_);
    std::copy_n(bytes.data(), take, piece.data() + filling_bytes_);
    filling_bytes_ += take;
    bytes = bytes.subspan(take);
    if (filling_bytes_ < kPieceBytes) break;
    std::unique_lock lock(mutex_);
    piece_bytes_[submitted_ % kPieces] = filling_bytes_;
    ++submitted_;
    filling_bytes_ = 0;
    changed_.notify_all();
    // The next piece to fill must have been hashed.
    changed_.wait(lock, [this] { return submitted_ - hashed_ < kPieces; });
  }
}

std::array<uint8_t, 16> StreamMd5::finish() {
  if (thread_.joinable()) {
    {
      std::lock_guard lock(mutex_);
      piece_bytes_[submitted_ % kPieces] = filling_bytes_;
      ++submitted_;
      filling_bytes_ = 0;
      changed_.notify_all();
    }
    stop();  // joins after the queue has drained: the digest is this thread's again
  }
  return md5_.finish();
}

void StreamMd5::hash_pieces() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return hashed_ < submitted_ || stopping_; });
    if (hashed_ == submitted_) return;  // stopping, with nothing left
    const size_t slot = hashed_ % kPieces;
    lock.unlock();
    md5_.update(std::span(pieces_[slot].data(), piece_bytes_[slot]));
    lock.lock();
    ++hashed_;
    changed_.notify_all();
  }
}

void StreamMd5::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  thread_.join();
}

}  // namespace murello
