// ReplacingFile: a file written beside its destination and renamed over it once complete,
// so that a failed write (a full disk, a file-size limit) leaves any earlier file of that
// name untouched and no partial file behind.
//
// Conventions: sizes are bytes. The temporary file is a hidden name in the destination's
// folder (a rename cannot cross file systems). It takes the permission bits of the file
// it replaces, or the usual ones for a new file (0666 less the umask). Destinations that
// cannot be replaced by a rename are written in place, as before: a path that names
// something other than a regular file (a device such as /dev/null, a FIFO), and an
// existing file in a folder that refuses new names. A symbolic link is followed, so the
// file it points at is replaced and the link kept. Errors are FileWriteFailed with the
// destination's path.
//
// Threads: plain state; one thread at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

#include "core/error.hpp"
#include "files/descriptor.hpp"
#include "util/result.hpp"

namespace murello {

class ReplacingFile {
 public:
  static Result<ReplacingFile, CoreError> create(const std::filesystem::path& path);

  ReplacingFile(ReplacingFile&& other) noexcept;
  ReplacingFile& operator=(ReplacingFile&&) = delete;
  ReplacingFile(const ReplacingFile&) = delete;
  // Removes the temporary file unless commit() succeeded.
  ~ReplacingFile();

  // Appends bytes. After a failure the file is abandoned: commit() reports it again.
  Result<void, CoreError> write(std::span<const uint8_t> bytes);

  // Overwrites bytes already written, from `offset` on (a header completed at the end).
  // After a failure the file is abandoned as after write(). Only where positioned().
  Result<void, CoreError> write_at(uint64_t offset, std::span<const uint8_t> bytes);

  // Whether write_at() can reach back: false for a destination written in place that
  // only streams (a pipe, a FIFO, a terminal).
  bool positioned() const { return positioned_; }

  // Flushes the bytes to the device and renames the file into place.
  Result<void, CoreError> commit();

 private:
  ReplacingFile(std::filesystem::path destination, std::filesystem::path temporary,
                std::filesystem::path target, Descriptor file, bool positioned = true);
  CoreError failed(int error) const;
  void abandon();

  std::filesystem::path destination_;  // as the caller named it, for messages
  std::filesystem::path temporary_;    // empty when writing in place
  std::filesystem::path target_;       // what the rename replaces
  Descriptor file_;
  bool positioned_;
  int error_ = 0;  // the first failure's errno
};

}  // namespace murello
