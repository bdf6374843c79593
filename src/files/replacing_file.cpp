#include "files/replacing_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>

namespace murello {
namespace {

constexpr int kNameAttempts = 64;
// Leaves room for the prefix and suffix within the usual 255-byte name limit.
constexpr size_t kNameStemBytes = 200;

CoreError write_failed(const std::filesystem::path& path, int error) {
  return CoreError(ErrorKind::FileWriteFailed, path, os_error_text(error));
}

// A name no other writer is likely to pick; O_EXCL settles the rare collision.
std::filesystem::path temporary_name(const std::filesystem::path& target) {
  static std::atomic<uint64_t> counter{0};
  const uint64_t mix = static_cast<uint64_t>(::getpid()) * 0x9e3779b97f4a7c15u ^
                       static_cast<uint64_t>(
                           std::chrono::steady_clock::now().time_since_epoch().count()) ^
                       counter.fetch_add(1) * 0xbf58476d1ce4e5b9u;
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".%012llx.tmp",
                static_cast<unsigned long long>(mix & 0xffffffffffffu));
  std::string name = ".";
  name.append(target.filename().string(), 0, kNameStemBytes);
  name.append(suffix);
  return target.parent_path() / name;
}

int open_in_place(const std::filesystem::path& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

// The file a rename must replace: a symbolic link's target, so the link survives.
std::filesystem::path rename_target(const std::filesystem::path& path) {
  struct stat link {};
  if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return path;
  std::error_code error;
  auto resolved = std::filesystem::weakly_canonical(path, error);
  return error ? path : resolved;
}

}  // namespace

ReplacingFile::ReplacingFile(std::filesystem::path destination, std::filesystem::path temporary,
                             std::filesystem::path target, Descriptor file, bool positioned)
    : destination_(std::move(destination)),
      temporary_(std::move(temporary)),
      target_(std::move(target)),
      file_(std::move(file)),
      positioned_(positioned) {}

ReplacingFile::ReplacingFile(ReplacingFile&& other) noexcept
    : destination_(std::move(other.destination_)),
      temporary_(std::exchange(other.temporary_, {})),
      target_(std::move(other.target_)),
      file_(std::move(other.file_)),
      positioned_(other.positioned_),
      error_(other.error_) {}

ReplacingFile::~ReplacingFile() { abandon(); }

Result<ReplacingFile, CoreError> ReplacingFile::create(const std::filesystem::path& path) {
  struct stat existing {};
  const bool exists = ::stat(path.c_str(), &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode)) {
    Descriptor file(open_in_place(path));
    if (!file.is_open()) return write_failed(path, errno);
    const bool positioned = ::lseek(file.get(), 0, SEEK_CUR) != -1;
    return ReplacingFile(path, {}, path, std::move(file), positioned);
  }
  const std::filesystem::path target = rename_target(path);
  int error = 0;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    auto temporary = temporary_name(target);
    Descriptor file(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file.is_open()) {
      if (exists) {
        // The replacement keeps the old file's permissions and, where allowed, its owner.
        (void)::fchmod(file.get(), existing.st_mode & 07777);
        (void)::fchown(file.get(), existing.st_uid, existing.st_gid);
      }
      return ReplacingFile(path, std::move(temporary), target, std::move(file));
    }
    error = errno;
    if (error != EEXIST) break;
  }
  if (exists && (error == EACCES || error == EPERM)) {
    // A writable file in a folder that takes no new names can still be rewritten.
    Descriptor file(open_in_place(path));
    if (!file.is_open()) return write_failed(path, errno);
    return ReplacingFile(path, {}, path, std::move(file));
  }
  return write_failed(path, error);
}

CoreError ReplacingFile::failed(int error) const { return write_failed(destination_, error); }

void ReplacingFile::abandon() {
  (void)file_.close();
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
}

Result<void, CoreError> ReplacingFile::write(std::span<const uint8_t> bytes) {
  if (error_ != 0) return failed(error_);
  size_t written = 0;
  if (const int error = write_all(file_.get(), bytes.data(), bytes.size(), written); error != 0) {
    error_ = error;
    abandon();
    return failed(error);
  }
  return {};
}

Result<void, CoreError> ReplacingFile::write_at(uint64_t offset, std::span<const uint8_t> bytes) {
  if (error_ != 0) return failed(error_);
  const ssize_t written = ::pwrite(file_.get(), bytes.data(), bytes.size(), off_t(offset));
  if (written != ssize_t(bytes.size())) {
    // Within the bytes already written, a short write has no cause to retry for.
    error_ = written < 0 ? errno : EIO;
    abandon();
    return failed(error_);
  }
  return {};
}

Result<void, CoreError> ReplacingFile::commit() {
  if (error_ != 0) return failed(error_);
  // A rename that reached the disk before the data would leave an empty file after a
  // power cut; some file systems report a full disk only here, too.
  int error = 0;
  if (!temporary_.empty() && ::fdatasync(file_.get()) != 0) error = errno;
  if (const int closed = file_.close(); error == 0) error = closed;
  if (error == 0 && !temporary_.empty() && ::rename(temporary_.c_str(), target_.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) {
    error_ = error;
    abandon();
    return failed(error);
  }
  temporary_.clear();
  return {};
}

}  // namespace murello
