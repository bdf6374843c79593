// Whole-file reading and writing for the file source.
//
// Conventions: sizes are bytes. The audio-file library never touches the file system;
// these functions are the only places the file source does. System errors are
// reported with the path and the error text ("<strerror text> (os error N)").
//
// Threads: no shared state; safe from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <variant>
#include <vector>

#include "core/error.hpp"
#include "util/result.hpp"

namespace murello {

// Where a file's bytes come from: a path, or the bytes themselves, already read (from a
// file object of the caller's, say).
using FileInput = std::variant<std::filesystem::path, std::vector<uint8_t>>;

// Reads `path` to its end into one buffer, sized from the file's status when it has one
// (pipes and special files grow the buffer as they deliver). Interrupted reads are
// retried. Any failure to open or read is FileReadFailed.
Result<std::vector<uint8_t>, CoreError> read_whole_file(const std::filesystem::path& path);

// A file's bytes for a parse that looks at few of them. A regular file is mapped, so
// only the pages the parse touches are read; anything else (a pipe, a device) is read
// whole. As with any mapping, a file cut short by another process while it is viewed
// raises SIGBUS when the lost pages are touched.
class FileView {
 public:
  FileView(FileView&& other) noexcept;
  FileView& operator=(FileView&&) = delete;
  FileView(const FileView&) = delete;
  ~FileView();

  std::span<const uint8_t> bytes() const { return bytes_; }

  // Gives the mapped pages wholly before `offset` back to the system, so that reading a
  // long file through keeps only the pages still in use. They read again as before if
  // touched. Does nothing for a file read whole.
  void release_before(uint64_t offset);

 private:
  friend Result<FileView, CoreError> view_whole_file(const std::filesystem::path& path);
  friend Result<FileView, CoreError> view_file(FileInput input);
  FileView(void* mapping, size_t size);
  explicit FileView(std::vector<uint8_t> bytes);

  void* mapping_ = nullptr;
  std::vector<uint8_t> read_;
  std::span<const uint8_t> bytes_;
  uint64_t released_bytes_ = 0;
};

// The bytes of `path`, as read_whole_file sees them; failures are FileReadFailed.
Result<FileView, CoreError> view_whole_file(const std::filesystem::path& path);

// view_whole_file for a path; bytes already read are viewed as they are.
Result<FileView, CoreError> view_file(FileInput input);

// Writes every byte to `path` through a ReplacingFile: on success `path` holds exactly
// these bytes; on failure (FileWriteFailed) any earlier file of that name is untouched.
Result<void, CoreError> write_whole_file(const std::filesystem::path& path,
                                         std::span<const uint8_t> bytes);

}  // namespace murello
