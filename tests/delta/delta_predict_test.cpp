// Reference prediction: any window rewritten alone (with its margins)
// equals the same bytes of the whole file rewritten, and the maps survive
// their coding.
#include <algorithm>

#include "delta/delta_pe.h"
#include "delta/delta_predict.h"
#include "tests/delta/delta_test_util.h"

namespace upkit::testing {
namespace {

// Bytes where E8/E9, 00/FF and values inside [0x401000, 0x480000) abound;
// with `code`, also conditional jumps and RIP-relative operands (0F 8x,
// 8B 05, FF 15, 0F 10 0D).
Bytes DenseReferences(size_t n, uint32_t seed, bool code = false) {
  std::mt19937 rng(seed);
  const uint8_t kinds[] = {0xE8, 0xE9, 0x00, 0xFF, 0x40, 0x41, 0x0F, 0x85, 0x8B, 0x05, 0x15, 0x10, 0x0D};
  Bytes v(n);
  for (auto& b : v) b = rng() % 3 ? kinds[rng() % (code ? 13 : 6)] : uint8_t(rng());
  return v;
}

uint32_t Le32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

delta::ReferenceMaps SomeMaps() {
  delta::ReferenceMaps maps;
  // Branch targets reach +-16 MiB around the file (below 0 they wrap).
  maps.offsets.ranges = {{0, 1000, 7}, {1000, 3000, -300}, {3500, 1 << 25, 100000}, {~0ull << 25, ~0ull, 5}};
  maps.addresses.ranges = {{0x401000, 0x410000, 0x20}, {0x410000, 0x480000, -0x1000}};
  return maps;
}

// Predicts a random window of old (at most max_length bytes) from only the
// bytes the decoder reads around it, and checks it equals `whole` there.
void ExpectWindowMatches(const Bytes& old, const Bytes& whole, int64_t copy_delta, const delta::ReferenceMaps& maps,
                         std::mt19937& rng, size_t max_length) {
  size_t offset = rng() % old.size(), length = 1 + rng() % std::min<size_t>(max_length, old.size() - offset);
  size_t start = offset - std::min(offset, delta::kPredictMarginBefore);
  size_t end = offset + length + std::min(delta::kPredictMarginAfter, old.size() - offset - length);
  Bytes out(length);
  delta::PredictCopy(old.data() + start, end - start, start, offset - start, offset - start + length, copy_delta, maps,
                     out.data());
  ASSERT_TRUE(std::equal(out.begin(), out.end(), whole.begin() + offset)) << "window " << offset << "+" << length;
}

TEST(DeltaPredict, WindowsMatchTheWholeFile) {
  const Bytes old = DenseReferences(5000, 1);
  const delta::ReferenceMaps maps = SomeMaps();
  std::mt19937 rng(2);
  for (int round = 0; round < 3000; ++round) {
    int64_t copy_delta = int64_t(rng() % 2000) - 1000;
    Bytes whole(old.size());
    delta::PredictCopy(old.data(), old.size(), 0, 0, old.size(), copy_delta, maps, whole.data());
    if (round == 0) {
      ASSERT_NE(whole, old);
    }
    ASSERT_NO_FATAL_FAILURE(ExpectWindowMatches(old, whole, copy_delta, maps, rng, 40));
  }
}

// The same with references from PE tables: 8-byte addresses (PE32+) close
// together, branches, conditional jumps and RIP-relative operands checked
// against two code ranges.
TEST(DeltaPredict, TableWindowsMatchTheWholeFile) {
  const Bytes old = DenseReferences(5000, 3, true);
  delta::ReferenceMaps maps = SomeMaps();
  maps.addresses.ranges = {{0, ~0ull >> 1, 0x1234567}};  // every 8-byte value below 2^63 moves
  delta::PeTables tables;
  tables.width = 8;
  tables.code = {{100, 2000, 0x140001000}, {2600, 4900, 0x140004000}};
  for (uint32_t at = 7; at + 8 < old.size(); at += 8 + (at * 7) % 13) tables.relocs.push_back(at);
  maps.tables = &tables;
  maps.kinds = delta::kJumpIfRel32 | delta::kRipRelative;
  std::mt19937 rng(4);
  Bytes whole(old.size());
  delta::PredictCopy(old.data(), old.size(), 0, 0, old.size(), 300, maps, whole.data());
  ASSERT_NE(whole, old);
  for (int round = 0; round < 3000; ++round) {
    ASSERT_NO_FATAL_FAILURE(ExpectWindowMatches(old, whole, 300, maps, rng, 40));
  }
}

// PredictCopy skips the bytes no table reference can start at before asking
// FindTableRef: what it writes must equal asking at every byte, for each
// width and kind of reference (a plain model of the rule, references
// mapped through the same maps).
// Two mixes of bytes: references dense (every byte near one), and sparse
// as in real code, where PredictCopy skips four positions at a time and
// the relocated addresses fall into two neighbouring ranges or none.
TEST(DeltaPredict, TableRulesMatchAskingAtEveryByte) {
  for (bool sparse : {false, true}) {
    Bytes old = DenseReferences(6000, 5, true);
    if (sparse) {
      std::mt19937 rng(9);
      for (auto& b : old) b = uint8_t(rng() % 0xE0);  // no E8/E9, some 0F
    }
    // Planted among them: calls, conditional jumps and RIP-relative loads
    // whose targets land inside the code.
    const uint8_t heads[][3] = {{0x90, 0x90, 0xE8}, {0x90, 0x0F, 0x85}, {0x48, 0x8B, 0x05}, {0x0F, 0x10, 0x0D}};
    for (size_t at = sparse ? 1 : 60, k = 0; at + 8 < 5900; at += 31 + at % 17, ++k) {
      std::copy_n(heads[k % 4], 3, old.begin() + at);
      const uint32_t disp = uint32_t(int32_t(k * 37 % 1500) - 700);
      for (int b = 0; b < 4; ++b) old[at + 3 + b] = uint8_t(disp >> (8 * b));
    }
    if (sparse) old[0] = 0xE8, old[old.size() - 5] = 0xE9, old[old.size() - 3] = 0x0F;  // at the file's ends
    delta::ReferenceMaps maps = SomeMaps();
    if (!sparse) maps.addresses.ranges = {{0, ~0ull >> 1, 0x1234567}};
    for (unsigned width : {4u, 8u})
      for (unsigned kinds = 0; kinds < 4; ++kinds) {
        delta::PeTables tables;
        tables.width = width;
        tables.code = {{50, 2500, 0x401000}, {2600, 5990, 0x404000}};
        for (uint32_t at = 3, k = 0; at + 8 < old.size(); at += 40 + (at * 7) % 29, ++k) {
          tables.relocs.push_back(at);
          if (!sparse) continue;
          const uint64_t v = k % 3 == 0 ? 0x47F000 + k : k % 3 == 1 ? 0x40F000 + k : 0x500000 + k;
          for (unsigned b = 0; b < 8; ++b) old[at + b] = uint8_t(v >> (8 * b));
        }
        maps.tables = &tables;
        maps.kinds = kinds;
        const int64_t copy_delta = 123;
        Bytes expected = old;
        for (size_t p = 0; p < old.size(); ++p) {
          uint64_t target;
          int64_t moved, self_moved;
          const auto kind = delta::FindTableRef(old.data(), old.size(), 0, p, tables, kinds, &target);
          uint32_t v = 0;
          if (kind == delta::TableRef::kBranch && maps.offsets.Find(target, &moved))
            v = uint32_t(target + uint64_t(moved) - (uint64_t(copy_delta) + p + 4));
          else if (kind == delta::TableRef::kRip && maps.addresses.Find(target, &moved) &&
                   maps.addresses.Find(target - 4 - uint64_t(int64_t(int32_t(Le32(old, p)))), &self_moved))
            v = uint32_t(Le32(old, p) + uint64_t(moved - self_moved));
          else
            continue;
          for (int k = 0; k < 4; ++k) expected[p + k] = uint8_t(v >> (8 * k));
        }
        for (uint32_t r : tables.relocs) {
          uint64_t v = Le32(old, r);
          if (width == 8) v |= uint64_t(Le32(old, r + 4)) << 32;
          int64_t moved;
          if (!maps.addresses.Find(v, &moved)) continue;
          v += uint64_t(moved);
          for (unsigned k = 0; k < width; ++k) expected[r + k] = uint8_t(v >> (8 * k));
        }
        Bytes got(old.size());
        delta::PredictCopy(old.data(), old.size(), 0, 0, old.size(), copy_delta, maps, got.data());
        ASSERT_EQ(got, expected) << "width " << width << " kinds " << kinds << " sparse " << sparse;
        EXPECT_NE(got, old);
        // Any window alone, as the decoder asks, gives the same bytes.
        std::mt19937 rng(width + kinds);
        for (int round = 0; round < 300; ++round) {
          ASSERT_NO_FATAL_FAILURE(ExpectWindowMatches(old, expected, copy_delta, maps, rng, 70));
        }
      }
  }
}

TEST(DeltaPredict, MapsRoundTrip) {
  delta::ReferenceMaps maps = SomeMaps();
  maps.offsets.ranges.back().delta = INT64_MIN;
  Bytes bytes;
  delta::WriteMaps(maps, bytes);
  delta::ReferenceMaps back = delta::ReadMaps(bytes.data(), bytes.size());
  for (auto [a, b] : {std::pair{&maps.offsets, &back.offsets}, std::pair{&maps.addresses, &back.addresses}}) {
    ASSERT_EQ(a->ranges.size(), b->ranges.size());
    for (size_t i = 0; i < a->ranges.size(); ++i) {
      EXPECT_EQ(a->ranges[i].start, b->ranges[i].start);
      EXPECT_EQ(a->ranges[i].end, b->ranges[i].end);
      EXPECT_EQ(a->ranges[i].delta, b->ranges[i].delta);
    }
  }
  int64_t d = 0;
  EXPECT_TRUE(back.offsets.Find(999, &d) && d == 7);
  EXPECT_FALSE(back.offsets.Find(3200, &d));
  EXPECT_FALSE(back.offsets.Find(~0ull, &d));
}

}  // namespace
}  // namespace upkit::testing
