#include "audiofile/sample.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#include <iterator>

#include "util/quantise.hpp"

namespace murello {
namespace {

// Loads and stores go through memcpy and an explicit swap so that the loops below stay
// free of aliasing and alignment assumptions and the compiler can vectorise them.
template <class T>
T swap_bytes(T v) {
  if constexpr (sizeof(T) == 2) return static_cast<T>(__builtin_bswap16(v));
  if constexpr (sizeof(T) == 4) return static_cast<T>(__builtin_bswap32(v));
  if constexpr (sizeof(T) == 8) return static_cast<T>(__builtin_bswap64(v));
}

template <class T, std::endian kOrder>
T load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (kOrder != std::endian::native) v = swap_bytes(v);
  return v;
}

template <class T, std::endian kOrder>
void store(uint8_t* p, T v) {
  if constexpr (kOrder != std::endian::native) v = swap_bytes(v);
  std::memcpy(p, &v, sizeof v);
}

constexpr float kScale8 = 1.0f / 128.0f;
constexpr float kScale16 = 1.0f / 32768.0f;
constexpr float kScale32 = 1.0f / 2147483648.0f;

// The 24-bit value is placed in the top of an int32 so that one scale (2^-31) serves both
// widths; the low byte is zero, so the conversion to float is exact.
template <bool kLittle>
int32_t load24_high(const uint8_t* p) {
  const uint32_t lo = kLittle ? p[0] : p[2];
  const uint32_t hi = kLittle ? p[2] : p[0];
  return static_cast<int32_t>(lo << 8 | uint32_t{p[1]} << 16 | hi << 24);
}

// Four 24-bit samples fill exactly three 32-bit words; packing whole groups with shifts and
// word stores is several times faster than storing each sample byte by byte. u holds four
// 24-bit two's-complement values in its low bits.
template <std::endian kOrder>
void pack24_group(const uint32_t* u, uint8_t* p) {
  if constexpr (kOrder == std::endian::little) {
    store<uint32_t, kOrder>(p, u[0] | u[1] << 24);
    store<uint32_t, kOrder>(p + 4, u[1] >> 8 | u[2] << 16);
    store<uint32_t, kOrder>(p + 8, u[2] >> 16 | u[3] << 8);
  } else {
    store<uint32_t, kOrder>(p, u[0] << 8 | u[1] >> 16);
    store<uint32_t, kOrder>(p + 4, u[1] << 16 | u[2] >> 8);
    store<uint32_t, kOrder>(p + 8, u[2] << 24 | u[3]);
  }
}

// Walks a byte span kWidth bytes at a time and yields each decoded sample. Appending through
// vector::insert with it writes the new storage once; resize-then-fill would zero it first,
// which costs as much again as the conversion itself.
template <size_t kWidth, class Load>
class DecodingIterator {
 public:
  using iterator_category = std::random_access_iterator_tag;
  using value_type = float;
  using difference_type = std::ptrdiff_t;
  using pointer = const float*;
  using reference = float;

  DecodingIterator(const uint8_t* at, Load load) : at_(at), load_(load) {}

  float operator*() const { return load_(at_); }
  DecodingIterator& operator++() { return *this += 1; }
  DecodingIterator operator++(int) {
    DecodingIterator before = *this;
    *this += 1;
    return before;
  }
  DecodingIterator& operator--() { return *this += -1; }
  DecodingIterator& operator+=(difference_type n) {
    at_ += n * static_cast<difference_type>(kWidth);
    return *this;
  }
  difference_type operator-(const DecodingIterator& other) const {
    return (at_ - other.at_) / static_cast<difference_type>(kWidth);
  }
  bool operator==(const DecodingIterator& other) const { return at_ == other.at_; }

 private:
  const uint8_t* at_;
  Load load_;
};

template <size_t kWidth, class Load>
void decode_loop(std::span<const uint8_t> bytes, std::vector<float>& out, Load load_one) {
  const uint8_t* first = bytes.data();
  const uint8_t* last = first + bytes.size() / kWidth * kWidth;
  out.insert(out.end(), DecodingIterator<kWidth, Load>(first, load_one),
             DecodingIterator<kWidth, Load>(last, load_one));
}

template <size_t kWidth, class Store>
void encode_loop(std::span<const float> samples, std::vector<uint8_t>& out, Store store_one) {
  const size_t base = out.size();
  out.resize(base + samples.size() * kWidth);
  uint8_t* dst = out.data() + base;
  const float* src = samples.data();
  for (size_t i = 0; i < samples.size(); ++i) store_one(dst + i * kWidth, src[i]);
}


template <std::endian kOrder>
void decode_float64(std::span<const uint8_t> bytes, std::vector<float>& out) {
  decode_loop<8>(bytes, out, [](const uint8_t* p) {
    const double d = std::bit_cast<double>(load<uint64_t, kOrder>(p));
    // Converted before the NaN test so that the select sits after the conversion and
    // the loop stays vectorisable; a NaN double converts to a NaN float.
    const float f = static_cast<float>(d);
    return f == f ? f : 0.0f;
  });
}

// Every 24-bit sample but the last is read with a 4-byte load that takes in the first byte
// of the next sample and masks it off: one load and a shift instead of three byte loads.
template <std::endian kOrder>
void decode24(std::span<const uint8_t> bytes, std::vector<float>& out) {
  const size_t count = bytes.size() / 3;
  if (count == 0) return;
  out.reserve(out.size() + count);  // one allocation for both appends
  const std::span<const uint8_t> all_but_last = bytes.first((count - 1) * 3);
  decode_loop<3>(all_but_last, out, [](const uint8_t* p) {
    const uint32_t word = load<uint32_t, kOrder>(p);
    const uint32_t high = kOrder == std::endian::little ? word << 8 : word & 0xFFFFFF00;
    return static_cast<float>(static_cast<int32_t>(high)) * kScale32;
  });
  const uint8_t* last = bytes.data() + (count - 1) * 3;
  out.push_back(static_cast<float>(load24_high<kOrder == std::endian::little>(last)) * kScale32);
}

template <std::endian kOrder>
void encode24(std::span<const float> samples, std::vector<uint8_t>& out) {
  const size_t count = samples.size();
  const size_t base = out.size();
  out.resize(base + count * 3);
  uint8_t* dst = out.data() + base;
  const float* src = samples.data();
  size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    uint32_t u[4];
    for (size_t k = 0; k < 4; ++k) {
      u[k] = static_cast<uint32_t>(quantise<24>(src[i + k])) & 0xFFFFFF;
    }
    pack24_group<kOrder>(u, dst + 3 * i);
  }
  constexpr bool kLittle = kOrder == std::endian::little;
  for (; i < count; ++i) {
    const uint32_t v = static_cast<uint32_t>(quantise<24>(src[i]));
    uint8_t* p = dst + 3 * i;
    p[kLittle ? 0 : 2] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[kLittle ? 2 : 0] = static_cast<uint8_t>(v >> 16);
  }
}

template <std::endian kOrder>
void decode_integer(std::span<const uint8_t> bytes, std::vector<float>& out, size_t width) {
  switch (width) {
    case 2:
      return decode_loop<2>(bytes, out, [](const uint8_t* p) {
        return static_cast<float>(static_cast<int16_t>(load<uint16_t, kOrder>(p))) * kScale16;
      });
    case 3:
      return decode24<kOrder>(bytes, out);
    default:
      return decode_loop<4>(bytes, out, [](const uint8_t* p) {
        return static_cast<float>(static_cast<int32_t>(load<uint32_t, kOrder>(p))) * kScale32;
      });
  }
}

template <std::endian kOrder>
void decode_float32(std::span<const uint8_t> bytes, std::vector<float>& out) {
  decode_loop<4>(bytes, out, [](const uint8_t* p) {
    return std::bit_cast<float>(load<uint32_t, kOrder>(p));
  });
}

template <std::endian kOrder>
void encode_integer(std::span<const float> samples, std::vector<uint8_t>& out, size_t width) {
  switch (width) {
    case 2:
      return encode_loop<2>(samples, out, [](uint8_t* p, float x) {
        store<uint16_t, kOrder>(p, static_cast<uint16_t>(quantise<16>(x)));
      });
    case 3:
      return encode24<kOrder>(samples, out);
    default:
      return encode_loop<4>(samples, out, [](uint8_t* p, float x) {
        store<uint32_t, kOrder>(p, static_cast<uint32_t>(quantise<32>(x)));
      });
  }
}

template <std::endian kOrder>
void encode_float32(std::span<const float> samples, std::vector<uint8_t>& out) {
  encode_loop<4>(samples, out, [](uint8_t* p, float x) {
    store<uint32_t, kOrder>(p, std::bit_cast<uint32_t>(x));
  });
}

template <std::endian kOrder>
void encode_float64(std::span<const float> samples, std::vector<uint8_t>& out) {
  encode_loop<8>(samples, out, [](uint8_t* p, float x) {
    store<uint64_t, kOrder>(p, std::bit_cast<uint64_t>(static_cast<double>(x)));
  });
}

// G.711 decoding is a pure function of the byte: tables built once at compile time.
constexpr int16_t alaw_to_linear(uint8_t byte) {
  const uint8_t a = byte ^ 0x55;
  const int segment = (a >> 4) & 7;
  const int mantissa = a & 0x0F;
  const int magnitude =
      segment == 0 ? mantissa * 16 + 8 : (mantissa * 16 + 264) << (segment - 1);
  return static_cast<int16_t>((a & 0x80) ? magnitude : -magnitude);
}

constexpr int16_t ulaw_to_linear(uint8_t byte) {
  const uint8_t u = static_cast<uint8_t>(~byte);
  const int exponent = (u >> 4) & 7;
  const int t = ((u & 0x0F) * 8 + 132) << exponent;
  return static_cast<int16_t>((u & 0x80) ? 132 - t : t - 132);
}

template <int16_t (*kExpand)(uint8_t)>
constexpr std::array<float, 256> companding_table() {
  std::array<float, 256> table{};
  for (int b = 0; b < 256; ++b) table[b] = kExpand(static_cast<uint8_t>(b)) * kScale16;
  return table;
}

constexpr std::array<float, 256> kALawTable = companding_table<alaw_to_linear>();
constexpr std::array<float, 256> kMuLawTable = companding_table<ulaw_to_linear>();

// Index of the first segment whose end is at least the magnitude.
inline int segment_of(int magnitude, int first_end) {
  int segment = 0;
  while (segment < 7 && magnitude > ((first_end + 1) << segment) - 1) ++segment;
  return segment;
}

uint8_t linear_to_alaw(int32_t pcm) {
  const int magnitude = (pcm >= 0 ? pcm : ~pcm) >> 3;  // 13 bits: 0..4095
  const int segment = segment_of(magnitude, 0x1F);
  const int mantissa = (segment < 2 ? magnitude >> 1 : magnitude >> segment) & 0x0F;
  const int sign = pcm >= 0 ? 0x80 : 0x00;
  return static_cast<uint8_t>((sign | segment << 4 | mantissa) ^ 0x55);
}

uint8_t linear_to_ulaw(int32_t pcm) {
  int magnitude = pcm >> 2;  // 14 bits
  const int sign = magnitude < 0 ? 0x80 : 0x00;
  if (magnitude < 0) magnitude = -magnitude;
  if (magnitude > 8158) magnitude = 8158;
  magnitude += 33;
  const int segment = segment_of(magnitude, 0x3F);
  const int mantissa = (magnitude >> (segment + 1)) & 0x0F;
  return static_cast<uint8_t>(~(sign | segment << 4 | mantissa));
}

}  // namespace

void decode_samples(SampleEncoding encoding, std::span<const uint8_t> bytes,
                    std::vector<float>& out) {
  constexpr auto kLe = std::endian::little;
  constexpr auto kBe = std::endian::big;
  const size_t width = sample_width_bytes(encoding);
  switch (encoding) {
    case SampleEncoding::Unsigned8:
      return decode_loop<1>(bytes, out, [](const uint8_t* p) {
        return static_cast<float>(int32_t{p[0]} - 128) * kScale8;
      });
    case SampleEncoding::Signed8:
      return decode_loop<1>(bytes, out, [](const uint8_t* p) {
        return static_cast<float>(static_cast<int8_t>(p[0])) * kScale8;
      });
    case SampleEncoding::Signed16Le:
    case SampleEncoding::Signed24Le:
    case SampleEncoding::Signed32Le:
      return decode_integer<kLe>(bytes, out, width);
    case SampleEncoding::Signed16Be:
    case SampleEncoding::Signed24Be:
    case SampleEncoding::Signed32Be:
      return decode_integer<kBe>(bytes, out, width);
    case SampleEncoding::Float32Le:
      return decode_float32<kLe>(bytes, out);
    case SampleEncoding::Float32Be:
      return decode_float32<kBe>(bytes, out);
    case SampleEncoding::Float64Le:
      return decode_float64<kLe>(bytes, out);
    case SampleEncoding::Float64Be:
      return decode_float64<kBe>(bytes, out);
  }
}

void decode_companded(Companding law, std::span<const uint8_t> bytes, std::vector<float>& out) {
  const std::array<float, 256>& table = law == Companding::ALaw ? kALawTable : kMuLawTable;
  decode_loop<1>(bytes, out, [&table](const uint8_t* p) { return table[*p]; });
}

void encode_samples(SampleEncoding encoding, std::span<const float> samples,
                    std::vector<uint8_t>& out) {
  constexpr auto kLe = std::endian::little;
  constexpr auto kBe = std::endian::big;
  const size_t width = sample_width_bytes(encoding);
  switch (encoding) {
    case SampleEncoding::Unsigned8:
      return encode_loop<1>(samples, out, [](uint8_t* p, float x) {
        *p = static_cast<uint8_t>(quantise<8>(x) ^ 0x80);
      });
    case SampleEncoding::Signed8:
      return encode_loop<1>(samples, out,
                            [](uint8_t* p, float x) { *p = static_cast<uint8_t>(quantise<8>(x)); });
    case SampleEncoding::Signed16Le:
    case SampleEncoding::Signed24Le:
    case SampleEncoding::Signed32Le:
      return encode_integer<kLe>(samples, out, width);
    case SampleEncoding::Signed16Be:
    case SampleEncoding::Signed24Be:
    case SampleEncoding::Signed32Be:
      return encode_integer<kBe>(samples, out, width);
    case SampleEncoding::Float32Le:
      return encode_float32<kLe>(samples, out);
    case SampleEncoding::Float32Be:
      return encode_float32<kBe>(samples, out);
    case SampleEncoding::Float64Le:
      return encode_float64<kLe>(samples, out);
    case SampleEncoding::Float64Be:
      return encode_float64<kBe>(samples, out);
  }
}

void encode_companded(Companding law, std::span<const float> samples, std::vector<uint8_t>& out) {
  if (law == Companding::ALaw) {
    encode_loop<1>(samples, out,
                   [](uint8_t* p, float x) { *p = linear_to_alaw(quantise<16>(x)); });
  } else {
    encode_loop<1>(samples, out,
                   [](uint8_t* p, float x) { *p = linear_to_ulaw(quantise<16>(x)); });
  }
}

namespace {

void decode_packed(SampleLayout layout, std::span<const uint8_t> bytes, std::vector<float>& out) {
  if (layout.law) return decode_companded(*layout.law, bytes, out);
  decode_samples(layout.encoding, bytes, out);
}

// Slotted samples are gathered into a packed block and decoded from there: one extra
// copy, which leaves the packed loops above as they are for the files nearly all are.
void decode_slotted(SampleLayout layout, std::span<const uint8_t> bytes,
                    std::vector<float>& out) {
  constexpr size_t kBlockSamples = 1024;
  const size_t slot = layout.slot_bytes;
  const size_t width = layout.sample_bytes();
  const size_t count = bytes.size() / slot;
  out.reserve(out.size() + count);
  std::array<uint8_t, kBlockSamples * 8> packed;  // 8: the widest sample
  for (size_t first = 0; first < count; first += kBlockSamples) {
    const size_t n = std::min(kBlockSamples, count - first);
    const uint8_t* from = bytes.data() + first * slot;
    for (size_t i = 0; i < n; ++i) std::memcpy(packed.data() + i * width, from + i * slot, width);
    decode_packed(layout, std::span<const uint8_t>(packed.data(), n * width), out);
  }
}

}  // namespace

void decode_layout(SampleLayout layout, std::span<const uint8_t> bytes, std::vector<float>& out) {
  if (layout.slot_bytes > layout.sample_bytes()) return decode_slotted(layout, bytes, out);
  decode_packed(layout, bytes, out);
}

void encode_layout(SampleLayout layout, std::span<const float> samples,
                   std::vector<uint8_t>& out) {
  assert(layout.slot_bytes == 0);
  if (layout.law) return encode_companded(*layout.law, samples, out);
  encode_samples(layout.encoding, samples, out);
}

}  // namespace murello
