// Chained payloads: streams from several old files to one new file, each
// after the first primed by the one before it; and the primed LZMA coder
// under them.
#include <string>

#include "codec/lzma.h"
#include "delta/delta_encode.h"
#include "delta/delta_format.h"
#include "tests/delta/delta_test_util.h"

namespace upkit::testing {
namespace {

Bytes Join(std::initializer_list<const Bytes*> parts) {
  Bytes out;
  for (const Bytes* p : parts) out.insert(out.end(), p->begin(), p->end());
  return out;
}

Bytes Apply(const Bytes& payload, const Bytes& old) {
  MemorySource source(old);
  MemorySink sink;
  ApplyDelta(payload.data(), payload.size(), source, sink);
  return sink.bytes;
}

void ExpectRefused(const Bytes& payload, const Bytes& old, const std::string& what) {
  MemorySource source(old);
  MemorySink sink;
  try {
    ApplyDelta(payload.data(), payload.size(), source, sink);
    ADD_FAILURE() << what << ": accepted";
  } catch (const Error& e) {
    EXPECT_EQ(e.Message(), kStreamReadError) << what;
  }
}

// Three releases of a file and the new one: each old release lacks a block
// of new bytes that the others lack too, and each has edits of its own.
struct Releases {
  Bytes olds[3], nw;
  Releases() {
    const Bytes base = Random(60000, 1), added = Random(30000, 2);
    nw = base;
    nw.insert(nw.begin() + 20000, added.begin(), added.end());
    for (int r = 0; r < 3; ++r) {
      olds[r] = base;
      for (int i = 0; i < 40; ++i) olds[r][size_t(997 * i * (r + 2)) % base.size()] ^= uint8_t(r + 1);
    }
  }
};

TEST(PrimedDelta, ChainsRebuildEachReleaseAndShareTheirNewBytes) {
  const Releases rel;
  Bytes s[3];
  for (int r = 0; r < 3; ++r) s[r] = pack::EncodeDelta(rel.olds[r], rel.nw);
  const Bytes p1 = pack::PrimedStream(s[0], s[1]), p2 = pack::PrimedStream(s[1], s[2]);
  ASSERT_NE(p1, s[1]);
  ASSERT_NE(p2, s[2]);
  // The shared new bytes cost the primed streams next to nothing.
  EXPECT_LT(p1.size() + 20000, s[1].size());
  EXPECT_LT(p2.size() + 20000, s[2].size());
  EXPECT_EQ(p1[5] & delta::kFlagPrimed, delta::kFlagPrimed);

  const Bytes two = Join({&s[0], &p1}), three = Join({&s[0], &p1, &p2});
  EXPECT_EQ(Apply(s[0], rel.olds[0]), rel.nw);
  EXPECT_EQ(Apply(two, rel.olds[1]), rel.nw);
  EXPECT_EQ(Apply(three, rel.olds[2]), rel.nw);
  // The payload's head is its last stream's: the old file it applies to.
  const DeltaHead head = ReadDeltaHead(three.data(), three.size()), last = ReadDeltaHead(s[2].data(), s[2].size());
  EXPECT_EQ(head.old_size, last.old_size);
  EXPECT_EQ(head.old_crc, last.old_crc);
  EXPECT_NE(head.old_crc, ReadDeltaHead(s[0].data(), s[0].size()).old_crc);
  EXPECT_TRUE(pack::DeltaRebuilds(three, rel.olds[2], rel.nw));
  EXPECT_FALSE(pack::DeltaRebuilds(three, rel.olds[1], rel.nw));

  // Damaged chains are refused, never applied.
  ExpectRefused(p1, rel.olds[1], "a primed stream alone");
  ExpectRefused(Join({&s[0], &s[1]}), rel.olds[1], "an ordinary stream after another");
  const Bytes other = pack::EncodeDelta(Random(30000, 3), Random(30000, 4));
  EXPECT_FALSE(pack::DeltaRebuilds(Join({&other, &p1}), rel.olds[1], rel.nw)) << "primed by the wrong stream";
  ExpectRefused(Join({&p1, &s[0]}), rel.olds[0], "a primed stream first");
  for (size_t cut : {size_t(1), size_t(40), p1.size() / 2}) {
    Bytes short_chain(two.begin(), two.end() - ptrdiff_t(cut));
    ExpectRefused(short_chain, rel.olds[1], "cut by " + std::to_string(cut));
  }
  Bytes flags = two;
  flags[s[0].size() + delta::kFixedHeadSize] |= 0x20;  // the maps are never primed
  ExpectRefused(flags, rel.olds[1], "primed maps");
  Bytes chain;
  for (size_t i = 0; i <= delta::kMaxChain; ++i) chain = i == 0 ? s[0] : Join({&chain, &p1});
  ExpectRefused(chain, rel.olds[1], "33 streams");
}

TEST(PrimedDelta, NothingToShareLeavesTheStreamOrdinary) {
  const Bytes a = Random(20000, 5), b = Random(20000, 6), c = Random(20000, 7);
  const Bytes s = pack::EncodeDelta(a, b), t = pack::EncodeDelta(c, a);
  EXPECT_EQ(pack::PrimedStream(s, t), t);
  EXPECT_EQ(pack::PrimedStream(t, pack::PrimedStream(s, s)), pack::PrimedStream(s, s)) << "a primed stream is no prime";
}

TEST(PrimedLzma, PresetLongerThanTheDictionaryPrimesWithItsTail) {
  // Data that repeats bytes 4 MiB - 64 back and the preset's last bytes:
  // only the preset's last 4 MiB are in the dictionary.
  const Bytes preset = Random((4u << 20) + 5000, 8);
  Bytes data(preset.end() - (4 << 20) + 100, preset.end() - (4 << 20) + 3000);
  data.insert(data.end(), preset.end() - 2000, preset.end());
  const Bytes coded = lzma::Encode(data, {}, preset);
  EXPECT_LT(coded.size(), 200u);
  Bytes out(data.size());
  lzma::Decoder decoder(coded.data(), coded.size(), data.size(), preset.data(), preset.size());
  decoder.Read(out.data(), out.size());
  EXPECT_TRUE(decoder.Done());
  EXPECT_EQ(out, data);
  // Without its preset the same bytes are refused or decode to others.
  try {
    lzma::Decoder bare(coded.data(), coded.size(), data.size());
    bare.Read(out.data(), out.size());
    EXPECT_NE(out, data);
  } catch (const Error& e) {
    EXPECT_EQ(e.Message(), kStreamReadError);
  }
}

}  // namespace
}  // namespace upkit::testing
