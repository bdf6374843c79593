// Descriptor: an open file descriptor, closed when it goes out of scope.
//
// Threads: plain state; one thread at a time.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace murello {

// close() reports its own error for writers that must know the data reached the file
// system; the destructor closes silently.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  // Closes now; returns 0 or the errno of a failed close.
  int close() {
    const int fd = std::exchange(fd_, -1);
    return fd < 0 || ::close(fd) == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

// Writes every byte at the descriptor's position, retrying interrupted and partial
// writes. Returns 0 or the errno of the failed write; `written` counts the bytes that
// made it either way.
inline int write_all(int fd, const uint8_t* bytes, size_t size, size_t& written) {
  written = 0;
  while (written < size) {
    const ssize_t put = ::write(fd, bytes + written, size - written);
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    written += static_cast<size_t>(put);
  }
  return 0;
}

}  // namespace murello
