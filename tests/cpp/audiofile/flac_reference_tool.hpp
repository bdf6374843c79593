// The reference FLAC tool driven from the tests: WAV files written and read here,
// encoded and decoded by `flac` in a scratch directory that is removed afterwards.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace murello::flac_testing {

struct Pcm {
  std::vector<int64_t> samples;  // interleaved
  unsigned channels = 1;
  unsigned bits = 16;
  uint32_t rate_hz = 44100;
};

inline bool reference_tool_present() { return std::system("flac --version >/dev/null 2>&1") == 0; }

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "murello_flac_XXXXXX").string();
    path_ = mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline void put_le(std::vector<uint8_t>& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

// WAVE_FORMAT_EXTENSIBLE with PCM samples left-justified in whole bytes (8-bit ones
// unsigned, as WAV stores them) and no channel mask.
inline void write_wav(const std::string& path, const Pcm& pcm) {
  const unsigned width = (pcm.bits + 7) / 8;
  const unsigned pad = 8 * width - pcm.bits;
  std::vector<uint8_t> data;
  for (int64_t s : pcm.samples) {
    uint64_t v = uint64_t(s) << pad;
    if (width == 1) v ^= 0x80;
    put_le(data, v, int(width));
  }
  std::vector<uint8_t> fmt;
  put_le(fmt, 0xFFFE, 2);
  put_le(fmt, pcm.channels, 2);
  put_le(fmt, pcm.rate_hz, 4);
  put_le(fmt, uint64_t(pcm.rate_hz) * width * pcm.channels, 4);
  put_le(fmt, width * pcm.channels, 2);
  put_le(fmt, 8 * width, 2);
  put_le(fmt, 22, 2);
  put_le(fmt, pcm.bits, 2);
  put_le(fmt, 0, 4);
  const uint8_t pcm_guid[] = {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
  fmt.insert(fmt.end(), std::begin(pcm_guid), std::end(pcm_guid));
  std::vector<uint8_t> file = {'R', 'I', 'F', 'F'};
  put_le(file, 4 + 8 + fmt.size() + 8 + data.size(), 4);
  for (char c : std::string("WAVEfmt ")) file.push_back(uint8_t(c));
  put_le(file, fmt.size(), 4);
  file.insert(file.end(), fmt.begin(), fmt.end());
  for (char c : std::string("data")) file.push_back(uint8_t(c));
  put_le(file, data.size(), 4);
  file.insert(file.end(), data.begin(), data.end());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                std::streamsize(file.size()));
}

inline uint64_t get_le(const std::vector<uint8_t>& b, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b[at + size_t(i)];
  return v;
}

// Reads the PCM WAV files that `flac -d` writes (plain or extensible). Returns false
// when the file is not one.
inline bool read_wav(const std::string& path, Pcm& pcm) {
  std::vector<uint8_t> b = read_bytes(path);
  if (b.size() < 12 || get_le(b, 8, 4) != 0x45564157) return false;  // "WAVE"
  unsigned width = 0;
  for (size_t at = 12; at + 8 <= b.size();) {
    uint64_t id = get_le(b, at, 4), size = get_le(b, at + 4, 4);
    if (at + 8 + size > b.size()) return false;
    if (id == 0x20746d66) {  // "fmt "
      pcm.channels = unsigned(get_le(b, at + 10, 2));
      pcm.rate_hz = uint32_t(get_le(b, at + 12, 4));
      width = unsigned(get_le(b, at + 22, 2)) / 8;
      pcm.bits = get_le(b, at + 8, 2) == 0xFFFE ? unsigned(get_le(b, at + 26, 2)) : 8 * width;
    } else if (id == 0x61746164 && width > 0) {  // "data"
      const unsigned pad = 8 * width - pcm.bits;
      for (size_t i = at + 8; i + width <= at + 8 + size; i += width) {
        uint64_t v = get_le(b, i, int(width));
        if (width == 1) v ^= 0x80;
        int64_t s = int64_t(v << (64 - 8 * width)) >> (64 - 8 * width);
        pcm.samples.push_back(s >> pad);
      }
      return true;
    }
    at += 8 + size + (size & 1);
  }
  return false;
}

inline bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::string quoted(const std::string& path) { return "'" + path + "'"; }

}  // namespace murello::flac_testing
