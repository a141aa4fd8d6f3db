// Encoder against decoder: every pair of files comes back byte for byte, the
// head names both files, and the stream stays small where the files share
// most bytes. Also the suffix sorter against a plain sort.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>

#include "codec/crc32.h"
#include "delta/delta_encode.h"
#include "delta/delta_format.h"
#include "delta/delta_targets.h"
#include "delta/suffix_sort.h"
#include "tests/delta/delta_test_util.h"

namespace upkit::testing {
namespace {

// Round trip; returns the stream.
Bytes ExpectRoundTrip(const Bytes& old, const Bytes& nw, const std::string& what, bool x86 = true) {
  SCOPED_TRACE(what);
  Bytes stream = pack::EncodeDelta(old, nw, {.x86_branches = x86});
  DeltaHead head = ReadDeltaHead(stream.data(), stream.size());
  EXPECT_EQ(head.old_size, old.size());
  EXPECT_EQ(head.new_size, nw.size());
  EXPECT_EQ(head.old_crc, Crc32Block(old.data(), uint32_t(old.size())));
  EXPECT_EQ(head.new_crc, Crc32Block(nw.data(), uint32_t(nw.size())));
  MemorySource source(old);
  MemorySink sink;
  uint32_t crc = ApplyDelta(stream.data(), stream.size(), source, sink);
  EXPECT_EQ(crc, head.new_crc);
  EXPECT_TRUE(sink.bytes == nw);
  return stream;
}

TEST(DeltaRoundTrip, EdgeCases) {
  Bytes some = Random(5000, 1);
  ExpectRoundTrip({}, {}, "both empty");
  ExpectRoundTrip({}, some, "empty old");
  ExpectRoundTrip(some, {}, "empty new");
  EXPECT_LT(ExpectRoundTrip(some, some, "identical").size(), 64u);
  ExpectRoundTrip(Bytes(100000, 0), Bytes(200000, 0), "zeros");
  ExpectRoundTrip(Random(70000, 2), Random(140000, 3), "unrelated, longer than a chunk");
}

TEST(DeltaRoundTrip, EditsAndMovedBlocks) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    Bytes old = Random(1000 + rng() % 300000, rng());
    Bytes nw = old;
    for (int e = rng() % 40; e-- > 0;) {  // small byte edits, insertions, deletions
      size_t at = rng() % nw.size();
      switch (rng() % 3) {
        case 0: nw[at] ^= uint8_t(1 + rng() % 255); break;
        case 1: nw.insert(nw.begin() + at, 1 + rng() % 50, uint8_t(rng())); break;
        case 2: nw.erase(nw.begin() + at, nw.begin() + std::min(nw.size(), at + 1 + rng() % 50)); break;
      }
      if (nw.empty()) nw.push_back(1);
    }
    // Swap two blocks, so copies must seek back and forth.
    size_t a = rng() % nw.size(), b = rng() % nw.size();
    size_t len = std::min({size_t(rng() % 20000), nw.size() - std::max(a, b)});
    if (a > b) std::swap(a, b);
    if (a + len <= b) std::swap_ranges(nw.begin() + a, nw.begin() + a + len, nw.begin() + b);
    size_t size = ExpectRoundTrip(old, nw, "round " + std::to_string(round)).size();
    EXPECT_LT(size, nw.size() / 20 + 4000);
  }
}

TEST(DeltaRoundTrip, ExecutableWithShiftedCode) {
  // This test program as the old file; the new one has code inserted early
  // on (every later offset moves) and a few constants changed.
  std::ifstream in("/proc/self/exe", std::ios::binary);
  Bytes old((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (old.size() < 100000) GTEST_SKIP() << "no executable to read";
  Bytes nw = old;
  Bytes code = Random(3000, 9);
  nw.insert(nw.begin() + 4096, code.begin(), code.end());
  for (size_t at = 50000; at < nw.size(); at += 40000) nw[at] += 3;
  EXPECT_LT(ExpectRoundTrip(old, nw, "executable", false).size(), 3000 + old.size() / 50);
  EXPECT_LT(ExpectRoundTrip(old, nw, "executable, x86 references").size(), 3000 + old.size() / 50);
}

// A 32-bit PE file with one section from 0x400 to the end, whose bytes are
// thick with E8/E9, 00/FF and values that look like its addresses: chains
// of would-be references across the decoder's read boundaries.
Bytes DensePe(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  const uint8_t kinds[] = {0xE8, 0xE9, 0x00, 0xFF, 0x40, 0x41, 0x10};
  Bytes f(size);
  for (auto& b : f) b = rng() % 3 ? kinds[rng() % 7] : uint8_t(rng());
  auto put = [&](size_t at, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) f[at + i] = uint8_t(v >> (8 * i));
  };
  std::fill(f.begin(), f.begin() + 0x400, 0);
  put(0, 'M' | 'Z' << 8, 2);
  put(0x3C, 0x40, 4);
  put(0x40, 0x4550, 4);                   // "PE\0\0"
  put(0x44, 0x14C, 2);                    // i386
  put(0x46, 1, 2);                        // one section
  put(0x54, 0xE0, 2);                     // optional header size
  put(0x58 + 28, 0x400000, 4);            // image base
  put(0x138 + 8, uint32_t(size), 4);      // virtual size
  put(0x138 + 12, 0x1000, 4);             // address
  put(0x138 + 16, uint32_t(size - 0x400), 4);
  put(0x138 + 20, 0x400, 4);
  return f;
}

TEST(DeltaRoundTrip, PredictedCallsCostNothing) {
  // Calls between random places of a PE file, then the same program with a
  // block inserted in the middle: every call across it changes.
  const size_t kSize = 200000, kAt = 100000, kInserted = 64;
  std::mt19937 rng(6);
  std::vector<uint32_t> targets;
  for (size_t at = 0x400; at + 16 < kSize; at += 16) targets.push_back(uint32_t(0x400 + rng() % (kSize - 0x400)));
  auto build = [&](size_t inserted) {
    auto place = [&](size_t p) { return p < kAt ? p : p + inserted; };
    Bytes f = DensePe(kSize + inserted, 5);
    std::fill(f.begin() + 0x400, f.end(), 0x90);
    for (size_t i = 0; i < targets.size(); ++i) {
      size_t at = place(0x400 + 16 * i);
      uint32_t rel = uint32_t(place(targets[i]) - (at + 5));
      f[at] = 0xE8;
      for (int k = 0; k < 4; ++k) f[at + 1 + k] = uint8_t(rel >> (8 * k));
    }
    return f;
  };
  Bytes old = build(0), nw = build(kInserted);
  size_t plain = ExpectRoundTrip(old, nw, "calls", false).size();
  EXPECT_LT(ExpectRoundTrip(old, nw, "calls, predicted").size() * 10, plain);
}

TEST(DeltaRoundTrip, DenseReferences) {
  const Bytes old = DensePe(300000, 11);
  Bytes nw = old;
  nw.insert(nw.begin() + 70000, old.begin() + 1000, old.begin() + 9000);
  for (size_t at = 1100; at < nw.size(); at += 4099) nw[at] = uint8_t(at);
  EXPECT_EQ(ExpectRoundTrip(old, nw, "dense references")[5], 1) << "reference flag";
  ExpectRoundTrip(nw, old, "dense references, reversed");
  for (bool reversed : {false, true}) {
    SCOPED_TRACE(reversed ? "addresses, reversed" : "addresses");
    const Bytes& a = reversed ? nw : old;
    const Bytes& b = reversed ? old : nw;
    Bytes stream = pack::EncodeDelta(a, b, {.x86_addresses = true});
    MemorySource source(a);
    MemorySink sink;
    EXPECT_EQ(ApplyDelta(stream.data(), stream.size(), source, sink), ReadDeltaHead(stream.data(), stream.size()).new_crc);
    EXPECT_TRUE(sink.bytes == b);
  }
}

// A PE32 file (PE32+ when `wide`): `code` as its code section (file 0x400,
// address 0x401000), then a relocation section listing `relocs` (offsets
// into the code).
Bytes TablePe(const Bytes& code, const std::vector<uint32_t>& relocs, bool wide = false) {
  Bytes table;
  auto put = [](Bytes& f, size_t at, uint32_t v, int bytes) {
    if (f.size() < at + bytes) f.resize(at + bytes);
    for (int i = 0; i < bytes; ++i) f[at + i] = uint8_t(v >> (8 * i));
  };
  for (size_t i = 0; i < relocs.size();) {
    uint32_t page = (0x1000 + relocs[i]) & ~0xFFFu;
    size_t head = table.size();
    put(table, head, page, 4);
    for (; i < relocs.size() && ((0x1000 + relocs[i]) & ~0xFFFu) == page; ++i)
      put(table, table.size(), (wide ? 0xA000 : 0x3000) | ((0x1000 + relocs[i]) & 0xFFF), 2);
    if (table.size() % 4) put(table, table.size(), 0, 2);  // padding entry
    put(table, head + 4, uint32_t(table.size() - head), 4);
  }
  const uint32_t code_size = uint32_t(code.size()), reloc_va = 0x1000 + ((code_size + 0xFFF) & ~0xFFFu);
  Bytes f(0x400);
  put(f, 0, 'M' | 'Z' << 8, 2);
  put(f, 0x3C, 0x40, 4);
  put(f, 0x40, 0x4550, 4);
  put(f, 0x44, wide ? 0x8664 : 0x14C, 2);
  put(f, 0x46, 2, 2);                          // two sections
  const uint32_t dirs = wide ? 112 : 96, optional = wide ? 0xF0 : 0xE0;
  put(f, 0x54, optional, 2);                   // optional header size
  put(f, 0x58, wide ? 0x20B : 0x10B, 2);       // PE32 or PE32+
  put(f, 0x58 + (wide ? 24 : 28), 0x400000, 4);  // image base
  put(f, 0x58 + dirs - 4, 16, 4);              // data directories
  put(f, 0x58 + dirs + 40, reloc_va, 4);       // base relocations
  put(f, 0x58 + dirs + 44, uint32_t(table.size()), 4);
  const uint32_t sections[2][5] = {{code_size, 0x1000, code_size, 0x400, 0x60000020},
                                   {uint32_t(table.size()), reloc_va, uint32_t(table.size()), 0x400 + code_size, 0x42000040}};
  for (int s = 0; s < 2; ++s)
    for (int k = 0; k < 5; ++k) put(f, 0x58 + optional + 40 * s + 8 + 4 * k + (k == 4 ? 12 : 0), sections[s][k], 4);
  f.insert(f.end(), code.begin(), code.end());
  f.insert(f.end(), table.begin(), table.end());
  return f;
}

TEST(DeltaRoundTrip, PeTablesPredictAddressesAndCalls) {
  // Code of calls and relocated addresses between random places; the new
  // release has a block inserted in the middle: every reference across it
  // changes, and the references themselves mostly stay put.
  const size_t kSize = 120000, kAt = 60000, kInserted = 64;
  std::mt19937 rng(8);
  std::vector<uint32_t> targets;
  for (size_t at = 0; at + 16 < kSize; at += 16) targets.push_back(uint32_t(rng() % kSize));
  auto build = [&](size_t inserted) {
    auto place = [&](size_t p) { return uint32_t(p < kAt ? p : p + inserted); };
    Bytes code(kSize + inserted, 0x90), filler = Random(inserted, 4);
    std::copy(filler.begin(), filler.end(), code.begin() + kAt);
    std::vector<uint32_t> relocs;
    for (size_t i = 0; i < targets.size(); ++i) {
      uint32_t at = place(16 * i), call = uint32_t(place(targets[i]) - (at + 5));
      uint32_t address = 0x401000 + place(targets[(i * 7) % targets.size()]);
      code[at] = 0xE8;
      code[at + 8] = 0xB8;  // mov eax, address
      for (int k = 0; k < 4; ++k) code[at + 1 + k] = uint8_t(call >> (8 * k)), code[at + 9 + k] = uint8_t(address >> (8 * k));
      relocs.push_back(at + 9);
    }
    return TablePe(code, relocs);
  };
  const Bytes old = build(0), nw = build(kInserted);
  Bytes tables = ExpectRoundTrip(old, nw, "PE tables");
  EXPECT_EQ(tables[5], delta::kFlagReferences | delta::kFlagPeTables | delta::kFlagJumpIf);
  Bytes rule = pack::EncodeDelta(old, nw, {.pe_tables = false});
  EXPECT_LT(tables.size() * 4, rule.size()) << tables.size() << " against " << rule.size();
  // A damaged relocation table (an odd block size) falls back to the rule.
  Bytes damaged = old;
  damaged[0x400 + kSize + 4] |= 1;
  EXPECT_EQ(ExpectRoundTrip(damaged, nw, "damaged table")[5], delta::kFlagReferences);
}

// The new release's relocation table rebuilt from the old one's addresses:
// code inserted near the start moves most addresses (and their table's
// entries, which now straddle other pages), the new code adds addresses of
// its own and some old ones are no longer listed. With the labels the table
// costs a fraction of what it costs as bytes; without them (or for a new
// file whose table is damaged) the stream has no flag bit 4, and every
// stream rebuilds the file.
TEST(DeltaRoundTrip, RelocTableRebuiltFromLabels) {
  const size_t kSize = 200000, kAt = 3000, kInserted = 2000;
  auto build = [&](size_t inserted) {
    std::mt19937 rng(21);
    Bytes code = Random(kSize + inserted, 22);
    std::vector<uint32_t> relocs;
    for (uint32_t at = 0; at + 8 <= kSize; at += 8 + rng() % 24) {
      if (inserted && at % 97 == 0) continue;  // no longer listed
      relocs.push_back(at < kAt ? at : at + uint32_t(inserted));
    }
    for (uint32_t at = kAt; at < kAt + inserted; at += 40) relocs.push_back(at);  // the new code's own
    std::sort(relocs.begin(), relocs.end());
    // The old file's bytes again where the new one keeps them.
    if (inserted) {
      const Bytes old = Random(kSize, 22);
      std::copy(old.begin(), old.begin() + kAt, code.begin());
      std::copy(old.begin() + kAt, old.end(), code.begin() + kAt + inserted);
    }
    return TablePe(code, relocs);
  };
  const Bytes old = build(0), nw = build(kInserted);
  const Bytes labels = ExpectRoundTrip(old, nw, "labels");
  EXPECT_TRUE(labels[5] & delta::kFlagRelocTable);
  const Bytes plain = pack::EncodeDelta(old, nw, {.reloc_labels = false});
  EXPECT_FALSE(plain[5] & delta::kFlagRelocTable);
  MemorySource source(old);
  MemorySink sink;
  ApplyDelta(plain.data(), plain.size(), source, sink);
  EXPECT_TRUE(sink.bytes == nw);
  // Nearly all of the difference is the table: about 25 KB of entries.
  EXPECT_LT(labels.size() + 8000, plain.size()) << labels.size() << " against " << plain.size();
  // Damage in the head or the relocs section (the last one) and cuts give
  // a file (which the caller checks by its CRC) or the stream error, nothing else.
  for (size_t at = 0; at < labels.size(); at += at < 64 || at + 64 > labels.size() ? 1 : 997) {
    Bytes changed = labels;
    changed[at] ^= 0x5A;
    MemorySource from(old);
    MemorySink to;
    try {
      ApplyDelta(changed.data(), changed.size(), from, to);
    } catch (const Error& e) {
      ASSERT_EQ(e.Message(), kStreamReadError) << "byte " << at;
    }
    MemorySource cut_from(old);
    MemorySink cut_to;
    EXPECT_THROW(ApplyDelta(labels.data(), at, cut_from, cut_to), Error) << "cut to " << at;
  }
  // A table that did not change: the copies carry it for free, so the
  // stream is the one without the rebuilt table.
  Bytes edited = old;
  edited[0x1400] ^= 1;
  EXPECT_EQ(ExpectRoundTrip(old, edited, "same table"), pack::EncodeDelta(old, edited, {.reloc_labels = false}));
  // The new table's size in the directory points past its section: no table to rebuild.
  Bytes damaged = nw;
  damaged[0x58 + 96 + 44 + 2] = 0x7F;
  EXPECT_FALSE(ExpectRoundTrip(old, damaged, "no table")[5] & delta::kFlagRelocTable);
}

// 64-bit code: RIP-relative loads and conditional jumps between random
// places, a block inserted in the middle. Each kind of reference costs
// almost nothing once predicted, and streams without the new kinds still
// carry only the old flags.
TEST(DeltaRoundTrip, Pe32PlusRipRelativeAndConditionalJumps) {
  const size_t kSize = 120000, kAt = 60000, kInserted = 64;
  std::mt19937 rng(9);
  std::vector<uint32_t> targets;
  for (size_t at = 0; at + 16 < kSize; at += 16) targets.push_back(uint32_t(rng() % kSize));
  auto build = [&](size_t inserted) {
    auto place = [&](size_t p) { return uint32_t(p < kAt ? p : p + inserted); };
    Bytes code(kSize + inserted, 0x90), filler = Random(inserted, 5);
    std::copy(filler.begin(), filler.end(), code.begin() + kAt);
    for (size_t i = 0; i < targets.size(); ++i) {
      uint32_t at = place(16 * i);
      uint32_t load = uint32_t(place(targets[i]) - (at + 7));  // mov rax, [rip + load]
      uint32_t jump = uint32_t(place(targets[(i * 7) % targets.size()]) - (at + 14));  // jne
      const uint8_t head[] = {0x48, 0x8B, 0x05, 0, 0, 0, 0, 0x85, 0xC0, 0x0F, 0x85};
      std::copy(head, head + sizeof head, code.begin() + at);
      for (int k = 0; k < 4; ++k) code[at + 3 + k] = uint8_t(load >> (8 * k)), code[at + 11 + k] = uint8_t(jump >> (8 * k));
    }
    return TablePe(code, {}, true);
  };
  const Bytes old = build(0), nw = build(kInserted);
  const Bytes both = pack::EncodeDelta(old, nw, {.jump_if = true});
  ExpectRoundTrip(old, nw, "RIP");
  // The sections' LZMA tries run on several threads: the stream is the same on any count.
  for (unsigned jobs : {1u, 2u, 7u}) EXPECT_EQ(pack::EncodeDelta(old, nw, {.jobs = jobs}), both) << jobs << " threads";
  EXPECT_EQ(both[5], delta::kFlagReferences | delta::kFlagPeTables | delta::kFlagJumpIf | delta::kFlagRipRelative);
  const Bytes no_rip = pack::EncodeDelta(old, nw, {.jump_if = true, .rip_relative = false});
  const Bytes no_jumps = pack::EncodeDelta(old, nw, {.jump_if = false});
  const Bytes neither = pack::EncodeDelta(old, nw, {.jump_if = false, .rip_relative = false});
  EXPECT_EQ(neither[5], delta::kFlagReferences | delta::kFlagPeTables);
  EXPECT_LT(both.size() * 3, no_rip.size()) << both.size() << " against " << no_rip.size();
  EXPECT_LT(both.size() * 3, no_jumps.size()) << both.size() << " against " << no_jumps.size();
  for (const Bytes* stream : {&both, &no_rip, &no_jumps, &neither}) {
    MemorySource source(old);
    MemorySink sink;
    ApplyDelta(stream->data(), stream->size(), source, sink);
    EXPECT_EQ(sink.bytes, nw);
  }
}

// New code inserted into a PE file: calls (in PE32+ also RIP-relative
// loads) from every new place to a few old functions, between random bytes.
// Stored as targets, the calls repeat: the stream takes flag bit 6 and is
// clearly smaller than without; both streams rebuild the file.
TEST(DeltaRoundTrip, NewBytesNameTargets) {
  for (bool wide : {false, true}) {
    SCOPED_TRACE(wide ? "PE32+" : "PE32");
    const size_t kSize = 100000, kAt = 50000, kInserted = 24000;
    const Bytes old_code = Random(kSize, 31);
    Bytes added = Random(kInserted, 32);
    std::mt19937 rng(33);
    for (size_t at = 0; at + 16 <= kInserted; at += 8 + rng() % 8) {
      const bool load = wide && rng() % 2;
      const size_t p = at + (load ? 2 : 1), end = kAt + p + 4;
      const uint32_t target = uint32_t(0x400 + (rng() % 16) * 4096), d = uint32_t(target - end);
      if (load) added[at] = 0x8B, added[at + 1] = 0x05;  // mov eax, [rip + d]
      else added[at] = 0xE8;                             // call target
      for (int k = 0; k < 4; ++k) added[p + k] = uint8_t(d >> (8 * k));
    }
    Bytes new_code = old_code;
    new_code.insert(new_code.begin() + kAt, added.begin(), added.end());
    const Bytes old = TablePe(old_code, {}, wide), nw = TablePe(new_code, {}, wide);
    const Bytes targets = ExpectRoundTrip(old, nw, "targets");
    EXPECT_TRUE(targets[5] & delta::kFlagNewBytesTargets);
    const Bytes plain = pack::EncodeDelta(old, nw, {.new_bytes_targets = false});
    EXPECT_FALSE(plain[5] & delta::kFlagNewBytesTargets);
    EXPECT_LT(targets.size() + 2000, plain.size()) << targets.size() << " against " << plain.size();
    MemorySource source(old);
    MemorySink sink;
    ApplyDelta(plain.data(), plain.size(), source, sink);
    EXPECT_TRUE(sink.bytes == nw);
  }
  // Plain data keeps its new bytes as they are.
  const Bytes old = Random(50000, 34);
  Bytes nw = old;
  const Bytes more = Random(5000, 35);
  nw.insert(nw.begin() + 20000, more.begin(), more.end());
  EXPECT_FALSE(ExpectRoundTrip(old, nw, "data")[5] & delta::kFlagNewBytesTargets);
}

// The conversion and its inverse on bytes thick with opcodes, ModRM bytes
// and 00/FF: each undoes the other from either side, for pieces of any
// length at any offset, and converts something.
TEST(DeltaRoundTrip, TargetConversionIsABijection) {
  const uint8_t kinds[] = {0xE8, 0xE9, 0x00, 0xFF, 0x00, 0xFF, 0x8B, 0x8D, 0x84, 0x05, 0x15, 0x25, 0x35, 0x0D, 0x01};
  std::mt19937 rng(36);
  int changed = 0;
  for (int round = 0; round < 200; ++round) {
    Bytes b(1 + rng() % 300);
    for (auto& x : b) x = rng() % 3 ? kinds[rng() % std::size(kinds)] : uint8_t(rng());
    const uint64_t at = round % 2 ? rng() : uint64_t(rng()) << 20;
    const bool rip = round % 3 == 0;
    for (bool to_targets : {true, false}) {
      Bytes t = b;
      delta::ConvertTargets(t.data(), t.size(), at, rip, to_targets);
      changed += t != b;
      delta::ConvertTargets(t.data(), t.size(), at, rip, !to_targets);
      ASSERT_EQ(t, b) << "round " << round << (to_targets ? " there and back" : " back and there");
    }
  }
  EXPECT_GT(changed, 200);
}

// A new file past the scan's 1 MiB pieces, with 400 KB of new bytes (a
// section big enough to be coded once, with the model its sample picks): the
// stream is the same on any thread count, copies that cross a piece's end
// rebuild, and the cuts cost next to nothing.
TEST(DeltaRoundTrip, PiecesAndSampledSectionsOnAnyThreadCount) {
  const Bytes old = Random(1100000, 31);
  Bytes nw = old;
  for (size_t at = 7000; at < nw.size(); at += 65000) nw[at] ^= 0x21;
  const Bytes fresh = Random(400000, 32);
  nw.insert(nw.begin() + 1000000, fresh.begin(), fresh.end());  // the first piece ends in it
  nw.insert(nw.end(), old.begin() + 100, old.begin() + 100000);  // a copy read from far back
  const Bytes one = ExpectRoundTrip(old, nw, "pieces");
  EXPECT_EQ(pack::EncodeDelta(old, nw, {.jobs = 3}), one);
  EXPECT_LT(one.size(), fresh.size() + 2000);
}

// A new file of old pieces taken forward and backward, each followed by 12
// bytes found elsewhere and 10 random ones. Behind an x86 executable's head
// the short copies are folded into new bytes, and the seeks around them must
// still land. Other data keeps every copy: on random bytes folding costs,
// since new bytes do not compress.
TEST(DeltaRoundTrip, ShortCopiesFolded) {
  Bytes old = Random(200000, 11);
  std::mt19937 rng(12);
  Bytes nw;
  for (int piece = 0; piece < 300; ++piece) {
    size_t at = rng() % (old.size() - 600), n = 200 + rng() % 300;
    nw.insert(nw.end(), old.begin() + at, old.begin() + at + n);
    size_t near = rng() % (old.size() - 40);
    for (size_t k = 0; k < 22; ++k) nw.push_back(k >= 12 ? uint8_t(rng()) : old[near + k]);
  }
  EXPECT_EQ(pack::EncodeDelta(old, nw), pack::EncodeDelta(old, nw, {.fold_short_copies = false}));

  // "MZ", the PE head's place at 0x3C, "PE\0\0" and machine i386 there.
  Bytes head(0x80, 0);
  head[0] = 'M', head[1] = 'Z', head[0x3C] = 0x40;
  head[0x40] = 'P', head[0x41] = 'E', head[0x44] = 0x4C, head[0x45] = 0x01;
  old.insert(old.begin(), head.begin(), head.end());
  nw.insert(nw.begin(), head.begin(), head.end());
  const Bytes folded = ExpectRoundTrip(old, nw, "folded");
  const Bytes kept = pack::EncodeDelta(old, nw, {.fold_short_copies = false});
  EXPECT_NE(folded, kept);
  MemorySource source(old);
  MemorySink sink;
  ApplyDelta(kept.data(), kept.size(), source, sink);
  EXPECT_TRUE(sink.bytes == nw);
}

TEST(SuffixSort, MatchesPlainSort) {
  std::mt19937 rng(3);
  for (int round = 0; round < 200; ++round) {
    Bytes text(rng() % 300);
    int alphabet = 1 + round % 4;  // few symbols: many equal LMS substrings, deep recursion
    for (auto& c : text) c = uint8_t('a' + rng() % alphabet);
    std::vector<uint32_t> expect(text.size());
    std::iota(expect.begin(), expect.end(), 0);
    std::sort(expect.begin(), expect.end(), [&](uint32_t a, uint32_t b) {
      return std::lexicographical_compare(text.begin() + a, text.end(), text.begin() + b, text.end());
    });
    ASSERT_EQ(pack::SuffixSort(text), expect) << "round " << round;
  }
  // Whole bytes, 0 and 255 included, in runs, periods and noise.
  for (int round = 0; round < 12; ++round) {
    Bytes text(2000 + rng() % 3000);
    for (size_t i = 0; i < text.size(); ++i) {
      const size_t part = (i * 4 / text.size() + round) % 4;
      text[i] = part == 0 ? 0 : part == 1 ? uint8_t(i % 3 ? 255 : 0) : part == 2 ? uint8_t(i % 7 * 37) : uint8_t(rng());
    }
    std::vector<uint32_t> expect(text.size());
    std::iota(expect.begin(), expect.end(), 0);
    std::sort(expect.begin(), expect.end(), [&](uint32_t a, uint32_t b) {
      return std::lexicographical_compare(text.begin() + a, text.end(), text.begin() + b, text.end());
    });
    ASSERT_EQ(pack::SuffixSort(text), expect) << "bytes round " << round;
  }
}

}  // namespace
}  // namespace upkit::testing
