#include "files/file_io.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "files/descriptor.hpp"
#include "files/replacing_file.hpp"

namespace murello {
namespace {

constexpr size_t kMinReadBytes = 64 * 1024;

CoreError read_failed(const std::filesystem::path& path, int error) {
  return CoreError(ErrorKind::FileReadFailed, path, os_error_text(error));
}

// One byte beyond a regular file's size, so the read that finds the end needs no growth.
size_t initial_capacity(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0) {
    return kMinReadBytes;
  }
  return static_cast<size_t>(status.st_size) + 1;
}

// Reads the open descriptor to its end.
Result<std::vector<uint8_t>, CoreError> read_to_end(int fd, const std::filesystem::path& path) {
  std::vector<uint8_t> bytes(initial_capacity(fd));
  size_t filled = 0;
  while (true) {
    if (filled == bytes.size()) bytes.resize(std::max(bytes.size() * 2, kMinReadBytes));
    const ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return read_failed(path, errno);
    }
    if (got == 0) break;
    filled += static_cast<size_t>(got);
  }
  bytes.resize(filled);
  return bytes;
}

}  // namespace

Result<std::vector<uint8_t>, CoreError> read_whole_file(const std::filesystem::path& path) {
  Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return read_failed(path, errno);
  return read_to_end(file.get(), path);
}

FileView::FileView(void* mapping, size_t size)
    : mapping_(mapping), bytes_(static_cast<const uint8_t*>(mapping), size) {}

FileView::FileView(std::vector<uint8_t> bytes) : read_(std::move(bytes)), bytes_(read_) {}

FileView::FileView(FileView&& other) noexcept
    : mapping_(std::exchange(other.mapping_, nullptr)),
      read_(std::move(other.read_)),
      bytes_(mapping_ != nullptr ? other.bytes_ : std::span<const uint8_t>(read_)),
      released_bytes_(other.released_bytes_) {
  other.bytes_ = {};
}

void FileView::release_before(uint64_t offset) {
  if (mapping_ == nullptr) return;
  const uint64_t page_bytes = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  const uint64_t end = std::min<uint64_t>(offset, bytes_.size()) / page_bytes * page_bytes;
  if (end <= released_bytes_) return;
  ::madvise(static_cast<uint8_t*>(mapping_) + released_bytes_, end - released_bytes_,
            MADV_DONTNEED);
  released_bytes_ = end;
}

FileView::~FileView() {
  if (mapping_ != nullptr) ::munmap(mapping_, bytes_.size());
}

Result<FileView, CoreError> view_whole_file(const std::filesystem::path& path) {
  Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return read_failed(path, errno);
  struct stat status {};
  if (::fstat(file.get(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
    const auto size = static_cast<size_t>(status.st_size);
    void* mapping = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file.get(), 0);
    if (mapping != MAP_FAILED) return FileView(mapping, size);
  }
  // Not mappable (or empty): read it whole, as open does.
  auto bytes = read_to_end(file.get(), path);
  if (!bytes) return std::move(bytes).error();
  return FileView(std::move(bytes).value());
}

Result<FileView, CoreError> view_file(FileInput input) {
  if (auto* path = std::get_if<std::filesystem::path>(&input)) return view_whole_file(*path);
  return FileView(std::get<std::vector<uint8_t>>(std::move(input)));
}

Result<void, CoreError> write_whole_file(const std::filesystem::path& path,
                                         std::span<const uint8_t> bytes) {
  auto file = ReplacingFile::create(path);
  if (!file) return std::move(file).error();
  if (auto written = file->write(bytes); !written) return written;
  return file->commit();
}

}  // namespace murello
