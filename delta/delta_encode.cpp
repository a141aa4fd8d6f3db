#include "delta/delta_encode.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "codec/crc32.h"
#include "codec/error.h"
#include "codec/lzma.h"
#include "delta/delta.h"
#include "delta/delta_blocks.h"
#include "delta/delta_format.h"
#include "delta/delta_pe.h"
#include "delta/delta_predict.h"
#include "delta/suffix_sort.h"

namespace upkit::pack {
namespace {

using Bytes = std::vector<uint8_t>;

// A zero run at least this long ends a stretch of difference bytes. Every
// zero run is best (measured with our compressor on executables): the zero
// runs and counts sections repeat well, the differences keep no zeros.
constexpr size_t kMinZeroRun = 1;

// Copies shorter than this are mostly bsdiff's filler between real matches:
// their offsets would mislead the reference maps.
constexpr int64_t kMinMapCopy = 32;

void PutVarint(Bytes& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(uint8_t(v) | 0x80);
    v >>= 7;
  }
  out.push_back(uint8_t(v));
}

void PutLe(Bytes& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

uint32_t Crc(std::span<const uint8_t> bytes) {
  uint32_t crc = 0;
  for (size_t at = 0; at < bytes.size();) {
    size_t n = std::min<size_t>(bytes.size() - at, 1u << 30);
    crc = Crc32Update(crc, bytes.data() + at, uint32_t(n));
    at += n;
  }
  return crc;
}

size_t CommonPrefix(const uint8_t* a, size_t an, const uint8_t* b, size_t bn) {
  size_t n = std::min(an, bn), i = 0;
  for (; i + 8 <= n; i += 8) {  // 8 bytes a step; the first differing byte from the low end
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) {
      if constexpr (std::endian::native == std::endian::little) return i + size_t(std::countr_zero(x ^ y) / 8);
      break;
    }
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// The longest match of `tail` among the old file's suffixes: the neighbours
// of tail's place in the suffix array. Returns its length; *pos its offset.
class MatchFinder {
 public:
  explicit MatchFinder(std::span<const uint8_t> old) : old_(old), sa_(SuffixSort(old)) {}

  size_t Longest(const uint8_t* tail, size_t n, int64_t* pos) const {
    Search q{tail, n, 0, sa_.size(), 0, 0};
    while (q.lo < q.hi) Probe(q);
    return Best(q, pos);
  }

 private:
  // Binary search for the first suffix not less than tail. Every suffix
  // sorted between the two bounds shares with tail at least the shorter of
  // the bounds' common prefixes with it, so each probe compares only from
  // there: a long match costs its length once, not once per probe.
  struct Search {
    const uint8_t* tail;
    size_t n, lo, hi;
    size_t lo_common, hi_common;  // common prefix of tail with suffix lo - 1, with suffix hi
  };

  void Probe(Search& q) const {
    const size_t mid = q.lo + (q.hi - q.lo) / 2;
    const uint8_t* s = old_.data() + sa_[mid];
    const size_t sn = old_.size() - sa_[mid];
    const size_t known = std::min(q.lo_common, q.hi_common);
    const size_t common = known + CommonPrefix(s + known, sn - known, q.tail + known, q.n - known);
    const bool less = common == q.n ? false : common == sn ? true : s[common] < q.tail[common];
    if (less)
      q.lo = mid + 1, q.lo_common = common;
    else
      q.hi = mid, q.hi_common = common;
  }

  // The neighbours of tail's place: suffix lo - 1 (when lo > 0) and lo (when
  // it exists); their common prefixes are the ones last measured. The
  // longer wins, the one before on a tie.
  size_t Best(const Search& q, int64_t* pos) const {
    size_t best = 0;
    *pos = 0;
    if (q.lo > 0 && q.lo_common > best) best = q.lo_common, *pos = sa_[q.lo - 1];
    if (q.lo < sa_.size() && q.hi_common > best) best = q.hi_common, *pos = sa_[q.lo];
    return best;
  }

  std::span<const uint8_t> old_;
  std::vector<uint32_t> sa_;
};

// One control triple: `copy` bytes from old_at to new_at, then `extra` new
// bytes, then the old position moves by `seek`.
struct Copy {
  int64_t new_at, old_at, copy, extra, seek;
};

// Codes the differences as runs of zeros and counts of the bytes after each.
void CodeRuns(const Bytes& d, Bytes& zero_runs, Bytes& counts, Bytes& literals) {
  size_t n = d.size(), i = 0;
  while (i < n) {
    size_t zeros = 0;
    while (i < n && d[i] == 0) ++zeros, ++i;
    size_t start = i, j = i;
    while (j < n) {
      if (d[j] != 0) {
        ++j;
        continue;
      }
      size_t k = j;
      while (k < n && d[k] == 0 && k - j < kMinZeroRun) ++k;
      if (k - j >= kMinZeroRun || k == n) break;
      j = k;
    }
    PutVarint(zero_runs, zeros);
    PutVarint(counts, j - start);
    literals.insert(literals.end(), d.begin() + start, d.begin() + j);
    i = j;
  }
}

// bsdiff's scan: find a match that beats simply continuing the previous copy
// by more than 8 bytes, then split the bytes between the previous match and
// this one into the previous copy extended forward, new bytes, and this
// copy extended backward.
std::vector<Copy> Scan(std::span<const uint8_t> old, std::span<const uint8_t> nw) {
  MatchFinder finder(old);
  std::vector<Copy> out;
  const int64_t n_old = int64_t(old.size()), n_new = int64_t(nw.size());
  auto same = [&](int64_t o, int64_t n) { return o >= 0 && o < n_old && old[o] == nw[n]; };

  int64_t scan = 0, len = 0, pos = 0, last_scan = 0, last_pos = 0, last_offset = 0;
  while (scan < n_new) {
    int64_t old_score = 0;
    int64_t scored = scan += len;
    for (; scan < n_new; ++scan) {
      len = int64_t(finder.Longest(nw.data() + scan, size_t(n_new - scan), &pos));
      for (; scored < scan + len; ++scored)
        if (same(scored + last_offset, scored)) ++old_score;
      if ((len == old_score && len != 0) || len > old_score + 8) break;
      if (same(scan + last_offset, scan)) --old_score;
    }
    if (len == old_score && scan != n_new) continue;

    // Widen the previous copy forward while more than half its bytes match.
    int64_t forward = 0;
    for (int64_t i = 0, s = 0, best = 0; last_scan + i < scan && last_pos + i < n_old;) {
      if (old[last_pos + i] == nw[last_scan + i]) ++s;
      ++i;
      if (s * 2 - i > best * 2 - forward) best = s, forward = i;
    }
    // Widen this match backward the same way.
    int64_t backward = 0;
    if (scan < n_new) {
      for (int64_t i = 1, s = 0, best = 0; scan >= last_scan + i && pos >= i; ++i) {
        if (old[pos - i] == nw[scan - i]) ++s;
        if (s * 2 - i > best * 2 - backward) best = s, backward = i;
      }
    }
    // Where the two overlap, cut at the point that keeps the most matches.
    if (last_scan + forward > scan - backward) {
      int64_t overlap = (last_scan + forward) - (scan - backward);
      int64_t s = 0, best = 0, cut = 0;
      for (int64_t i = 0; i < overlap; ++i) {
        if (nw[last_scan + forward - overlap + i] == old[last_pos + forward - overlap + i]) ++s;
        if (nw[scan - backward + i] == old[pos - backward + i]) --s;
        if (s > best) best = s, cut = i + 1;
      }
      forward += cut - overlap;
      backward -= cut;
    }
    int64_t extra = (scan - backward) - (last_scan + forward);
    int64_t seek = scan < n_new ? (pos - backward) - (last_pos + forward) : 0;
    out.push_back({last_scan, last_pos, forward, extra, seek});
    last_scan = scan - backward;
    last_pos = pos - backward;
    last_offset = pos - scan;
  }
  return out;
}

// What the encoder needs of a PE file: its image base and sections.
struct PeLayout {
  struct Section {
    uint64_t va, raw, raw_size, vsize;
    uint64_t name;  // the 8 name bytes
  };
  uint64_t image_base = 0;
  std::vector<Section> sections;
};

uint32_t Le(std::span<const uint8_t> f, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | f[at + i];
  return v;
}

// The layout of an x86 PE32 or PE32+ file (false for anything else);
// *wide for PE32+.
bool ReadPe(std::span<const uint8_t> f, PeLayout* pe, bool* wide) {
  if (f.size() < 64 || f[0] != 'M' || f[1] != 'Z') return false;
  size_t at = Le(f, 0x3C, 4);
  if (at > f.size() - 24 || Le(f, at, 4) != 0x4550) return false;
  uint32_t machine = Le(f, at + 4, 2);
  if (machine != 0x14C && machine != 0x8664) return false;
  *wide = machine == 0x8664;
  size_t count = Le(f, at + 6, 2), optional = Le(f, at + 20, 2);
  size_t table = at + 24 + optional;
  if (optional < 32 || table > f.size() || count > (f.size() - table) / 40) return false;
  pe->image_base = *wide ? Le(f, at + 24 + 24, 4) | uint64_t(Le(f, at + 24 + 28, 4)) << 32 : Le(f, at + 24 + 28, 4);
  for (size_t i = 0; i < count; ++i) {
    size_t h = table + 40 * i;
    uint64_t vsize = Le(f, h + 8, 4), va = Le(f, h + 12, 4), raw_size = Le(f, h + 16, 4), raw = Le(f, h + 20, 4);
    raw_size = std::min({raw_size, vsize ? vsize : raw_size, raw < f.size() ? f.size() - raw : 0});
    pe->sections.push_back({va, raw, raw_size, vsize, Le(f, h, 4) | uint64_t(Le(f, h + 4, 4)) << 32});
  }
  return true;
}

// A PE or ELF file for i386 or x86-64: where reference prediction pays.
bool IsX86Executable(std::span<const uint8_t> f) {
  if (f.size() >= 64 && f[0] == 'M' && f[1] == 'Z') {
    size_t pe = Le(f, 0x3C, 4);
    if (pe > f.size() - 6 || Le(f, pe, 4) != 0x4550) return false;  // "PE\0\0"
    uint32_t machine = Le(f, pe + 4, 2);
    return machine == 0x14C || machine == 0x8664;
  }
  if (f.size() >= 20 && f[0] == 0x7F && f[1] == 'E' && f[2] == 'L' && f[3] == 'F') {
    uint32_t machine = Le(f, 18, 2);
    return machine == 3 || machine == 62;
  }
  return false;
}

// Sorts the ranges, cuts what overlaps an earlier one and joins neighbours
// that moved alike.
delta::ShiftMap Tidy(std::vector<delta::Shift> ranges) {
  std::stable_sort(ranges.begin(), ranges.end(), [](auto& a, auto& b) { return a.start < b.start; });
  delta::ShiftMap map;
  for (delta::Shift r : ranges) {
    if (!map.ranges.empty()) {
      delta::Shift& last = map.ranges.back();
      r.start = std::max(r.start, last.end);
      if (r.start >= r.end) continue;
      if (r.start == last.end && r.delta == last.delta) {
        last.end = r.end;
        continue;
      }
    }
    map.ranges.push_back(r);
  }
  return map;
}

// The maps from where the copies put the old file's bytes; for PE files
// (32-bit only unless `wide_too`) also how the addresses of those bytes moved.
delta::ReferenceMaps BuildMaps(std::span<const uint8_t> old, std::span<const uint8_t> nw,
                               const std::vector<Copy>& copies, bool with_addresses, bool wide_too) {
  std::vector<delta::Shift> offsets;
  for (const Copy& c : copies)
    if (c.copy >= kMinMapCopy) offsets.push_back({uint64_t(c.old_at), uint64_t(c.old_at + c.copy), c.new_at - c.old_at});
  delta::ReferenceMaps maps;
  maps.offsets = Tidy(std::move(offsets));

  PeLayout old_pe, new_pe;
  bool old_wide, new_wide;
  if (!with_addresses || !ReadPe(old, &old_pe, &old_wide) || !ReadPe(nw, &new_pe, &new_wide) ||
      old_wide != new_wide || (old_wide && !wide_too))
    return maps;
  std::vector<delta::Shift> addresses;
  for (const delta::Shift& r : maps.offsets.ranges) {
    for (const auto& os : old_pe.sections) {
      uint64_t a = std::max(r.start, os.raw), b = std::min(r.end, os.raw + os.raw_size);
      if (a >= b) continue;
      uint64_t na = a + uint64_t(r.delta), nb = b + uint64_t(r.delta);
      for (const auto& ns : new_pe.sections) {
        if (na < ns.raw || nb > ns.raw + ns.raw_size) continue;
        uint64_t old_va = old_pe.image_base + os.va + (a - os.raw);
        uint64_t new_va = new_pe.image_base + ns.va + (na - ns.raw);
        addresses.push_back({old_va, old_va + (b - a), int64_t(new_va - old_va)});
        break;
      }
    }
  }
  // Zero-filled data past a section's bytes in the file (.bss) is never
  // copied; its variables move with their section (the one of the same name
  // and place in the new file). Measured: -21% on a Go executable. Filling
  // the gaps between copies the same way costs more than it saves.
  for (size_t i = 0; i < old_pe.sections.size() && i < new_pe.sections.size(); ++i) {
    const auto& os = old_pe.sections[i];
    const auto& ns = new_pe.sections[i];
    if (os.name != ns.name || os.vsize <= os.raw_size) continue;
    const uint64_t start = old_pe.image_base + os.va;
    addresses.push_back({start + os.raw_size, start + os.vsize, int64_t((new_pe.image_base + ns.va) - start)});
  }
  maps.addresses = Tidy(std::move(addresses));
  return maps;
}

struct SpanSource : DeltaSource {
  std::span<const uint8_t> old;
  explicit SpanSource(std::span<const uint8_t> o) : old(o) {}
  void ReadOld(uint64_t offset, uint8_t* out, size_t length) override {
    std::memcpy(out, old.data() + offset, length);
  }
};

// The file with its references normalized for matching: each branch's
// displacement replaced by a hash of the 8 bytes it lands on (calls of the
// same function then read the same in both releases wherever it moved), and
// each relocated address set to zero (addresses mostly point at data, whose
// bytes change more than code's: measured, zero matches better for them).
// Code that differs only in its references then matches in full.
Bytes Normalized(std::span<const uint8_t> file, const delta::PeTables& t, unsigned kinds) {
  Bytes out(file.begin(), file.end());
  for (uint32_t r : t.relocs) std::fill_n(out.begin() + r, t.width, 0);
  for (const auto& code : t.code)
    for (uint64_t p = code.start + 1; p + 4 <= code.end; ++p) {
      uint64_t target;
      const delta::TableRef kind = delta::FindTableRef(file.data(), file.size(), 0, size_t(p), t, kinds, &target);
      if (kind == delta::TableRef::kNone) continue;
      uint32_t h = 0;  // a RIP-relative operand mostly names data: like an address
      if (kind == delta::TableRef::kBranch) {
        h = 2166136261u;  // FNV-1a
        for (uint64_t k = target; k < target + 8 && k < code.end; ++k) h = (h ^ file[k]) * 16777619u;
      }
      for (int k = 0; k < 4; ++k) out[p + k] = uint8_t(h >> (8 * k));
    }
  return out;
}

// A short copy costs a control triple and its difference runs: where it
// matches fewer than this many bytes (after prediction) its bytes go as new
// bytes of the copy before it instead. Measured on the bench's executables
// (thresholds 8, 12, 16, 20, 24): 20 is best, -5.4 % on an 18 MB DLL.
constexpr int64_t kFoldBelow = 20;
constexpr int64_t kFoldLongest = 64;  // longer copies are kept whatever they match

std::vector<Copy> FoldShortCopies(std::span<const uint8_t> old, std::span<const uint8_t> nw,
                                  const delta::ReferenceMaps& maps, bool predict, std::vector<Copy> copies) {
  std::vector<Copy> kept;
  uint8_t predicted[kFoldLongest];
  for (const Copy& c : copies) {
    if (!kept.empty() && c.copy > 0 && c.copy < kFoldLongest) {
      const uint8_t* base = old.data() + c.old_at;
      if (predict) {
        delta::PredictCopy(old.data(), old.size(), 0, size_t(c.old_at), size_t(c.old_at + c.copy), c.new_at - c.old_at,
                           maps, predicted);
        base = predicted;
      }
      int64_t same = 0;
      for (int64_t i = 0; i < c.copy; ++i) same += base[i] == nw[c.new_at + i];
      if (same < kFoldBelow) {
        Copy& prev = kept.back();
        prev.extra += c.copy + c.extra;
        prev.seek = (c.old_at + c.copy + c.seek) - (prev.old_at + prev.copy);
        continue;
      }
    }
    kept.push_back(c);
  }
  return kept;
}

// The LZMA-coded form of each section, or nothing where storing it as it is
// is no larger. Each section gets the literal model that suits it best of a
// few (measured on the bench's executables: no position bits beat the
// default 2 in nearly every section; x86 code and control varints code best
// with 3 or 1 context bits, the differences often with none). The tries run
// on up to `jobs` threads, the largest sections first; the choice (the
// smallest, the earlier model on a tie) does not depend on their order.
constexpr lzma::EncodeOptions kSectionModels[] = {{3, 0, 0}, {1, 0, 0}, {0, 0, 0}};
constexpr size_t kModels = std::size(kSectionModels);

void CodeSections(const Bytes* const (&sections)[6], unsigned jobs, Bytes (&coded)[6]) {
  std::vector<size_t> tries;  // section * kModels + model
  for (size_t i = 0; i < 6; ++i)
    if (sections[i]->size() >= 16)
      for (size_t m = 0; m < kModels; ++m) tries.push_back(i * kModels + m);
  std::stable_sort(tries.begin(), tries.end(),
                   [&](size_t a, size_t b) { return sections[a / kModels]->size() > sections[b / kModels]->size(); });
  std::vector<Bytes> tried(6 * kModels);
  ParallelFor(tries.size(), jobs, [&](size_t k) {
    const size_t t = tries[k];
    tried[t] = lzma::Encode(*sections[t / kModels], kSectionModels[t % kModels]);
  });
  for (size_t i = 0; i < 6; ++i) {
    coded[i].clear();
    if (sections[i]->size() < 16) continue;
    size_t best = i * kModels;
    for (size_t m = 1; m < kModels; ++m)
      if (tried[i * kModels + m].size() < tried[best].size()) best = i * kModels + m;
    if (tried[best].size() < sections[i]->size()) coded[i] = std::move(tried[best]);
  }
}

}  // namespace

std::vector<uint8_t> EncodeDelta(std::span<const uint8_t> old_file, std::span<const uint8_t> new_file,
                                 const DeltaOptions& options) {
  const bool predict = options.x86_branches && IsX86Executable(old_file) && IsX86Executable(new_file);
  // The old file's PE tables name its references exactly: every relocated
  // address can then be mapped without false hits.
  delta::PeTables tables, new_tables;
  SpanSource old_source(old_file), new_source(new_file);
  const bool use_tables = predict && options.pe_tables && options.lzma &&
                          delta::ReadPeTables(old_source, old_file.size(), &tables);
  const unsigned kinds = (options.jump_if ? delta::kJumpIfRel32 : 0) | (options.rip_relative ? delta::kRipRelative : 0);
  std::vector<Copy> copies;
  if (use_tables && delta::ReadPeTables(new_source, new_file.size(), &new_tables)) {
    // Matched with the references normalized on both sides: the copies then
    // span code that differs only in them, and the maps predict them.
    copies = Scan(Normalized(old_file, tables, kinds), Normalized(new_file, new_tables, kinds));
  } else {
    copies = Scan(old_file, new_file);
  }
  delta::ReferenceMaps maps;
  Bytes map_bytes;
  if (predict) {
    maps = BuildMaps(old_file, new_file, copies, options.x86_addresses || use_tables, use_tables);
    delta::WriteMaps(maps, map_bytes);
    if (use_tables) maps.tables = &tables, maps.kinds = kinds;
  }

  Bytes control, diffs, extra, predicted;
  // Only in x86 executables: there a short copy that matches little is
  // mostly code the maps could not predict; in other data its new bytes
  // often compress worse than the copy's differences.
  if (options.fold_short_copies && predict) copies = FoldShortCopies(old_file, new_file, maps, predict, std::move(copies));
  for (const Copy& c : copies) {
    PutVarint(control, uint64_t(c.copy));
    PutVarint(control, uint64_t(c.extra));
    PutVarint(control, c.seek >= 0 ? uint64_t(c.seek) << 1 : (uint64_t(-(c.seek + 1)) << 1) | 1);
    const uint8_t* base = old_file.data() + c.old_at;
    if (predict) {
      predicted.resize(size_t(c.copy));
      delta::PredictCopy(old_file.data(), old_file.size(), 0, size_t(c.old_at), size_t(c.old_at + c.copy),
                         c.new_at - c.old_at, maps, predicted.data());
      base = predicted.data();
    }
    for (int64_t i = 0; i < c.copy; ++i) diffs.push_back(uint8_t(new_file[c.new_at + i] - base[i]));
    auto from = new_file.begin() + (c.new_at + c.copy);
    extra.insert(extra.end(), from, from + c.extra);
  }
  Bytes zero_runs, counts, literals;
  CodeRuns(diffs, zero_runs, counts, literals);

  Bytes out(delta::kMagic, delta::kMagic + 4);
  out.push_back(options.lzma ? delta::kVersionLzma : delta::kVersionPlain);
  uint8_t flags = (predict ? delta::kFlagReferences : 0) | (use_tables ? delta::kFlagPeTables : 0);
  if (use_tables && (kinds & delta::kJumpIfRel32)) flags |= delta::kFlagJumpIf;
  if (use_tables && (kinds & delta::kRipRelative) && tables.width == 8) flags |= delta::kFlagRipRelative;
  out.push_back(flags);
  PutLe(out, old_file.size(), 8);
  PutLe(out, Crc(old_file), 4);
  PutLe(out, new_file.size(), 8);
  PutLe(out, Crc(new_file), 4);
  const Bytes* sections[] = {&control, &zero_runs, &counts, &literals, &extra, &map_bytes};
  for (const Bytes* section : sections) PutVarint(out, section->size());
  if (!options.lzma) {
    for (const Bytes* section : sections) out.insert(out.end(), section->begin(), section->end());
    return out;
  }
  Bytes coded[6];
  CodeSections(sections, options.jobs, coded);
  for (const Bytes& c : coded) PutVarint(out, c.size());
  for (int i = 0; i < 6; ++i) {
    const Bytes& bytes = coded[i].empty() ? *sections[i] : coded[i];
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return out;
}

std::vector<uint8_t> StoreSections(std::span<const uint8_t> stream, unsigned stored) {
  const std::vector<uint8_t> same(stream.begin(), stream.end());
  if (stream.size() < delta::kFixedHeadSize || stream[4] != delta::kVersionLzma) return same;
  size_t at = delta::kFixedHeadSize;
  uint64_t lengths[12];  // the six section lengths, then the six coded lengths
  for (uint64_t& v : lengths) {
    v = 0;
    for (int shift = 0;; shift += 7) {
      if (at >= stream.size() || shift > 63) return same;
      v |= uint64_t(stream[at] & 0x7F) << shift;
      if ((stream[at++] & 0x80) == 0) break;
    }
  }
  Bytes out(stream.begin(), stream.begin() + delta::kFixedHeadSize);
  for (int i = 0; i < 6; ++i) PutVarint(out, lengths[i]);
  Bytes body;
  for (int i = 0; i < 6; ++i) {
    const uint64_t coded = lengths[6 + i], taken = coded != 0 ? coded : lengths[i];
    if (taken > stream.size() - at) return same;
    const uint8_t* bytes = stream.data() + at;
    at += size_t(taken);
    if (coded == 0 || !(stored >> i & 1)) {
      PutVarint(out, coded);
      body.insert(body.end(), bytes, bytes + taken);
      continue;
    }
    PutVarint(out, 0);
    const size_t plain = body.size();
    body.resize(plain + size_t(lengths[i]));
    try {
      lzma::Decoder decoder(bytes, size_t(coded), lengths[i]);
      decoder.Read(body.data() + plain, size_t(lengths[i]));
    } catch (const Error&) {
      return same;
    }
  }
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

bool DeltaRebuilds(std::span<const uint8_t> stream, std::span<const uint8_t> old_file,
                   std::span<const uint8_t> new_file) {
  return DeltaRebuildsSources(stream, SpanByteSource(old_file), SpanByteSource(new_file));
}

}  // namespace upkit::pack
