#include "audiofile/md5.hpp"

#include "audiofile/stream_md5.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace murello {
namespace {

std::string hex(const std::array<uint8_t, 16>& digest) {
  static const char* kDigits = "0123456789abcdef";
  std::string out;
  for (uint8_t b : digest) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::span<const uint8_t> bytes_of(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// The test suite published with the MD5 standard.
TEST(Md5, ReferenceSuite) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [text, expected] : cases) {
    Md5 md5;
    md5.update(bytes_of(text));
    EXPECT_EQ(hex(md5.finish()), expected) << '"' << text << '"';
  }
}

// Padding boundaries (55, 56, 63, 64 bytes) and any split of the input must agree with
// one whole update.
TEST(Md5, SplitFeedsMatchWholeFeed) {
  std::vector<uint8_t> data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 131 + 7);
  for (size_t length : {55u, 56u, 63u, 64u, 65u, 127u, 128u, 300u}) {
    Md5 whole;
    whole.update(std::span(data.data(), length));
    auto expected = whole.finish();
    for (size_t piece : {1u, 3u, 63u, 64u, 100u}) {
      Md5 split;
      for (size_t at = 0; at < length; at += piece)
        split.update(std::span(data.data() + at, std::min(piece, length - at)));
      EXPECT_EQ(split.finish(), expected) << length << " bytes in pieces of " << piece;
    }
  }
}

// Hashed inline or on a thread of its own, a stream has the digest of one whole update,
// whatever the pieces handed over (smaller and larger than the buffers, ending on their
// boundaries or not); a hasher dropped before finishing stops cleanly.
TEST(StreamMd5, MatchesTheInlineDigest) {
  constexpr size_t kPiece = StreamMd5::kPieceBytes;
  std::vector<uint8_t> data(20 * kPiece + 77);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 2654435761u >> 13);
  for (size_t length : {size_t{0}, size_t{1000}, 5 * kPiece + 1, 16 * kPiece, data.size()}) {
    Md5 whole;
    whole.update(std::span(data.data(), length));
    const auto expected = whole.finish();
    for (size_t piece : {size_t{4096}, kPiece - 1, 3 * kPiece + 5}) {
      StreamMd5 split(length);
      for (size_t at = 0; at < length; at += piece) {
        split.update(std::span(data.data() + at, std::min(piece, length - at)));
      }
      EXPECT_EQ(split.finish(), expected) << length << " bytes in pieces of " << piece;
    }
  }
  StreamMd5 dropped(data.size());
  dropped.update(std::span(data));
}

TEST(Md5, ResetStartsANewMessage) {
  Md5 md5;
  md5.update(bytes_of("stale"));
  md5.reset();
  md5.update(bytes_of("abc"));
  EXPECT_EQ(hex(md5.finish()), "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
}  // namespace murello
