// The compressor against the decoder: every input must come back unchanged,
// within an exact-size destination, at every level.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "codec/compress.h"
#include "codec/unpack.h"

namespace upkit {
namespace {

using Bytes = std::vector<uint8_t>;

void ExpectRoundTrip(const Bytes& data, int level, const std::string& what) {
  SCOPED_TRACE(what + " level " + std::to_string(level));
  Bytes stream = pack::CompressStream(data.data(), data.size(), level);
  if (data.empty()) {
    EXPECT_TRUE(stream.empty());
  } else {
    Bytes out(data.size() + 8, 0xA5);
    int32_t n = UnpackStream(stream.data(), uint32_t(stream.size()), out.data(), uint32_t(data.size()));
    ASSERT_EQ(n, int32_t(data.size()));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
    for (size_t i = data.size(); i < out.size(); ++i) ASSERT_EQ(out[i], 0xA5);
  }
  Bytes packed = pack::CompressPacked(data.data(), data.size(), level);
  int32_t size = int32_t(packed.size());
  auto buf = DecompressBuffer(packed.data(), size);
  ASSERT_EQ(size, int32_t(data.size()));
  if (!data.empty()) {
    ASSERT_NE(buf, nullptr);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buf.get()));
  }
}

Bytes Random(size_t n, uint32_t seed, int alphabet = 256) {
  std::mt19937 rng(seed);
  Bytes v(n);
  for (auto& b : v) b = uint8_t(rng() % alphabet);
  return v;
}

// Words from a small vocabulary: text-like, with many repeats at varied offsets.
Bytes Text(size_t n, uint32_t seed) {
  static const char* words[] = {"the ", "update ", "file ", "package ", "of ", "and ",
                                "installer ", "window ", "\r\n", "data ", "0x", "CRC "};
  std::mt19937 rng(seed);
  Bytes v;
  while (v.size() < n) {
    const char* w = words[rng() % 12];
    v.insert(v.end(), w, w + std::char_traits<char>::length(w));
  }
  v.resize(n);
  return v;
}

// Structured binary-like data: records with small fields, zero padding,
// near repeats at fixed strides and some noise.
Bytes Records(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes v;
  uint32_t counter = 0;
  while (v.size() < n) {
    uint32_t kind = rng() % 4;
    if (kind == 0) v.insert(v.end(), rng() % 300, 0);
    for (int i = 0; i < 4; ++i) v.push_back(uint8_t(counter >> (8 * i)));
    counter += rng() % 3 + 1;
    v.push_back(uint8_t(0x8B));
    v.push_back(uint8_t(0x45 + rng() % 2));
    v.push_back(uint8_t(rng()));
    if (kind == 3) {
      size_t back = (rng() % 40000) + 1;
      if (back < v.size()) {
        size_t len = rng() % 200;
        for (size_t i = 0; i < len; ++i) v.push_back(v[v.size() - back]);
      }
    }
  }
  v.resize(n);
  return v;
}

TEST(CompressRoundTrip, SmallAndDegenerateInputs) {
  ExpectRoundTrip({}, 9, "empty");
  ExpectRoundTrip({0x00}, 9, "one zero byte");
  ExpectRoundTrip({0x41}, 9, "one byte");
  ExpectRoundTrip({1, 2}, 9, "two bytes");
  ExpectRoundTrip(Bytes(3, 7), 9, "three equal");
  for (size_t n : {2u, 5u, 127u, 128u, 129u, 1000u, 70000u, 300000u}) {
    ExpectRoundTrip(Bytes(n, 0), 9, "zero run " + std::to_string(n));
    ExpectRoundTrip(Bytes(n, 0xFF), 1, "0xFF run " + std::to_string(n));
  }
  // Every short period, where matches overlap themselves.
  for (size_t period = 1; period <= 20; ++period) {
    Bytes v(5000);
    for (size_t i = 0; i < v.size(); ++i) v[i] = uint8_t(i % period * 37 + 1);
    ExpectRoundTrip(v, 9, "period " + std::to_string(period));
  }
}

TEST(CompressRoundTrip, VariedDataAtEveryLevel) {
  for (int level = 1; level <= 9; ++level) {
    ExpectRoundTrip(Random(20000, 1), level, "random");
    ExpectRoundTrip(Random(50000, 2, 4), level, "four symbols");
    ExpectRoundTrip(Text(100000, 3), level, "text");
    ExpectRoundTrip(Records(200000, 4), level, "records");
  }
}

TEST(CompressRoundTrip, LargeInputsAcrossBlocks) {
  // Long matches at far offsets, matches ending on block borders, > 32000
  // offsets, and a few MiB in all.
  Bytes v = Records(3 << 20, 5);
  Bytes r = Random(300000, 6);
  v.insert(v.end(), r.begin(), r.end());
  v.insert(v.end(), r.begin(), r.end());  // a 300 KB match at offset 300 KB
  ExpectRoundTrip(v, 1, "records + repeated random");

  Bytes t = Text(1 << 20, 7);
  t.insert(t.end(), r.begin(), r.begin() + 100000);
  t.insert(t.end(), r.begin(), r.begin() + 100000);
  ExpectRoundTrip(t, 9, "text + repeated random");
}

TEST(CompressRoundTrip, CompressesRedundantData) {
  // Not a ratio goal, only a sanity floor: these inputs shrink a lot.
  Bytes t = Text(100000, 8);
  EXPECT_LT(pack::CompressStream(t.data(), t.size()).size(), t.size() / 3);
  Bytes z(100000, 0);
  EXPECT_LT(pack::CompressStream(z.data(), z.size()).size(), 100u);
  // Incompressible data grows by at most one bit per byte plus the end token.
  Bytes r = Random(100000, 9);
  EXPECT_LE(pack::CompressStream(r.data(), r.size()).size(), r.size() * 9 / 8 + 4);
}

// Beyond the match window the finder forgets old positions (bounded memory):
// a block repeated within the window is still found, one repeated from
// farther back is not, and both inputs come back unchanged.
TEST(CompressRoundTrip, MatchWindowBoundsTheSearch) {
  Bytes r = Random(1 << 20, 12);
  const size_t gap = 17u << 20;  // zeros: cheap to pack, longer than the window
  Bytes near = r, far = r;
  near.resize(near.size() + (1u << 20));
  far.resize(far.size() + gap);
  near.insert(near.end(), r.begin(), r.end());
  far.insert(far.end(), r.begin(), r.end());
  Bytes near_packed = pack::CompressPacked(near.data(), near.size(), 1);
  Bytes far_packed = pack::CompressPacked(far.data(), far.size(), 1);
  EXPECT_LT(near_packed.size(), r.size() * 9 / 8 + r.size() / 20);  // the first copy as literals
  EXPECT_GT(far_packed.size(), 2 * r.size());
  for (const Bytes* in : {&near, &far}) {
    const Bytes& packed = in == &near ? near_packed : far_packed;
    int32_t size = int32_t(packed.size());
    auto buf = DecompressBuffer(packed.data(), size);
    ASSERT_EQ(size, int32_t(in->size()));
    EXPECT_TRUE(std::equal(in->begin(), in->end(), buf.get()));
  }
}

// Blocks that cannot shrink are written as single bytes without a parse;
// text after them is parsed again, and a later copy of them is still found.
TEST(CompressRoundTrip, BlocksThatCannotShrinkStopNothingElse) {
  const Bytes r = Random(1 << 18, 21), t = Text(1 << 18, 22);
  Bytes all = r;
  all.insert(all.end(), t.begin(), t.end());
  all.insert(all.end(), r.begin(), r.end());
  const size_t text_alone = pack::CompressStream(t.data(), t.size(), 5).size();
  const size_t packed = pack::CompressStream(all.data(), all.size(), 5).size();
  EXPECT_LT(packed, r.size() * 9 / 8 + text_alone + r.size() / 100);
  ExpectRoundTrip(all, 5, "random, text, the random again");
}

// A limit gives up on a value that would not fit it, and keeps one that does.
TEST(CompressRoundTrip, LimitStopsEarly) {
  Bytes r = Random(200000, 13);
  EXPECT_TRUE(pack::CompressPacked(r.data(), r.size(), 5, r.size() - 1).empty());
  Bytes t = Text(200000, 14);
  Bytes whole = pack::CompressPacked(t.data(), t.size(), 5);
  EXPECT_EQ(pack::CompressPacked(t.data(), t.size(), 5, whole.size()), whole);
  EXPECT_TRUE(pack::CompressPacked(t.data(), t.size(), 5, whole.size() - 1).empty());
}

// Real executables from the host, when the host has them (skipped where absent).
TEST(CompressRoundTrip, HostBinaries) {
  int found = 0;
  int level = 9;
  for (const char* path : {"/usr/bin/cmake", "/usr/bin/gdb", "/usr/bin/g++", "/usr/bin/ls"}) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) continue;
    Bytes v(1u << 20);
    v.resize(std::fread(v.data(), 1, v.size(), f));
    std::fclose(f);
    if (v.empty()) continue;
    ++found;
    ExpectRoundTrip(v, level, path);
    level = level == 9 ? 1 : 9;
  }
  if (found == 0) GTEST_SKIP() << "no host binaries readable here";
}

}  // namespace
}  // namespace upkit
