// The decoders' memory promise, checked on every fuzzer input: decoding N bytes never
// holds more than a small multiple of N, plus what the returned samples need while their
// vector grows, plus a constant (the working block that STREAMINFO sizes). A decoder that
// trusted a declared length and reserved for it would break the bound on the first short
// file that declares a large one.
//
// The high-water mark of live heap bytes comes from the sanitizer's allocation hooks.
// Single-threaded: libFuzzer runs one input at a time.
#pragma once

#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace murello::fuzz {

inline constexpr int64_t kBytesPerInputByte = 16;
// A growing vector holds its old and new buffers at once, at most 3x the final size.
inline constexpr int64_t kBytesPerOutputByte = 3;
inline constexpr int64_t kConstantBytes = int64_t{8} << 20;

class HeapHighWater {
 public:
  // Installs the hooks once per process.
  HeapHighWater() {
    static const bool installed = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
    (void)installed;
    live_ = peak_ = 0;
    counting_ = true;
  }
  ~HeapHighWater() { counting_ = false; }

  // Aborts (so the fuzzer keeps the input) when the peak so far exceeds the bound.
  void check(size_t input_bytes, size_t output_bytes) const {
    const int64_t bound = kBytesPerInputByte * int64_t(input_bytes) +
                          kBytesPerOutputByte * int64_t(output_bytes) + kConstantBytes;
    if (peak_ > bound) {
      std::fprintf(stderr, "heap peak %lld bytes for %zu input bytes and %zu output bytes\n",
                   static_cast<long long>(peak_), input_bytes, output_bytes);
      std::abort();
    }
  }

 private:
  static void on_malloc(const volatile void*, size_t bytes) {
    if (!counting_) return;
    live_ += int64_t(bytes);
    peak_ = std::max(peak_, live_);
  }
  static void on_free(const volatile void* p) {
    if (counting_ && p) live_ -= int64_t(__sanitizer_get_allocated_size(p));
  }

  static inline bool counting_ = false;
  static inline int64_t live_ = 0;
  static inline int64_t peak_ = 0;
};

}  // namespace murello::fuzz
