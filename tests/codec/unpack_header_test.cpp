// The "AP32" packed header around the stream: UnpackedSizeFromHeader,
// UnpackChecked's checks in their order, and DecompressBuffer's answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/error.h"
#include "codec/unpack.h"
#include "tests/codec/stream_builder.h"

namespace upkit {
namespace {

using test::Packed;
using test::Put32;
using test::StreamBuilder;

const std::vector<uint8_t> kText = {'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b'};

std::vector<uint8_t> TextStream() {
  StreamBuilder s;
  s.Byte('a').Literal('b').Literal('c').Match(3, 3, 3).End();  // "abcabcab"
  return s.bytes();
}

int32_t Checked(const std::vector<uint8_t>& packed, std::vector<uint8_t>& dest) {
  return UnpackChecked(packed.data(), uint32_t(packed.size()), dest.data(), uint32_t(dest.size()));
}

TEST(UnpackedSizeFromHeader, ValidAndInvalidHeaders) {
  std::vector<uint8_t> p = Packed(TextStream(), kText);
  EXPECT_EQ(UnpackedSizeFromHeader(p.data(), int32_t(p.size())), 8);
  EXPECT_EQ(UnpackedSizeFromHeader(p.data(), 24), 8);  // the header alone is enough
  EXPECT_EQ(UnpackedSizeFromHeader(p.data(), 23), -1);
  EXPECT_EQ(UnpackedSizeFromHeader(p.data(), -5), -1);
  EXPECT_EQ(UnpackedSizeFromHeader(nullptr, 100), -1);

  std::vector<uint8_t> tag = p;
  tag[3] = '3';  // "AP33"
  EXPECT_EQ(UnpackedSizeFromHeader(tag.data(), int32_t(tag.size())), -1);
  std::vector<uint8_t> small = p;
  Put32(small, 4, 23);
  EXPECT_EQ(UnpackedSizeFromHeader(small.data(), int32_t(small.size())), -1);
}

TEST(UnpackChecked, AcceptsValidValuesWithExtraHeaderOrTrailingBytes) {
  std::vector<uint8_t> dest(8);
  EXPECT_EQ(Checked(Packed(TextStream(), kText), dest), 8);
  EXPECT_EQ(dest, kText);

  std::vector<uint8_t> extra = Packed(TextStream(), kText, 4);  // header size 28
  std::fill(dest.begin(), dest.end(), 0);
  EXPECT_EQ(Checked(extra, dest), 8);
  EXPECT_EQ(dest, kText);

  std::vector<uint8_t> trailing = Packed(TextStream(), kText);
  trailing.insert(trailing.end(), {1, 2, 3, 4, 5});
  std::vector<uint8_t> big(100);
  EXPECT_EQ(Checked(trailing, big), 8);
}

TEST(UnpackChecked, HeaderChecksFailBeforeWriting) {
  const std::vector<uint8_t> good = Packed(TextStream(), kText);
  struct Case {
    const char* what;
    size_t at;
    uint32_t value;
  };
  const Case cases[] = {
      {"tag", 0, 0x32335042},
      {"header size below 24", 4, 20},
      {"header size beyond input", 4, uint32_t(good.size() + 1)},
      {"packed size beyond input", 8, uint32_t(good.size() - 24 + 1)},
      {"packed size huge", 8, 0xFFFFFFF0u},
      {"packed CRC", 12, 0},
      {"unpacked size beyond capacity", 16, 9},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> p = good;
    Put32(p, c.at, c.value);
    std::vector<uint8_t> dest(8, 0xAA);
    EXPECT_EQ(Checked(p, dest), -1) << c.what;
    EXPECT_EQ(dest, std::vector<uint8_t>(8, 0xAA)) << c.what;
  }
  std::vector<uint8_t> dest(8, 0xAA);
  EXPECT_EQ(UnpackChecked(good.data(), 23, dest.data(), 8), -1);
  EXPECT_EQ(UnpackChecked(nullptr, 40, dest.data(), 8), -1);
  EXPECT_EQ(UnpackChecked(good.data(), uint32_t(good.size()), nullptr, 8), -1);
  // A damaged stream byte is caught by the packed CRC before anything is written.
  std::vector<uint8_t> flipped = good;
  flipped[24 + 2] ^= 0x01;
  EXPECT_EQ(Checked(flipped, dest), -1);
  EXPECT_EQ(dest, std::vector<uint8_t>(8, 0xAA));
}

TEST(UnpackChecked, StreamAndResultMustMatchTheHeader) {
  // Wrong unpacked CRC: the bytes are unpacked, then the check fails.
  std::vector<uint8_t> crc = Packed(TextStream(), kText);
  Put32(crc, 20, 0x12345678);
  std::vector<uint8_t> dest(8, 0);
  EXPECT_EQ(Checked(crc, dest), -1);
  EXPECT_EQ(dest, kText);

  // Header size smaller than what the stream makes, with room to spare.
  std::vector<uint8_t> shorter = Packed(TextStream(), std::vector<uint8_t>(kText.begin(), kText.end() - 1));
  std::vector<uint8_t> room(64);
  EXPECT_EQ(Checked(shorter, room), -1);
  // ... and with the capacity equal to it, the overflowing token fails.
  std::vector<uint8_t> tight(7);
  EXPECT_EQ(Checked(shorter, tight), -1);

  std::vector<uint8_t> longer_text = kText;
  longer_text.push_back('c');
  EXPECT_EQ(Checked(Packed(TextStream(), longer_text), room), -1);

  // A valid header over a broken stream.
  StreamBuilder bad;
  bad.Byte('a').Short(5, 2).End();
  EXPECT_EQ(Checked(Packed(bad.bytes(), kText), room), -1);
}

TEST(DecompressBuffer, ResultsForValidEmptyAndBrokenValues) {
  std::vector<uint8_t> good = Packed(TextStream(), kText);
  int32_t size = int32_t(good.size());
  auto buf = DecompressBuffer(good.data(), size);
  ASSERT_NE(buf, nullptr);
  ASSERT_EQ(size, 8);
  EXPECT_EQ(std::vector<uint8_t>(buf.get(), buf.get() + 8), kText);

  std::vector<uint8_t> empty = Packed({}, {});
  size = int32_t(empty.size());
  EXPECT_EQ(DecompressBuffer(empty.data(), size), nullptr);
  EXPECT_EQ(size, 0);

  std::vector<uint8_t> foreign = good;
  foreign[0] = 'X';
  size = int32_t(foreign.size());
  EXPECT_EQ(DecompressBuffer(foreign.data(), size), nullptr);
  EXPECT_EQ(size, -1);

  size = 10;  // too short for a header
  EXPECT_EQ(DecompressBuffer(good.data(), size), nullptr);
  EXPECT_EQ(size, -1);

  // Valid header, stream that fails its checks: reported like an invalid header.
  std::vector<uint8_t> corrupt = good;
  Put32(corrupt, 20, 0);  // unpacked CRC
  size = int32_t(corrupt.size());
  EXPECT_EQ(DecompressBuffer(corrupt.data(), size), nullptr);
  EXPECT_EQ(size, -1);

  // An unpacked size field of 0x80000000 or more is negative: no buffer, no
  // allocation attempt.
  std::vector<uint8_t> huge = good;
  Put32(huge, 16, 0x80000000u);
  size = int32_t(huge.size());
  EXPECT_EQ(DecompressBuffer(huge.data(), size), nullptr);
  EXPECT_LT(size, 0);
}

TEST(DecompressBuffer, ImpossibleAllocationRaisesOutOfMemory) {
  // 2 GiB - 1 cannot be allocated in a 32-bit process; natively the
  // allocation may succeed, after which the short stream fails.
  std::vector<uint8_t> p = Packed(TextStream(), kText);
  Put32(p, 16, 0x7FFFFFFFu);
  int32_t size = int32_t(p.size());
  if (sizeof(void*) == 4) {
    try {
      DecompressBuffer(p.data(), size);
      FAIL() << "expected Out of memory";
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), "Out of memory");
    }
  } else {
    GTEST_SKIP() << "allocation of 2 GiB can succeed on 64-bit hosts";
  }
}

}  // namespace
}  // namespace upkit
