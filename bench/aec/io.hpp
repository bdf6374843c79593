// Raw float32 files and CPU time for the echo-canceller benchmark drivers.
#pragma once

#include <time.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace murello::bench {

inline std::vector<float> read_raw(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<float> x(static_cast<std::size_t>(in.tellg()) / sizeof(float));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(x.data()), static_cast<std::streamsize>(x.size() * sizeof(float)));
  return x;
}

inline void write_raw(const std::string& path, const std::vector<float>& x) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(x.data()), static_cast<std::streamsize>(x.size() * sizeof(float)));
}

inline double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

}  // namespace murello::bench
