// What the compressor chooses, read back token by token: every token kind of
// the format must be used where it pays, and the near-byte zero form too.
// A round trip cannot show this (a stream of literals also round-trips).
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "codec/compress.h"
#include "codec/unpack.h"

namespace upkit {
namespace {

// Walks a stream and counts its tokens by kind; it decodes nothing, so it only
// tracks what the token grammar needs (the previous token's kind).
class TokenCensus {
 public:
  explicit TokenCensus(const std::vector<uint8_t>& s) : p_(s.data()), end_(s.data() + s.size()) {}

  // False when the stream is malformed or runs out before its end token.
  bool Run() {
    if (!Byte()) return false;
    bool after_literal = true;
    for (;;) {
      int b;
      if ((b = Bit()) < 0) return false;
      if (b == 0) {
        if (!Byte()) return false;
        ++count["literal"], after_literal = true;
        continue;
      }
      if ((b = Bit()) < 0) return false;
      if (b == 0) {
        int64_t g = Gamma();
        if (g < 0) return false;
        if (after_literal && g == 2) {
          if (Gamma() < 0) return false;
          ++count["repeat"];
        } else {
          if (!Byte() || Gamma() < 0) return false;
          ++count["gamma"];
        }
        after_literal = false;
        continue;
      }
      if ((b = Bit()) < 0) return false;
      if (b == 0) {
        if (p_ == end_) return false;
        uint8_t v = *p_++;
        if (v <= 1) return true;
        ++count["short"], after_literal = false;
        continue;
      }
      int o = 0;
      for (int i = 0; i < 4; ++i) {
        if ((b = Bit()) < 0) return false;
        o = o << 1 | b;
      }
      ++count[o == 0 ? "near zero" : "near"], after_literal = true;
    }
  }

  std::map<std::string, int> count;

 private:
  bool Byte() {
    if (p_ == end_) return false;
    ++p_;
    return true;
  }
  int Bit() {
    if (bits_ == 0) {
      if (p_ == end_) return -1;
      tag_ = *p_++, bits_ = 8;
    }
    return (tag_ >> --bits_) & 1;
  }
  int64_t Gamma() {
    int64_t v = 1;
    int b, more;
    do {
      if ((b = Bit()) < 0 || v > 0x7FFFFFFF) return -1;
      v = 2 * v + b;
      if ((more = Bit()) < 0) return -1;
    } while (more);
    return v;
  }

  const uint8_t* p_;
  const uint8_t* end_;
  int tag_ = 0, bits_ = 0;
};

// Records of a fixed stride with one changing byte each (a repeat match after
// a literal pays), zero padding, nearby repeated bytes, short and long repeats.
std::vector<uint8_t> MixedStructure() {
  std::mt19937 rng(11);
  std::vector<uint8_t> v;
  for (int r = 0; r < 3000; ++r) {
    v.insert(v.end(), {'R', 'E', 'C', ':', uint8_t(rng()), 'a', 'b', 'c', 'd', 'e', 'f', 'g'});
    if (r % 7 == 0) v.insert(v.end(), rng() % 20, 0);
    if (r % 5 == 0) v.insert(v.end(), {uint8_t(rng()), 'q', uint8_t(rng()), 'q'});
    if (r % 11 == 0)
      for (int i = 0; i < 40; ++i) v.push_back(uint8_t(rng() % 6 + '0'));
  }
  return v;
}

TEST(CompressTokens, BestLevelUsesEveryTokenKind) {
  std::vector<uint8_t> data = MixedStructure();
  std::vector<uint8_t> stream = pack::CompressStream(data.data(), data.size(), 9);
  TokenCensus census(stream);
  ASSERT_TRUE(census.Run());
  for (const char* kind : {"literal", "near", "near zero", "short", "gamma", "repeat"})
    EXPECT_GT(census.count[kind], 0) << kind;

  std::vector<uint8_t> out(data.size());
  ASSERT_EQ(UnpackStream(stream.data(), uint32_t(stream.size()), out.data(), uint32_t(out.size())),
            int32_t(data.size()));
  EXPECT_EQ(out, data);
}

TEST(CompressTokens, HigherLevelsAreNotLarger) {
  // The levels trade speed for size; on structured input each step of the
  // search should keep or improve the size.
  std::vector<uint8_t> data = MixedStructure();
  size_t fast = pack::CompressStream(data.data(), data.size(), 1).size();
  size_t mid = pack::CompressStream(data.data(), data.size(), 5).size();
  size_t best = pack::CompressStream(data.data(), data.size(), 9).size();
  EXPECT_LE(mid, fast);
  EXPECT_LE(best, mid);
}

}  // namespace
}  // namespace upkit
