// The decoder's rules, one broken at a time in hand-built streams: each must be
// reported with its expectation text and byte offset, and valid corner cases must decode.
#include <gtest/gtest.h>

#include <numeric>
#include <string>

#include "audiofile/container.hpp"
#include "audiofile/flac/decoder.hpp"
#include "audiofile/flac_stream_builder.hpp"

namespace murello {
namespace {

using namespace flac_testing;

constexpr size_t kFirstFrame = 42;  // "fLaC" + STREAMINFO block
constexpr size_t kMd5Offset = 26;

std::vector<int64_t> ramp(size_t count, int64_t start = -7, int64_t step = 3) {
  std::vector<int64_t> v(count);
  for (size_t i = 0; i < count; ++i) v[i] = start + int64_t(i) * step;
  return v;
}

// A mono 16-bit frame holding `samples` verbatim.
std::vector<uint8_t> verbatim_frame(std::vector<int64_t> samples, FrameLayout f = {}) {
  f.block_size = uint32_t(samples.size());
  return frame(f, [&](BitWriter& w) { verbatim_subframe(w, samples, 16); });
}

// A mono 16-bit stream with a correct total and MD5 around the given frames.
std::vector<uint8_t> stream(const std::vector<std::vector<uint8_t>>& frames,
                            const std::vector<int64_t>& all_samples, StreamInfo info = {}) {
  info.total_frames = all_samples.size() / info.channels;
  info.md5 = md5_of(all_samples, info.bits);
  std::vector<uint8_t> out = concat({kMagic, stream_info_block(info)});
  for (const auto& f : frames) out.insert(out.end(), f.begin(), f.end());
  return out;
}

// One 16-sample frame with the given header fields, in a stream that declares no
// total and no MD5, so only the frame's own rules apply.
std::vector<uint8_t> single_frame_stream(FrameLayout f, StreamInfo info = {}) {
  return concat({kMagic, stream_info_block(info), verbatim_frame(ramp(16), f)});
}

void expect_malformed(const std::vector<uint8_t>& bytes, uint64_t offset,
                      const std::string& expectation) {
  auto decoded = decode_flac(bytes);
  ASSERT_FALSE(decoded) << "expected: " << expectation;
  EXPECT_EQ(decoded.error().display(),
            "malformed input at byte " + std::to_string(offset) + ": expected " + expectation);
}

void expect_truncated(const std::vector<uint8_t>& bytes, uint64_t needed, uint64_t available) {
  auto decoded = decode_flac(bytes);
  ASSERT_FALSE(decoded);
  EXPECT_EQ(decoded.error().display(), "input ended early: " + std::to_string(needed) +
                                           " needed, " + std::to_string(available) + " available");
}

std::vector<float> as_floats(const std::vector<int64_t>& v, unsigned bits) {
  std::vector<float> out;
  for (int64_t s : v) out.push_back(float(double(s) / double(int64_t(1) << (bits - 1))));
  return out;
}

TEST(FlacMetadataRules, BrokenBlocksAreRejectedWhereTheyStand) {
  const auto info = stream_info_block({}, false);
  const auto last_info = stream_info_block({});
  auto with_info = [](StreamInfo s) { return concat({kMagic, stream_info_block(s)}); };
  StreamInfo small_min, small_max, inverted, no_rate, three_bits;
  small_min.min_block = 15;
  small_max.max_block = 15;
  small_max.min_block = 15;
  inverted.min_block = 4096;
  inverted.max_block = 1024;
  no_rate.rate_hz = 0;
  three_bits.bits = 3;
  auto short_info = concat({kMagic, block_header(true, 0, 33), std::vector<uint8_t>(33)});

  expect_malformed(concat({kMagic, info, block_header(true, 127, 0)}), 42,
                   "a metadata block type other than the forbidden 127");
  expect_malformed(concat({kMagic, info, last_info}), 42, "exactly one streaminfo metadata block");
  expect_malformed(concat({kMagic, block_header(false, 1, 0), last_info}), 4,
                   "a streaminfo block first among the metadata blocks");
  expect_malformed(short_info, 5, "a streaminfo block of exactly 34 bytes");
  expect_malformed(with_info(small_min), 8, "a streaminfo block size of at least 16 samples");
  expect_malformed(with_info(small_max), 8, "a streaminfo block size of at least 16 samples");
  expect_malformed(with_info(inverted), 8,
                   "a streaminfo minimum block size no larger than the maximum");
  expect_malformed(with_info(no_rate), 18, "a streaminfo sample rate above zero");
  expect_malformed(with_info(three_bits), 20, "a streaminfo bit depth between 4 and 32");
}

TEST(FlacMetadataRules, MaximumBelowSixteenIsReportedAtItsField) {
  StreamInfo s;
  s.min_block = 16;
  s.max_block = 8;
  expect_malformed(concat({kMagic, stream_info_block(s)}), 10,
                   "a streaminfo block size of at least 16 samples");
}

TEST(FlacMetadataRules, CutMetadataIsTruncated) {
  const auto info = stream_info_block({}, false);
  expect_truncated(concat({kMagic, {0x80, 0}}), 8, 6);
  expect_truncated(concat({kMagic, block_header(true, 0, 34), std::vector<uint8_t>(10)}), 42, 18);
  expect_truncated(concat({kMagic, info}), 46, 42);  // no last block yet
  expect_truncated(concat({kMagic, info, block_header(true, 1, 100)}), 146, 46);
}

TEST(FlacMetadataRules, OtherBlocksAreSkippedUnread) {
  auto samples = ramp(16);
  StreamInfo s;
  s.total_frames = 16;
  s.md5 = md5_of(samples, 16);
  auto bytes = concat({kMagic, stream_info_block(s, false), block_header(false, 1, 5),
                       std::vector<uint8_t>(5, 0xFF), block_header(false, 126, 3), {1, 2, 3},
                       block_header(true, 4, 0), verbatim_frame(samples)});
  auto decoded = decode_flac(bytes);
  ASSERT_TRUE(decoded) << decoded.error().display();
  EXPECT_EQ(decoded->samples, as_floats(samples, 16));
}

// An ID3v2 tag of `body_bytes` after its 10-byte header; `flags` 0x10 adds a footer.
std::vector<uint8_t> id3_tag(uint32_t body_bytes, uint8_t flags = 0) {
  std::vector<uint8_t> tag = {'I', 'D', '3', 4, 0, flags};
  for (int shift = 21; shift >= 0; shift -= 7) tag.push_back(uint8_t(body_bytes >> shift & 0x7F));
  tag.resize(10 + body_bytes + (flags & 0x10 ? 10 : 0), 0x55);
  return tag;
}

TEST(FlacMetadataRules, AnId3TagInFrontIsSkipped) {
  const auto samples = ramp(16);
  const auto flac = stream({verbatim_frame(samples)}, samples);
  for (const auto& tag : {id3_tag(0), id3_tag(300), id3_tag(200, 0x10)}) {
    const auto tagged = concat({tag, flac});
    auto decoded = decode_audio(tagged);
    ASSERT_TRUE(decoded) << decoded.error().display();
    EXPECT_EQ(decoded->samples, as_floats(samples, 16));
    EXPECT_EQ(read_audio_header(tagged)->frames, 16u);
    // Offsets still count from the start of the file.
    auto broken = tagged;
    broken[tag.size() + kMd5Offset] ^= 1;
    EXPECT_EQ(decode_audio(broken).error().display(),
              "malformed input at byte " + std::to_string(tag.size() + kMd5Offset) +
                  ": expected decoded audio matching the streaminfo MD5 checksum");
  }
  // A tag before something else, a tag size that is not 7-bit bytes, a tag longer than
  // the file: nothing here is FLAC.
  const std::string id3 = "unrecognised container, leading bytes were '0x49443304'";
  EXPECT_EQ(decode_audio(concat({id3_tag(20), {'O', 'g', 'g', 'S'}, flac})).error().display(), id3);
  auto wide = concat({id3_tag(128), flac});
  wide[8] = 0x81;
  wide[9] = 0x00;
  EXPECT_EQ(decode_audio(wide).error().display(), id3);
  auto longer = id3_tag(1000);
  longer.resize(400);
  EXPECT_EQ(decode_audio(longer).error().display(), id3);
}

TEST(FlacFrameHeaderRules, EachFieldIsCheckedAtItsOffset) {
  const size_t f = kFirstFrame;
  FrameLayout bits3, reserved, channel11, block0, rate15;
  bits3.bits_code = 3;
  reserved.reserved = true;
  channel11.channel_code = 11;
  block0.block_code = 0;
  rate15.rate_code = 15;
  expect_malformed(single_frame_stream(bits3), f + 3, "a defined bit depth");
  expect_malformed(single_frame_stream(reserved), f + 4, "a cleared reserved bit in the frame header");
  expect_malformed(single_frame_stream(channel11), f + 3, "a defined channel assignment");
  expect_malformed(single_frame_stream(block0), f + 2, "a block size other than the reserved 0b0000");
  expect_malformed(single_frame_stream(rate15), f + 3, "a sample rate other than the forbidden 0b1111");

  // An explicit 16-bit size of 0xFFFF would mean 65536 samples.
  auto bytes = single_frame_stream({});
  bytes[f + 5] = 0xFF;
  bytes[f + 6] = 0xFF;
  bytes[f + 7] = crc8(std::span(bytes).subspan(f, 7));
  expect_malformed(bytes, f + 7, "a block size representable in streaminfo");
}

TEST(FlacFrameHeaderRules, SyncCodeAndItsReservedBit) {
  for (uint8_t second : {0xF0, 0xFA, 0xFB}) {
    auto bytes = single_frame_stream({});
    bytes[kFirstFrame + 1] = second;
    expect_malformed(bytes, kFirstFrame + 1, "a frame sync code");
  }
  auto bytes = single_frame_stream({});
  bytes[kFirstFrame] = 0xFE;
  expect_malformed(bytes, kFirstFrame + 1, "a frame sync code");
}

TEST(FlacFrameHeaderRules, CodedNumbers) {
  auto with_number_bytes = [](std::vector<uint8_t> number) {
    auto bytes = single_frame_stream({});
    bytes.erase(bytes.begin() + kFirstFrame + 4);
    bytes.insert(bytes.begin() + kFirstFrame + 4, number.begin(), number.end());
    return bytes;
  };
  const size_t at = kFirstFrame + 5;
  expect_malformed(with_number_bytes({0x80}), at,
                   "a coded number not starting with a continuation octet");
  expect_malformed(with_number_bytes({0xFF}), at, "a coded number of at most seven octets");
  expect_malformed(with_number_bytes({0xE0, 0x80, 0x40}), at + 2,
                   "a coded number continuation octet");

  // Long numbers, up to seven octets, are read and ignored.
  for (uint64_t number : {127ull, 128ull, 2047ull, 70000ull, (1ull << 36) - 1}) {
    FrameLayout layout;
    layout.number = number;
    auto decoded = decode_flac(single_frame_stream(layout));
    EXPECT_TRUE(decoded) << number << ": " << decoded.error().display();
  }
}

TEST(FlacFrameHeaderRules, Crc8CoversTheHeader) {
  auto bytes = single_frame_stream({});
  bytes[kFirstFrame + 7] ^= 0x01;  // the CRC-8 itself
  expect_malformed(bytes, kFirstFrame + 7, "a frame header whose CRC-8 matches its contents");
  bytes = single_frame_stream({});
  bytes[kFirstFrame + 4] = 0x05;  // the frame number, not its CRC
  expect_malformed(bytes, kFirstFrame + 7, "a frame header whose CRC-8 matches its contents");
}

TEST(FlacFrameHeaderRules, CodesResolveToValues) {
  // Every rate code resolves; the explicit ones must equal STREAMINFO's rate.
  const std::pair<unsigned, uint32_t> rates[] = {
      {1, 88200},  {2, 176400}, {3, 192000}, {4, 8000},   {5, 16000},  {6, 22050},
      {7, 24000},  {8, 32000},  {9, 44100},  {10, 48000}, {11, 96000}};
  for (auto [code, hz] : rates) {
    FrameLayout layout;
    layout.rate_code = code;
    StreamInfo info;
    info.rate_hz = hz;
    EXPECT_TRUE(decode_flac(single_frame_stream(layout, info))) << code;
    info.rate_hz = hz + 1;
    expect_malformed(single_frame_stream(layout, info), kFirstFrame, "a sample rate matching streaminfo");
  }
  const std::tuple<unsigned, uint32_t, uint32_t> explicit_rates[] = {
      {12, 37, 37000}, {13, 37800, 37800}, {14, 11025, 110250}};
  for (auto [code, stored, hz] : explicit_rates) {
    FrameLayout layout;
    layout.rate_code = code;
    layout.explicit_rate = stored;
    StreamInfo info;
    info.rate_hz = hz;
    EXPECT_TRUE(decode_flac(single_frame_stream(layout, info))) << code;
  }
  // Block-size codes with a fixed size, against a STREAMINFO maximum just below.
  const std::pair<unsigned, uint32_t> sizes[] = {
      {1, 192}, {2, 576}, {5, 4608}, {8, 256}, {15, 32768}};
  for (auto [code, frames] : sizes) {
    FrameLayout layout;
    layout.block_code = code;
    StreamInfo info;
    info.max_block = frames - 1;
    auto bytes = concat({kMagic, stream_info_block(info), verbatim_frame(ramp(frames), layout)});
    expect_malformed(bytes, kFirstFrame, "a block size no larger than the streaminfo maximum");
    info.max_block = frames;
    bytes = concat({kMagic, stream_info_block(info), verbatim_frame(ramp(frames), layout)});
    EXPECT_TRUE(decode_flac(bytes)) << code;
  }
  FrameLayout eight_bit_size;
  eight_bit_size.block_code = 6;
  EXPECT_TRUE(decode_flac(single_frame_stream(eight_bit_size)));
}

TEST(FlacFrameHeaderRules, ConsistencyWithStreamInfoIsCheckedAtTheFrameStart) {
  FrameLayout stereo, eight_bits, wrong_rate;
  stereo.channel_code = 1;
  eight_bits.bits_code = 1;
  wrong_rate.rate_code = 10;
  expect_malformed(single_frame_stream(stereo), kFirstFrame, "a channel count matching streaminfo");
  expect_malformed(single_frame_stream(eight_bits), kFirstFrame, "a bit depth matching streaminfo");
  expect_malformed(single_frame_stream(wrong_rate), kFirstFrame, "a sample rate matching streaminfo");
  FrameLayout sixteen_bits;
  sixteen_bits.bits_code = 4;
  EXPECT_TRUE(decode_flac(single_frame_stream(sixteen_bits)));
  // A zero explicit rate is explicit all the same.
  FrameLayout zero_rate;
  zero_rate.rate_code = 13;
  expect_malformed(single_frame_stream(zero_rate), kFirstFrame, "a sample rate matching streaminfo");
}

TEST(FlacFrameRules, BlockingStrategyMustNotChange) {
  auto first = ramp(16), second = ramp(16, 5);
  FrameLayout variable;
  variable.variable = true;
  auto bytes = concat({kMagic, stream_info_block({}), verbatim_frame(first, variable),
                       verbatim_frame(second)});
  expect_malformed(bytes, kFirstFrame + verbatim_frame(first).size(),
                   "an unchanging blocking strategy");
  bytes = concat({kMagic, stream_info_block({}), verbatim_frame(first, variable),
                  verbatim_frame(second, variable)});
  EXPECT_TRUE(decode_flac(bytes));
}

TEST(FlacFrameRules, OnlyTheLastFrameMayBeShort) {
  auto full = ramp(16), short_block = ramp(10, 100);
  std::vector<int64_t> all = full;
  all.insert(all.end(), short_block.begin(), short_block.end());
  auto accepted = stream({verbatim_frame(full), verbatim_frame(short_block)}, all);
  auto decoded = decode_flac(accepted);
  ASSERT_TRUE(decoded) << decoded.error().display();
  EXPECT_EQ(decoded->samples, as_floats(all, 16));

  all.insert(all.end(), full.begin(), full.end());
  auto rejected =
      stream({verbatim_frame(full), verbatim_frame(short_block), verbatim_frame(full)}, all);
  expect_malformed(rejected, kFirstFrame + verbatim_frame(full).size() +
                                 verbatim_frame(short_block).size(),
                   "no frame after one shorter than the minimum block size");
}

TEST(FlacFrameRules, Crc16CoversTheWholeFrame) {
  auto bytes = single_frame_stream({});
  const size_t crc_at = bytes.size() - 2;
  bytes[kFirstFrame + 20] ^= 0x10;  // a sample bit
  expect_malformed(bytes, crc_at, "a frame whose CRC-16 matches its contents");
  bytes = single_frame_stream({});
  bytes.back() ^= 0x01;
  expect_malformed(bytes, crc_at, "a frame whose CRC-16 matches its contents");
}

TEST(FlacStreamRules, DeclaredTotals) {
  auto a = ramp(16), b = ramp(16, 50);
  std::vector<int64_t> both = a;
  both.insert(both.end(), b.begin(), b.end());
  const auto fa = verbatim_frame(a), fb = verbatim_frame(b);

  // Total 0: every frame is decoded.
  StreamInfo undeclared;
  auto bytes = concat({kMagic, stream_info_block(undeclared), fa, fb});
  auto decoded = decode_flac(bytes);
  ASSERT_TRUE(decoded) << decoded.error().display();
  EXPECT_EQ(decoded->samples.size(), 32u);
  // ... and trailing bytes that are not a frame fail as one.
  std::vector<uint8_t> tag(128, 0);
  tag[0] = 'T', tag[1] = 'A', tag[2] = 'G';
  expect_malformed(concat({bytes, tag}), bytes.size() + 1, "a frame sync code");

  // A declared total lets an ID3v1 tag follow, but not another frame.
  auto exact = stream({fa, fb}, both);
  EXPECT_TRUE(decode_flac(concat({exact, tag})));
  expect_malformed(concat({exact, fa}), exact.size(),
                   "a stream holding exactly the declared total number of samples");

  StreamInfo fewer;
  fewer.total_frames = 20;
  expect_malformed(concat({kMagic, stream_info_block(fewer), fa, fb}), kFirstFrame + fa.size(),
                   "a stream holding exactly the declared total number of samples");
  StreamInfo more;
  more.total_frames = 40;
  expect_truncated(concat({kMagic, stream_info_block(more), fa, fb}), 40, 32);
  // The largest total a header can declare reserves nothing unreasonable.
  more.total_frames = (uint64_t(1) << 36) - 1;
  expect_truncated(concat({kMagic, stream_info_block(more), fa, fb}), more.total_frames, 32);
}

TEST(FlacStreamRules, Md5Signature) {
  auto samples = ramp(16);
  auto bytes = stream({verbatim_frame(samples)}, samples);
  EXPECT_TRUE(decode_flac(bytes));
  bytes[kMd5Offset + 3] ^= 0x40;
  expect_malformed(bytes, kMd5Offset, "decoded audio matching the streaminfo MD5 checksum");
  std::fill(bytes.begin() + kMd5Offset, bytes.begin() + kMd5Offset + 16, 0);
  EXPECT_TRUE(decode_flac(bytes));  // all zeros: no signature to check
}

// A stream long enough to be hashed on a thread of its own is checked just the same, and
// a decode failing halfway stops the hashing cleanly.
TEST(FlacStreamRules, Md5SignatureOfALongStream) {
  std::vector<int64_t> all;
  std::vector<std::vector<uint8_t>> frames;
  for (uint64_t n = 0; n < 160; ++n) {
    std::vector<int64_t> block(4096);
    for (size_t i = 0; i < block.size(); ++i) {
      block[i] = int64_t((n * block.size() + i) * 7919 % 65536) - 32768;
    }
    FrameLayout layout;
    layout.number = n;
    frames.push_back(verbatim_frame(block, layout));
    all.insert(all.end(), block.begin(), block.end());
  }
  auto bytes = stream(frames, all);
  auto decoded = decode_flac(bytes);
  ASSERT_TRUE(decoded);
  ASSERT_EQ(decoded->samples.size(), all.size());
  EXPECT_EQ(decoded->samples.back(), float(all.back()) / 32768.0f);
  bytes[kMd5Offset + 15] ^= 1;
  expect_malformed(bytes, kMd5Offset, "decoded audio matching the streaminfo MD5 checksum");
  bytes.resize(bytes.size() / 2);
  EXPECT_FALSE(decode_flac(bytes));
}

TEST(FlacSubframeRules, HeaderAndPredictorFields) {
  const size_t body = kFirstFrame + 8;  // the first subframe of a default frame
  auto with_body = [](const std::function<void(BitWriter&)>& write, uint32_t frames = 16) {
    FrameLayout layout;
    layout.block_size = frames;
    return concat({kMagic, stream_info_block({}), frame(layout, write)});
  };
  expect_malformed(with_body([](BitWriter& w) { w.put(0x82, 8); }), body + 1,
                   "a cleared leading bit in the subframe header");
  expect_malformed(with_body([](BitWriter& w) { w.put(0x04, 8); }), body + 1,
                   "a defined subframe type");
  expect_malformed(with_body([](BitWriter& w) { w.put(0x20, 8); }), body + 1,
                   "a defined subframe type");
  expect_malformed(with_body([](BitWriter& w) { w.put(0x18, 8); }, 3), body + 1,
                   "a predictor order no larger than the block size");
  // 16 wasted bits leave nothing of a 16-bit subframe; the unary ends with byte body + 2.
  expect_malformed(with_body([](BitWriter& w) {
                     w.put(0x01, 8);
                     w.put_unary(15);
                   }),
                   body + 3, "fewer wasted bits than the subframe's bit depth");

  auto lpc_header = [](BitWriter& w) {
    w.put(0x40, 8);  // LPC order 1
    w.put_signed(5, 16);
  };
  expect_malformed(with_body([&](BitWriter& w) {
                     lpc_header(w);
                     w.put(15, 4);
                   }),
                   body + 3, "a coefficient precision other than the forbidden 0b1111");
  expect_malformed(with_body([&](BitWriter& w) {
                     lpc_header(w);
                     w.put(3, 4);
                     w.put_signed(-1, 5);
                   }),
                   body + 4, "a non-negative predictor right shift");
}

TEST(FlacSubframeRules, ResidualFields) {
  const size_t body = kFirstFrame + 8;
  auto fixed1 = [](uint32_t frames, const std::function<void(BitWriter&)>& residual) {
    FrameLayout layout;
    layout.block_size = frames;
    return concat({kMagic, stream_info_block({}), frame(layout, [&](BitWriter& w) {
                     w.put(0x12, 8);  // FIXED order 1
                     w.put_signed(0, 16);
                     residual(w);
                   })});
  };
  expect_malformed(fixed1(16, [](BitWriter& w) { w.put(2, 2); }), body + 3,
                   "a defined residual coding method");
  expect_malformed(fixed1(18, [](BitWriter& w) { w.put(0, 2), w.put(2, 4); }), body + 3,
                   "a block size divisible by the partition count");
  expect_malformed(fixed1(16, [](BitWriter& w) { w.put(0, 2), w.put(4, 4); }), body + 3,
                   "a partition longer than the predictor order");
  // Method 1, parameter 30: quotient 3 and an all-ones remainder fold to 0xFFFFFFFF.
  expect_malformed(fixed1(16, [](BitWriter& w) {
                     w.put(1, 2), w.put(0, 4), w.put(30, 5);
                     w.put_unary(3);
                     w.put((1u << 30) - 1, 30);
                   }),
                   body + 8, "a residual within the format's 32-bit range");
}

TEST(FlacSubframeRules, PredictionMustStayWithinTheBitDepth) {
  // FIXED order 1 from 32767 with residual +1 would give 32768 in a 16-bit stream.
  FrameLayout layout;
  auto bytes = concat({kMagic, stream_info_block({}), frame(layout, [](BitWriter& w) {
                         std::vector<int64_t> residuals(15, 0);
                         residuals[0] = 1;
                         fixed_subframe(w, 1, std::vector<int64_t>{32767}, residuals, 16, 2);
                       })});
  auto decoded = decode_flac(bytes);
  ASSERT_FALSE(decoded);
  EXPECT_EQ(decoded.error().expectation, "predicted samples within the subframe's bit depth");
}

TEST(FlacSubframes, EscapedPartitionsAndWastedBits) {
  // FIXED order 0 with two partitions: an escape of width 0 (zeros) and one of width 5.
  std::vector<int64_t> expected(16, 0);
  for (int i = 8; i < 16; ++i) expected[i] = i - 12;
  auto escaped = frame({}, [&](BitWriter& w) {
    w.put(0x10, 8);
    w.put(0, 2), w.put(1, 4);
    w.put(15, 4), w.put(0, 5);
    w.put(15, 4), w.put(5, 5);
    for (int i = 8; i < 16; ++i) w.put_signed(expected[i], 5);
  });
  auto decoded = decode_flac(concat({kMagic, stream_info_block({}), escaped}));
  ASSERT_TRUE(decoded) << decoded.error().display();
  EXPECT_EQ(decoded->samples, as_floats(expected, 16));

  // A CONSTANT subframe with 3 wasted bits: the value is stored in 13 bits and scaled.
  auto wasted = frame({}, [](BitWriter& w) {
    w.put(0x01, 8);
    w.put_unary(2);
    w.put_signed(-1000, 13);
  });
  decoded = decode_flac(concat({kMagic, stream_info_block({}), wasted}));
  ASSERT_TRUE(decoded) << decoded.error().display();
  EXPECT_EQ(decoded->samples, as_floats(std::vector<int64_t>(16, -8000), 16));
}

TEST(FlacSubframes, StereoDecorrelationReconstructsOddSides) {
  std::vector<int64_t> left = {32767, -32768, 5, -5, 0, 1, -1, 12345, -32768, 32767,
                               3,     4,      -7, 8, 9, -10};
  std::vector<int64_t> right = {-32768, 32767, 4, -6, 1, 0, 0, -12344, 32767, -32768,
                                -3,     4,     7,  -8, 10, -9};
  std::vector<int64_t> interleaved;
  for (size_t i = 0; i < left.size(); ++i) interleaved.push_back(left[i]), interleaved.push_back(right[i]);
  StreamInfo info;
  info.channels = 2;
  for (unsigned code : {8u, 9u, 10u}) {
    std::vector<int64_t> first, second;
    for (size_t i = 0; i < left.size(); ++i) {
      int64_t side = left[i] - right[i];
      if (code == 8) first.push_back(left[i]), second.push_back(side);
      if (code == 9) first.push_back(side), second.push_back(right[i]);
      if (code == 10) first.push_back((left[i] + right[i]) >> 1), second.push_back(side);
    }
    FrameLayout layout;
    layout.channel_code = code;
    auto bytes = stream({frame(layout, [&](BitWriter& w) {
                          verbatim_subframe(w, first, code == 9 ? 17 : 16);
                          verbatim_subframe(w, second, code == 9 ? 16 : 17);
                        })},
                        interleaved, info);
    auto decoded = decode_flac(bytes);
    ASSERT_TRUE(decoded) << code << ": " << decoded.error().display();
    EXPECT_EQ(decoded->samples, as_floats(interleaved, 16)) << code;
    EXPECT_EQ(decoded->channels, 2);
  }
}

TEST(FlacSubframes, FullScale24BitSamples) {
  StreamInfo info;
  info.bits = 24;
  info.rate_hz = 96000;
  std::vector<int64_t> samples(16, 0x7FFFFF);
  samples[1] = -0x800000;
  auto bytes = stream({frame({}, [&](BitWriter& w) { verbatim_subframe(w, samples, 24); })},
                      samples, info);
  auto decoded = decode_flac(bytes);
  ASSERT_TRUE(decoded) << decoded.error().display();
  EXPECT_EQ(decoded->samples[0], 8388607.0f / 8388608.0f);
  EXPECT_EQ(decoded->samples[1], -1.0f);
  EXPECT_EQ(decoded->sample_rate_hz, 96000u);
}

// Every proper prefix of a stream with a declared total runs out somewhere.
TEST(FlacTruncation, EveryPrefixIsTruncated) {
  auto a = ramp(16), b = ramp(16, 9, -2);
  std::vector<int64_t> both = a;
  both.insert(both.end(), b.begin(), b.end());
  FrameLayout second;
  second.number = 1;
  auto fixed = frame(second, [&](BitWriter& w) {
    std::vector<int64_t> residuals;
    for (size_t i = 2; i < b.size(); ++i) residuals.push_back(b[i] - (2 * b[i - 1] - b[i - 2]));
    fixed_subframe(w, 2, std::span(b).first(2), residuals, 16, 1);
  });
  auto bytes = stream({verbatim_frame(a), fixed}, both);
  ASSERT_TRUE(decode_flac(bytes));
  for (size_t length = 0; length < bytes.size(); ++length) {
    auto decoded = decode_flac(std::span(bytes).first(length));
    ASSERT_FALSE(decoded) << length;
    EXPECT_EQ(decoded.error().kind, DecodeError::Kind::Truncated) << length << ": "
                                                                  << decoded.error().display();
  }
}

TEST(FlacTruncation, CutInsideAFrameCountsFromTheFrameStart) {
  auto bytes = single_frame_stream({});
  const size_t frame_bytes = bytes.size() - kFirstFrame;
  expect_truncated(std::vector<uint8_t>(bytes.begin(), bytes.begin() + kFirstFrame + 5), 6, 5);
  // The first sample of the verbatim subframe needs bytes 9..10 of the frame.
  expect_truncated(std::vector<uint8_t>(bytes.begin(), bytes.begin() + kFirstFrame + 9), 11, 9);
  expect_truncated(std::vector<uint8_t>(bytes.begin(), bytes.end() - 1), frame_bytes,
                   frame_bytes - 1);
}

}  // namespace
}  // namespace murello
