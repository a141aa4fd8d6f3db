// Malformed delta streams: each raises "Stream read error" before any read
// outside the old file (the memory source fails the test on one).
#include <string>

#include "codec/lzma.h"
#include "delta/delta_encode.h"
#include "delta/delta_format.h"
#include "tests/delta/delta_test_util.h"

namespace upkit::testing {
namespace {

void Varint(Bytes& out, uint64_t v) {
  for (; v >= 0x80; v >>= 7) out.push_back(uint8_t(v | 0x80));
  out.push_back(uint8_t(v));
}

struct StreamSpec {
  uint64_t old_size = 16, new_size = 16;
  uint8_t version = delta::kVersionPlain, flags = 0;
  std::vector<uint64_t> control = {};  // varints
  std::vector<uint64_t> runs = {};     // (zeros, count) pairs
  Bytes diff = {}, extra = {}, maps = {};
};

Bytes Build(const StreamSpec& s) {
  Bytes out(delta::kMagic, delta::kMagic + 4);
  out.push_back(s.version);
  out.push_back(s.flags);
  // sizes of 8 bytes, CRCs (left 0: the decoder does not check them) of 4
  for (uint64_t size : {s.old_size, s.new_size}) {
    for (int i = 0; i < 8; ++i) out.push_back(uint8_t(size >> (8 * i)));
    out.insert(out.end(), 4, 0);
  }
  Bytes control, zeros, counts;
  for (uint64_t v : s.control) Varint(control, v);
  for (size_t i = 0; i < s.runs.size(); ++i) Varint(i % 2 ? counts : zeros, s.runs[i]);
  const Bytes* sections[] = {&control, &zeros, &counts, &s.diff, &s.extra, &s.maps};
  for (const Bytes* b : sections) Varint(out, b->size());
  for (const Bytes* b : sections) out.insert(out.end(), b->begin(), b->end());
  return out;
}

// Applies the stream to `old`; returns the error text, or "" on success.
std::string Apply(const Bytes& stream, const Bytes& old) {
  MemorySource source(old);
  MemorySink sink;
  try {
    ApplyDelta(stream.data(), stream.size(), source, sink);
    return "";
  } catch (const Error& e) {
    return e.Message();
  }
}

TEST(DeltaMalformed, HandBuiltStreams) {
  const Bytes old(16, 7);
  const uint64_t kHuge = ~uint64_t(0);
  // The good stream first: copy 8 with one difference run, 8 new bytes.
  EXPECT_EQ(Apply(Build({.control = {8, 8, 0}, .runs = {2, 1, 5, 0}, .diff = {1}, .extra = Bytes(8)}), old), "");
  EXPECT_EQ(Apply(Build({.flags = 1, .control = {0, 16, 0}, .extra = Bytes(16), .maps = {1, 0, 1, 0, 0}}), old), "");
  const StreamSpec bad[] = {
      {.version = 3, .control = {0, 16, 0}, .extra = Bytes(16)},
      {.flags = 0x80, .control = {0, 16, 0}, .extra = Bytes(16)},
      {.old_size = 8, .control = {16, 0, 0}, .runs = {16, 0}},        // copy past the old file
      {.new_size = 8, .control = {16, 0, 0}, .runs = {16, 0}},        // copy past the new file
      {.control = {kHuge, 0, 0}, .runs = {16, 0}},                    // huge copy
      {.control = {0, 17, 0}, .extra = Bytes(17)},                    // new bytes past the new file
      {.control = {0, 16, 0}, .extra = Bytes(15)},                    // extra section too short
      {.control = {0, 16, 0}, .extra = Bytes(17)},                    // extra left over
      {.control = {8, 0, 17, 8, 0, 0}, .runs = {16, 0}},              // seek back before 0
      {.control = {8, 0, 18, 8, 0, 0}, .runs = {16, 0}},              // seek past the end
      {.control = {8, 0, kHuge, 8, 0, 0}, .runs = {16, 0}},           // seek of -2^63
      {.control = {8, 0, kHuge - 1, 8, 0, 0}, .runs = {16, 0}},       // seek of 2^63 - 1
      {.control = {16, 0, 0}, .runs = {0, 0, 16, 0}},                 // empty run pair
      {.control = {16, 0, 0}, .runs = {0, 17}, .diff = Bytes(17)},    // differences left over
      {.control = {16, 0, 0}, .runs = {0, 16}, .diff = Bytes(15)},    // diff section too short
      {.control = {16, 0, 0}, .runs = {kHuge, 0}},                    // zeros left over
      {.control = {0, 16, 0, 0}, .extra = Bytes(16)},                 // control left over
      {.new_size = kHuge, .control = {0, 16, 0}, .extra = Bytes(16)}, // stream ends early
      {.control = {0, 16, 0}, .extra = Bytes(16), .maps = {0, 0}},    // maps without the flag
      {.flags = 1, .control = {0, 16, 0}, .extra = Bytes(16), .maps = {2, 0, 1, 0}},  // 2 ranges in 3 bytes
      {.flags = 1, .control = {0, 16, 0}, .extra = Bytes(16), .maps = {1, 0, 0, 0, 0}},  // empty range
      {.flags = 1, .control = {0, 16, 0}, .extra = Bytes(16), .maps = {0, 0, 0}},  // maps left over
      // Conditional jumps or RIP-relative operands without the PE tables.
      {.flags = 1 | 4, .control = {0, 16, 0}, .extra = Bytes(16), .maps = {0, 0}},
      {.flags = 1 | 8, .control = {0, 16, 0}, .extra = Bytes(16), .maps = {0, 0}},
      // A rebuilt relocation table without the PE tables.
      {.flags = 1 | 0x10, .control = {0, 16, 0}, .extra = Bytes(16), .maps = {0, 0}},
      // New bytes naming targets in version 1.
      {.flags = 1 | 0x40, .control = {0, 16, 0}, .extra = Bytes(16), .maps = {0, 0}},
  };
  for (size_t i = 0; i < std::size(bad); ++i) EXPECT_EQ(Apply(Build(bad[i]), old), kStreamReadError) << "case " << i;

  // Section lengths that pass the end, and an 11-byte varint.
  Bytes stream = Build({.control = {0, 16, 0}, .extra = Bytes(16)});
  Bytes huge_section = stream;
  huge_section[delta::kFixedHeadSize] = 0xFF;
  huge_section.insert(huge_section.begin() + delta::kFixedHeadSize + 1, 9, 0xFF);  // 11 bytes
  EXPECT_EQ(Apply(huge_section, old), kStreamReadError);
  EXPECT_THROW(ReadDeltaHead(huge_section.data(), huge_section.size()), Error);
}

TEST(DeltaMalformed, TruncationsAndFlippedBytes) {
  Bytes old = Random(3000, 5), nw = old;
  nw.insert(nw.begin() + 1000, 40, 0x55);
  nw[2500] ^= 0x10;
  for (bool lzma : {false, true}) {
    Bytes stream = pack::EncodeDelta(old, nw, {.lzma = lzma});
    ASSERT_EQ(stream[4], lzma ? delta::kVersionLzma : delta::kVersionPlain);
    for (size_t n = 0; n < stream.size(); ++n) {
      Bytes cut(stream.begin(), stream.begin() + n);
      ASSERT_EQ(Apply(cut, old), kStreamReadError) << "cut to " << n;
      ASSERT_THROW(ReadDeltaHead(cut.data(), cut.size()), Error) << "cut to " << n;
    }
    // A changed byte may still give a file (the caller checks its CRC), but
    // never anything but that error.
    for (size_t at = 0; at < stream.size(); ++at) {
      Bytes changed = stream;
      changed[at] ^= 0xA5;
      std::string error = Apply(changed, old);
      ASSERT_TRUE(error.empty() || error == kStreamReadError) << "byte " << at << ": " << error;
    }
  }
}

// Version 2: an LZMA-coded section whose properties ask for more memory than
// the decoder's bounds, or whose coded data is cut, is rejected; the same
// section with sound properties decodes.
TEST(DeltaMalformed, CodedSectionBounds) {
  const Bytes old(16, 7);
  const size_t kBig = size_t(lzma::kMaxDictionary) + 1;
  auto stream = [&](uint64_t new_size, const Bytes& coded_extra) {
    Bytes out(delta::kMagic, delta::kMagic + 4);
    out.push_back(delta::kVersionLzma);
    out.push_back(0);
    for (uint64_t size : {uint64_t(old.size()), new_size}) {
      for (int i = 0; i < 8; ++i) out.push_back(uint8_t(size >> (8 * i)));
      out.insert(out.end(), 4, 0);
    }
    Bytes control;
    Varint(control, 0), Varint(control, new_size), Varint(control, 0);
    for (uint64_t n : {uint64_t(control.size()), uint64_t(0), uint64_t(0), uint64_t(0), new_size, uint64_t(0)})
      Varint(out, n);
    for (uint64_t n : {uint64_t(0), uint64_t(0), uint64_t(0), uint64_t(0), uint64_t(coded_extra.size()), uint64_t(0)})
      Varint(out, n);
    out.insert(out.end(), control.begin(), control.end());
    out.insert(out.end(), coded_extra.begin(), coded_extra.end());
    return out;
  };
  const Bytes small = lzma::Encode(Bytes(64, 'x'));
  EXPECT_EQ(Apply(stream(64, small), old), "");
  Bytes wide = small;
  wide[0] = 4 + 9 * 1;  // lc 4 + lp 1
  EXPECT_EQ(Apply(stream(64, wide), old), kStreamReadError);
  EXPECT_EQ(Apply(stream(64, Bytes(small.begin(), small.end() - 1)), old), kStreamReadError);
  Bytes big = lzma::Encode(Bytes(kBig, 'x'));
  EXPECT_EQ(Apply(stream(kBig, big), old), "");  // the encoder keeps within the bound
  big[1] = 0, big[2] = 0, big[3] = 0, big[4] = 0x40;  // a 1 GiB dictionary for 4 MiB + 1 bytes
  EXPECT_EQ(Apply(stream(kBig, big), old), kStreamReadError);
}

}  // namespace
}  // namespace upkit::testing
