// Clocks shared by the benchmark programs: wall time since a start, and CPU time (user +
// system, every thread) of this process, of its waited-for children, or from a record
// that wait4() filled.
#pragma once

#include <sys/resource.h>

#include <chrono>

namespace murello::bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double cpu_seconds(const rusage& usage) {
  auto seconds = [](timeval v) { return double(v.tv_sec) + double(v.tv_usec) * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

inline double own_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return cpu_seconds(usage);
}

inline double children_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return cpu_seconds(usage);
}

}  // namespace murello::bench
