// CRC-32: check values, and every loop (portable, slicing-by-16, PCLMUL
// folding) against a bit-at-a-time reference for all start alignments and
// many lengths, chained in pieces, and natively against zlib's crc32.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "codec/crc32.h"
#include "codec/crc32_paths.h"

#ifdef UPKIT_TEST_WITH_ZLIB
#include <zlib.h>
#endif

namespace {

using upkit::Crc32Block;
using upkit::Crc32Text;
using upkit::Crc32Update;
namespace crc32 = upkit::crc32;

// Independent of the code under test: one bit per step, no table.
uint32_t BitwiseCrc(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFF;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int b = 0; b < 8; ++b) c = (c >> 1) ^ (0xEDB88320 & (0u - (c & 1)));
  }
  return ~c;
}

const crc32::Path kPaths[] = {crc32::Path::kPortable, crc32::Path::kSlice16, crc32::Path::kPclmul};

const char* PathName(crc32::Path p) {
  switch (p) {
    case crc32::Path::kPortable: return "portable";
    case crc32::Path::kSlice16: return "slice16";
    case crc32::Path::kPclmul: return "pclmul";
    default: return "auto";
  }
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

TEST(Crc32, CheckValues) {
  EXPECT_EQ(Crc32Text("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc32Block("123456789", 9), 0xCBF43926u);
  // Top bit set: an ordinary value, equal to its little-endian stored form.
  uint32_t a = Crc32Text("a");
  EXPECT_EQ(a, 0xE8B7BE43u);
  const uint8_t stored[4] = {0x43, 0xBE, 0xB7, 0xE8};
  EXPECT_EQ(a, uint32_t{stored[0]} | uint32_t{stored[1]} << 8 | uint32_t{stored[2]} << 16 |
                   uint32_t{stored[3]} << 24);
  EXPECT_EQ(Crc32Text(""), 0u);
  EXPECT_EQ(Crc32Block("x", 0), 0u);
  EXPECT_EQ(Crc32Block(nullptr, 0), 0u);
  EXPECT_EQ(Crc32Block(nullptr, 1000), 0u);
  EXPECT_EQ(Crc32Update(0x12345678, nullptr, 1000), 0x12345678u);
  for (auto path : kPaths) {
    EXPECT_EQ(crc32::UpdateWithPath(0, nullptr, 64, path), 0u) << PathName(path);
    EXPECT_EQ(crc32::UpdateWithPath(0, reinterpret_cast<const uint8_t*>("123456789"), 9, path),
              0xCBF43926u)
        << PathName(path);
  }
}

TEST(Crc32, TextUsesRawBytesAboveAscii) {
  // Code page 1251 "Привет": bytes above 127 must not be sign-extended.
  const std::string text = "\xCF\xF0\xE8\xE2\xE5\xF2";
  EXPECT_EQ(Crc32Text(text), BitwiseCrc(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  const uint8_t all_high[] = {0x80, 0xFF, 0xC0, 0xFE};
  EXPECT_EQ(Crc32Text(std::string(reinterpret_cast<const char*>(all_high), 4)),
            BitwiseCrc(all_high, 4));
}

// Every start offset 0..15 (covers the 4-byte alignment prologue and the
// 16-byte vector loads) and every length 0..300, on every loop.
TEST(Crc32, AlignmentAndLengthSweepAllPaths) {
  auto buf = RandomBytes(300 + 16 + 64, 1234);
  // Start from a 64-aligned address so offsets mean what they say.
  uint8_t* base = buf.data() + (64 - reinterpret_cast<uintptr_t>(buf.data()) % 64) % 64;
  for (size_t offset = 0; offset < 16; ++offset) {
    for (uint32_t len = 0; len <= 300; ++len) {
      const uint8_t* p = base + offset;
      uint32_t expected = BitwiseCrc(p, len);
      for (auto path : kPaths)
        ASSERT_EQ(crc32::UpdateWithPath(0, p, len, path), expected)
            << PathName(path) << " offset " << offset << " length " << len;
      ASSERT_EQ(Crc32Block(p, len), expected);
#ifdef UPKIT_TEST_WITH_ZLIB
      ASSERT_EQ(expected, static_cast<uint32_t>(::crc32(0, p, len)));
#endif
    }
  }
}

// Large blocks with odd lengths, including the lengths where the folding
// loop switches between its wide and narrow stages.
TEST(Crc32, LargeBlocksAllPathsAgree) {
  auto buf = RandomBytes((1 << 20) + 64, 99);
  const uint32_t lengths[] = {511, 512, 513, 1023, 4096 + 7, 65536 + 3, (1 << 20) + 61};
  for (uint32_t len : lengths) {
    for (size_t offset : {0, 1, 3}) {
      const uint8_t* p = buf.data() + offset;
      uint32_t expected = BitwiseCrc(p, len);
#ifdef UPKIT_TEST_WITH_ZLIB
      ASSERT_EQ(expected, static_cast<uint32_t>(::crc32(0, p, len)));
#endif
      for (auto path : kPaths)
        ASSERT_EQ(crc32::UpdateWithPath(0, p, len, path), expected)
            << PathName(path) << " offset " << offset << " length " << len;
    }
  }
}

// Chaining: a CRC continued over random pieces equals the whole, on every
// loop, also when the pieces switch loops.
TEST(Crc32, UpdateChainsOverPieces) {
  auto buf = RandomBytes(200000, 7);
  uint32_t whole = BitwiseCrc(buf.data(), buf.size());
  std::mt19937 rng(42);
  for (int trial = 0; trial < 20; ++trial) {
    uint32_t crc = 0;
    size_t pos = 0;
    int turn = 0;
    while (pos < buf.size()) {
      size_t piece = std::min<size_t>(buf.size() - pos, rng() % (trial < 10 ? 40 : 9000));
      crc = crc32::UpdateWithPath(crc, buf.data() + pos, static_cast<uint32_t>(piece),
                                  kPaths[turn++ % 3]);
      pos += piece;
    }
    ASSERT_EQ(crc, whole) << "trial " << trial;
  }
  EXPECT_EQ(Crc32Update(Crc32Block(buf.data(), 1000), buf.data() + 1000, 199000), whole);
}

TEST(Crc32, AutoPathIsOneOfTheLoops) {
  auto path = crc32::AutoPath();
  EXPECT_NE(path, crc32::Path::kAuto);
  if (path == crc32::Path::kPclmul) {
    EXPECT_TRUE(crc32::HasPclmul());
  }
  std::printf("CRC-32 default loop: %s (PCLMUL %savailable)\n", PathName(path),
              crc32::HasPclmul() ? "" : "not ");
}

}  // namespace
