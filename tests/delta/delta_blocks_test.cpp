// The block matcher for big files, forced onto small pairs: every stream
// rebuilds the new file through the ordinary decoder, stays close to the size
// of what changed, and does not depend on the thread count.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "codec/crc32.h"
#include "delta/delta_blocks.h"
#include "delta/delta_encode.h"
#include "tests/delta/delta_test_util.h"

namespace upkit::testing {
namespace {

// Round trip through the decoder; returns the stream.
Bytes BlockRoundTrip(const Bytes& old, const Bytes& nw, unsigned jobs, uint64_t part_size) {
  pack::SpanByteSource o(old), n(nw);
  Bytes stream = pack::EncodeBlockDelta(o, n, {.jobs = jobs, .part_size = part_size});
  DeltaHead head = ReadDeltaHead(stream.data(), stream.size());
  EXPECT_EQ(head.old_size, old.size());
  EXPECT_EQ(head.new_size, nw.size());
  EXPECT_EQ(head.old_crc, Crc32Block(old.data(), uint32_t(old.size())));
  EXPECT_EQ(head.new_crc, Crc32Block(nw.data(), uint32_t(nw.size())));
  MemorySource source(old);
  MemorySink sink;
  EXPECT_EQ(ApplyDelta(stream.data(), stream.size(), source, sink), head.new_crc);
  EXPECT_TRUE(sink.bytes == nw) << "rebuilt " << sink.bytes.size() << " of " << nw.size() << " bytes";
  EXPECT_TRUE(pack::DeltaRebuildsSources(stream, o, n));
  return stream;
}

// Random bytes with scattered edits of 16 to 2048 bytes (overwritten,
// inserted or deleted) making about `share` of the size; *changed counts
// the new bytes the edits brought.
Bytes Edited(const Bytes& old, double share, uint32_t seed, size_t* changed) {
  std::mt19937 rng(seed);
  Bytes nw;
  *changed = 0;
  size_t at = 0;
  const double mean_gap = 1032 / share;
  while (at < old.size()) {
    size_t keep = std::min<size_t>(old.size() - at, size_t(mean_gap * (rng() % 1000) / 500));
    nw.insert(nw.end(), old.begin() + at, old.begin() + at + keep);
    at += keep;
    size_t len = 16 + rng() % 2033;
    switch (rng() % 3) {
      case 0:  // overwrite
        for (size_t i = 0; i < len; ++i) nw.push_back(uint8_t(rng()));
        at += len, *changed += len;
        break;
      case 1:  // insert
        for (size_t i = 0; i < len; ++i) nw.push_back(uint8_t(rng()));
        *changed += len;
        break;
      default:  // delete
        at += len;
    }
  }
  return nw;
}

TEST(DeltaBlocks, ScatteredEditsRoundTripSmallAndAlikeOnAnyThreadCount) {
  const Bytes old = Random(3 << 20, 11);
  size_t changed = 0;
  Bytes nw = Edited(old, 0.01, 12, &changed);
  // A block of the old file moved to the front, and a copy of one inside.
  nw.insert(nw.begin(), old.end() - 70000, old.end() - 20000);
  nw.insert(nw.begin() + nw.size() / 2, old.begin() + 5000, old.begin() + 45000);
  const Bytes one = BlockRoundTrip(old, nw, 1, 256 << 10);
  // What changed is random: the stream can be no smaller, and should carry
  // little more than that (copies and their shifts).
  EXPECT_GT(one.size(), changed);
  EXPECT_LT(one.size(), changed + changed / 8 + 4096) << changed << " bytes changed";
  EXPECT_TRUE(BlockRoundTrip(old, nw, 3, 256 << 10) == one) << "the thread count changed the stream";
  // Parts of another size give the same copies where nothing straddles their edges.
  EXPECT_LT(BlockRoundTrip(old, nw, 2, 1 << 20).size(), changed + changed / 8 + 4096);
}

TEST(DeltaBlocks, EdgeCases) {
  const Bytes some = Random(100000, 21);
  BlockRoundTrip({}, some, 2, 4096);
  BlockRoundTrip(some, {}, 2, 4096);
  BlockRoundTrip(Bytes(some.begin(), some.begin() + 20), some, 2, 4096);  // old shorter than a block
  EXPECT_LT(BlockRoundTrip(some, some, 2, 4096).size(), 80u);
  BlockRoundTrip(some, Random(150000, 22), 2, 4096);  // unrelated
  // Repeated content: every block of the old file has the same hash.
  Bytes zeros(300000, 0), nw = zeros;
  nw[1234] = 7;
  nw.insert(nw.begin() + 99999, some.begin(), some.begin() + 100);
  EXPECT_LT(BlockRoundTrip(zeros, nw, 2, 65536).size(), 400u);
  // Small edits every few hundred bytes at the same place: copies with
  // differences through the gaps, not a copy per stretch.
  Bytes dotted = some;
  for (size_t i = 100; i < dotted.size(); i += 300) dotted[i] ^= 0x55;
  EXPECT_LT(BlockRoundTrip(some, dotted, 2, 16384).size(), 2000u);
}

TEST(DeltaBlocks, SmallPairsKeepTheExactMatcher) {
  const Bytes old = Random(200000, 31);
  size_t changed = 0;
  const Bytes nw = Edited(old, 0.02, 32, &changed);
  pack::SpanByteSource o(old), n(nw);
  EXPECT_TRUE(pack::EncodeFileDelta(o, n) == pack::EncodeDelta(old, nw));
  EXPECT_TRUE(pack::EncodeFileDelta(o, n, {.threshold = 100000}) == pack::EncodeBlockDelta(o, n));
  Bytes wrong = nw;
  wrong[777] ^= 1;
  pack::SpanByteSource w(wrong);
  EXPECT_FALSE(pack::DeltaRebuildsSources(pack::EncodeBlockDelta(o, n), o, w));
}

TEST(DeltaBlocks, CrcOfPiecesCombines) {
  const Bytes data = Random(40 << 20, 41);  // more than two read pieces
  const uint32_t whole = Crc32Update(0, data.data(), uint32_t(data.size()));
  for (size_t cut : {size_t(0), size_t(1), size_t(4095), data.size() / 3, data.size()}) {
    uint32_t a = Crc32Update(0, data.data(), uint32_t(cut));
    uint32_t b = Crc32Update(0, data.data() + cut, uint32_t(data.size() - cut));
    EXPECT_EQ(pack::Crc32Combine(a, b, data.size() - cut), whole) << cut;
  }
  pack::SpanByteSource s(data);
  EXPECT_EQ(pack::SourceCrc(s, 3), whole);
}

TEST(DeltaBlocks, ParallelForRaisesWhatALoopInOrderWould) {
  for (int round = 0; round < 5; ++round) {
    std::vector<std::atomic<int>> ran(200);
    try {
      pack::ParallelFor(ran.size(), 4, [&](size_t i) {
        ++ran[i];
        // 38 fails first in time: 37 still raises.
        if (i == 37) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (i == 37 || i == 38) throw Error("failed at " + std::to_string(i));
      });
      ADD_FAILURE() << "no exception";
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), "failed at 37");
    }
    for (size_t i = 0; i < 37; ++i) ASSERT_EQ(ran[i], 1) << i;
  }
}

}  // namespace
}  // namespace upkit::testing
