// The decoder against a plain bit-by-bit reference decoder written for this
// test: random token streams (fixed seeds) with every token kind, offsets
// near and far, overlapping copies and lengths around the copy widths, then
// the same streams damaged, cut short or given too little room. The results
// (count, and the bytes on success) must agree exactly, and nothing may be
// written past the capacity.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "codec/unpack.h"
#include "tests/codec/stream_builder.h"

namespace upkit {
namespace {

using test::StreamBuilder;
using Bytes = std::vector<uint8_t>;

// One bit, one byte, one copied byte at a time; every read checked.
class Reference {
 public:
  Reference(const Bytes& in, uint32_t capacity) : in_(in), capacity_(capacity) {}

  int64_t Run() {
    uint8_t b;
    if (!Byte(b) || !Put(b)) return -1;
    bool after_literal = true;
    uint64_t last = 0;
    for (;;) {
      int bit;
      if (!Bit(bit)) return -1;
      if (bit == 0) {  // literal
        if (!Byte(b) || !Put(b)) return -1;
        after_literal = true;
        continue;
      }
      if (!Bit(bit)) return -1;
      if (bit == 0) {  // gamma match
        uint64_t g, len;
        if (!Gamma(g)) return -1;
        uint64_t offset;
        if (after_literal && g == 2) {
          if (last == 0 || !Gamma(len)) return -1;
          offset = last;
        } else {
          uint64_t high = g - (after_literal ? 3 : 2);
          if (!Byte(b)) return -1;
          offset = high << 8 | b;
          if (offset > 0xFFFFFFFFu || !Gamma(len)) return -1;
          if (offset >= 32000) ++len;
          if (offset >= 1280) ++len;
          if (offset < 128) len += 2;
          last = offset;
        }
        if (!Copy(offset, len)) return -1;
        after_literal = false;
        continue;
      }
      if (!Bit(bit)) return -1;
      if (bit == 0) {  // short match or end
        if (!Byte(b)) return -1;
        if (b <= 1) return int64_t(out_.size());
        if (!Copy(b >> 1, 2 + (b & 1))) return -1;
        last = b >> 1;
        after_literal = false;
        continue;
      }
      uint64_t o = 0;  // near byte
      for (int i = 0; i < 4; ++i) {
        if (!Bit(bit)) return -1;
        o = o << 1 | uint64_t(bit);
      }
      if (o > out_.size()) return -1;
      if (!Put(o == 0 ? 0 : out_[out_.size() - o])) return -1;
      after_literal = true;
    }
  }
  const Bytes& out() const { return out_; }

 private:
  bool Byte(uint8_t& b) {
    if (pos_ >= in_.size()) return false;
    b = in_[pos_++];
    return true;
  }
  bool Bit(int& bit) {
    if (bits_ == 0) {
      if (!Byte(tag_)) return false;
      bits_ = 8;
    }
    --bits_;
    bit = (tag_ >> bits_) & 1;
    return true;
  }
  bool Gamma(uint64_t& v) {
    v = 1;
    int more;
    do {
      int bit;
      if (!Bit(bit)) return false;
      v = 2 * v + uint64_t(bit);
      if (v > 0xFFFFFFFFu) return false;
      if (!Bit(more)) return false;
    } while (more);
    return true;
  }
  bool Put(uint8_t b) {
    if (out_.size() >= capacity_) return false;
    out_.push_back(b);
    return true;
  }
  bool Copy(uint64_t offset, uint64_t len) {
    if (offset == 0 || offset > out_.size()) return false;
    for (uint64_t i = 0; i < len; ++i)
      if (!Put(out_[out_.size() - offset])) return false;
    return true;
  }

  const Bytes& in_;
  uint32_t capacity_;
  Bytes out_;
  size_t pos_ = 0;
  uint8_t tag_ = 0;
  int bits_ = 0;
};

constexpr uint8_t kCanary = 0x5A;
constexpr size_t kCanaryBytes = 32;

void ExpectSameAsReference(const Bytes& stream, uint32_t capacity, const char* what,
                           uint32_t seed) {
  Reference ref(stream, capacity);
  const int64_t want = ref.Run();
  Bytes dest(size_t(capacity) + kCanaryBytes, kCanary);
  const int32_t got = UnpackStream(stream.data(), uint32_t(stream.size()), dest.data(), capacity);
  ASSERT_EQ(int64_t(got), want) << what << " seed " << seed << " capacity " << capacity;
  if (got > 0) {
    ASSERT_TRUE(std::equal(ref.out().begin(), ref.out().end(), dest.begin()))
        << what << " seed " << seed;
  }
  for (size_t i = capacity; i < dest.size(); ++i)
    ASSERT_EQ(dest[i], kCanary) << what << " seed " << seed << " wrote past the capacity";
}

// A valid random stream and the size it unpacks to. Token mix and lengths
// are drawn so that copies land on both sides of the 8- and 16-byte widths,
// overlap (offset below the length) and reach far back.
Bytes RandomStream(std::mt19937& rng, uint32_t tokens, uint32_t& size) {
  StreamBuilder s;
  s.Byte(uint8_t(rng()));
  size = 1;
  bool after_literal = true;
  uint32_t last = 0;
  auto pick = [&](uint32_t n) { return uint32_t(rng() % n); };
  for (uint32_t t = 0; t < tokens; ++t) {
    switch (pick(6)) {
      case 0:
      case 1:  // runs of literals
        for (uint32_t n = 1 + pick(6); n; --n) s.Literal(uint8_t(rng())), ++size;
        after_literal = true;
        break;
      case 2:  // near byte
        s.Near(pick(size < 15 ? size + 1 : 16));  // 0 (zero byte) or 1..15 back
        ++size;
        after_literal = true;
        break;
      case 3: {  // short match
        uint32_t off = 1 + pick(size < 127 ? size : 127);
        uint32_t len = 2 + pick(2);
        s.Short(off, len);
        size += len;
        last = off;
        after_literal = false;
        break;
      }
      case 4:
        if (after_literal && last != 0) {  // repeat match
          uint32_t len = 2 + pick(pick(2) ? 20 : 70);
          s.Repeat(len);
          size += len;
          after_literal = false;
          break;
        }
        [[fallthrough]];
      default: {  // explicit offset: mostly near, sometimes far
        uint32_t reach = pick(4) == 0 ? size : (size < 40 ? size : 40);
        uint32_t off = 1 + pick(reach);
        uint32_t adj = (off >= 32000) + (off >= 1280) + 2 * (off < 128);
        uint32_t code = 2 + pick(pick(3) ? 18 : 90);
        s.Match(off, code, after_literal ? 3 : 2);
        size += code + adj;
        last = off;
        after_literal = false;
        break;
      }
    }
  }
  s.End();
  return s.bytes();
}

TEST(UnpackDifferential, RandomStreamsMatchTheReference) {
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    std::mt19937 rng(seed);
    uint32_t size = 0;
    const Bytes stream = RandomStream(rng, 10 + seed % 200, size);
    Reference ref(stream, size);
    ASSERT_EQ(ref.Run(), int64_t(size)) << "generator and reference disagree, seed " << seed;
    // Exact room, a little spare (short of the copy slack) and plenty.
    for (uint32_t cap : {size, size + 1, size + 7, size + 15, size + 16, size + 100})
      ExpectSameAsReference(stream, cap, "valid", seed);
    // Too little room: every capacity near the end and a few far below.
    for (uint32_t cut = 1; cut <= 40 && cut <= size; ++cut)
      ExpectSameAsReference(stream, size - cut, "short room", seed);
    ExpectSameAsReference(stream, size / 2, "short room", seed);
  }
}

TEST(UnpackDifferential, DamagedAndCutStreamsMatchTheReference) {
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    std::mt19937 rng(seed * 7919u);
    uint32_t size = 0;
    const Bytes stream = RandomStream(rng, 20 + seed % 100, size);
    for (int round = 0; round < 8; ++round) {
      Bytes bad = stream;
      for (int flips = 1 + int(rng() % 3); flips; --flips)
        bad[rng() % bad.size()] ^= uint8_t(1u << (rng() % 8));
      ExpectSameAsReference(bad, size + 64, "damaged", seed);
      ExpectSameAsReference(bad, size, "damaged", seed);
    }
    for (size_t len = 0; len < stream.size(); len += 1 + stream.size() / 50) {
      Bytes cut(stream.begin(), stream.begin() + ptrdiff_t(len));
      ExpectSameAsReference(cut, size + 64, "cut", seed);
    }
  }
}

TEST(UnpackDifferential, RandomBytesMatchTheReference) {
  std::mt19937 rng(424242);
  for (int i = 0; i < 3000; ++i) {
    Bytes junk(1 + rng() % 200);
    for (auto& b : junk) b = uint8_t(rng());
    ExpectSameAsReference(junk, 1 + rng() % 4096, "random", uint32_t(i));
  }
}

}  // namespace
}  // namespace upkit
