#include "files/replacing_file.hpp"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <vector>

#include "files/file_fixtures.hpp"
#include "files/file_io.hpp"
#include "support/model_fixtures.hpp"

namespace murello {
namespace {

using testing::read_bytes;
using testing::TempDir;
using testing::write_bytes;

std::vector<std::filesystem::path> folder_entries(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + seed);
  return bytes;
}

// Runs `body` in a child process whose files may grow to `limit_bytes` at most, with
// SIGXFSZ ignored so that a write beyond the limit fails with EFBIG; returns the child's
// exit status.
int with_file_size_limit(rlim_t limit_bytes, const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{limit_bytes, limit_bytes};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(100);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

TEST(ReplacingFile, ReplacesTheFileKeepingItsPermissionsAndLinks) {
  TempDir dir;
  const auto real = dir.path() / "real.wav";
  const auto link = dir.path() / "link.wav";
  write_bytes(real, pattern(5000, 1));
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  std::filesystem::create_symlink("real.wav", link);

  ASSERT_TRUE(write_whole_file(link, pattern(300, 2)));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(read_bytes(real), pattern(300, 2));
  struct stat status {};
  ASSERT_EQ(::stat(real.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  EXPECT_EQ(folder_entries(dir.path()),
            (std::vector<std::filesystem::path>{"link.wav", "real.wav"}));
}

TEST(ReplacingFile, AFailedWriteLeavesTheEarlierFileAndNoOther) {
  TempDir dir;
  const auto path = dir.path() / "out.wav";
  const auto earlier = pattern(10000, 3);
  struct Case {
    const char* name;
    bool earlier_file;
  };
  for (const Case& c : {Case{"over an earlier file", true}, Case{"a new name", false}}) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(path);
    if (c.earlier_file) write_bytes(path, earlier);
    const int status = with_file_size_limit(64 * 1024, [&] {
      auto written = write_whole_file(path, pattern(1 << 20, 4));
      if (written) return 1;
      return written.error().message().find("File too large") != std::string::npos ? 0 : 2;
    });
    EXPECT_EQ(status, 0);
    if (c.earlier_file) {
      EXPECT_EQ(read_bytes(path), earlier);
      EXPECT_EQ(folder_entries(dir.path()), std::vector<std::filesystem::path>{"out.wav"});
    } else {
      EXPECT_TRUE(folder_entries(dir.path()).empty());
    }
  }
}

TEST(ReplacingFile, AnAbandonedFileLeavesNothing) {
  TempDir dir;
  {
    auto file = ReplacingFile::create(dir.path() / "never.wav");
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->write(pattern(100, 5)));
  }
  EXPECT_TRUE(folder_entries(dir.path()).empty());
}

TEST(ReplacingFile, WhatARenameCannotReplaceIsWrittenInPlace) {
  ASSERT_TRUE(write_whole_file("/dev/null", pattern(100, 6)));
  struct stat status {};
  ASSERT_EQ(::stat("/dev/null", &status), 0);
  EXPECT_TRUE(S_ISCHR(status.st_mode));

  TempDir dir;
  std::filesystem::create_directory(dir.path() / "folder");
  auto written = write_whole_file(dir.path() / "folder", pattern(100, 7));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().name(), "FileWriteFailed");
  EXPECT_EQ(folder_entries(dir.path()), std::vector<std::filesystem::path>{"folder"});
  EXPECT_TRUE(folder_entries(dir.path() / "folder").empty());
}

}  // namespace
}  // namespace murello
