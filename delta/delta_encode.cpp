#include "delta/delta_encode.h"

#include <algorithm>
#include <bit>
#include <iterator>
#include <cstring>

#include "codec/crc32.h"
#include "codec/error.h"
#include "codec/lzma.h"
#include "delta/delta.h"
#include "delta/byte_source.h"
#include "delta/delta_format.h"
#include "delta/delta_pe.h"
#include "delta/delta_predict.h"
#include "delta/delta_relocs.h"
#include "delta/delta_targets.h"
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
  explicit MatchFinder(std::span<const uint8_t> old) : old_(old), sa_(SuffixSort(old)), first_(kKeys + 1, 0) {
    // first_[k]: how many suffixes sort before every one that starts with
    // the two bytes k (high byte first). The one-byte suffix x sorts before
    // all that start with x.
    for (size_t i = 0; i + 1 < old.size(); ++i) ++first_[(size_t(old[i]) << 8 | old[i + 1]) + 1];
    if (!old.empty()) ++first_[size_t(old.back()) << 8];
    for (size_t k = 0; k < kKeys; ++k) first_[k + 1] += first_[k];
    // The same by the third byte within each bucket of more than kSplit
    // suffixes (at most size / kSplit tables of 257 entries); the two-byte
    // suffix sorts first in its bucket.
    for (size_t k = 0; k < kKeys; ++k)
      if (first_[k + 1] - first_[k] > kSplit) split_[k] = int32_t(third_.size() / 257), third_.resize(third_.size() + 257);
    for (size_t i = 0; i + 2 < old.size(); ++i) {
      const int32_t t = split_[size_t(old[i]) << 8 | old[i + 1]];
      if (t >= 0) ++third_[size_t(t) * 257 + old[i + 2] + 1];
    }
    if (old.size() >= 2) {
      const int32_t t = split_[size_t(old[old.size() - 2]) << 8 | old.back()];
      if (t >= 0) ++third_[size_t(t) * 257];
    }
    for (size_t k = 0; k < kKeys; ++k) {
      if (split_[k] < 0) continue;
      uint32_t* table = third_.data() + size_t(split_[k]) * 257;
      table[0] += first_[k];
      for (size_t c = 0; c < 256; ++c) table[c + 1] += table[c];
    }
  }

  size_t Longest(const uint8_t* tail, size_t n, int64_t* pos) const {
    Search q{tail, n, 0, sa_.size(), 0, 0};
    if (n >= 2) {
      // The place of tail lies among the suffixes that start with its first
      // two bytes (three in a big bucket): the search starts there, knowing
      // its common prefix with the suffixes either side (the same search,
      // fewer probes).
      const size_t key = size_t(tail[0]) << 8 | tail[1];
      q.lo = first_[key], q.hi = first_[key + 1];
      if (n >= 3 && split_[key] >= 0) {
        const uint32_t* table = third_.data() + size_t(split_[key]) * 257 + tail[2];
        q.lo = table[0], q.hi = table[1];
      }
      if (q.lo > 0) q.lo_common = Common(q.lo - 1, q);
      if (q.hi < sa_.size()) q.hi_common = Common(q.hi, q);
    }
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

  static constexpr size_t kKeys = 1 << 16;
  static constexpr uint32_t kSplit = 4096;

  size_t Common(size_t at, const Search& q) const {
    return CommonPrefix(old_.data() + sa_[at], old_.size() - sa_[at], q.tail, q.n);
  }

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
  std::vector<uint32_t> first_;
  std::vector<int32_t> split_ = std::vector<int32_t>(kKeys, -1);  // per two-byte key: its table in third_, or -1
  std::vector<uint32_t> third_;
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

// bsdiff's scan of the new bytes [begin, end), matched as though they were
// the whole new file: find a match that beats simply continuing the previous
// copy by more than 8 bytes, then split the bytes between the previous match
// and this one into the previous copy extended forward, new bytes, and this
// copy extended backward. The last copy seeks nowhere.
std::vector<Copy> ScanPiece(const MatchFinder& finder, std::span<const uint8_t> old, std::span<const uint8_t> all,
                            size_t begin, size_t end) {
  const std::span<const uint8_t> nw = all.subspan(begin, end - begin);
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
    out.push_back({int64_t(begin) + last_scan, last_pos, forward, extra, seek});
    last_scan = scan - backward;
    last_pos = pos - backward;
    last_offset = pos - scan;
  }
  return out;
}

// The new file is scanned in pieces of this many bytes, on up to `jobs`
// threads. The pieces lie where they lie whatever the thread count, so the
// copies do not depend on it. A cut costs at most a copy split in two and
// the new bytes before the next piece's first match: measured on the bench's
// 18 MB DLL, 191 bytes of a 1.56 MB stream (0.012 %).
constexpr size_t kScanPiece = size_t(1) << 20;

std::vector<Copy> Scan(std::span<const uint8_t> old, std::span<const uint8_t> nw, unsigned jobs) {
  const MatchFinder finder(old);
  const size_t pieces = std::max<size_t>(1, (nw.size() + kScanPiece - 1) / kScanPiece);
  std::vector<std::vector<Copy>> found(pieces);
  ParallelFor(pieces, jobs, [&](size_t i) {
    found[i] = ScanPiece(finder, old, nw, i * kScanPiece, std::min(nw.size(), (i + 1) * kScanPiece));
  });
  std::vector<Copy> out = std::move(found[0]);
  for (size_t i = 1; i < pieces; ++i) {
    // The piece before ends on a copy that seeks nowhere: it now seeks to
    // where this piece's first copy reads.
    if (!found[i].empty()) {
      Copy& last = out.back();
      last.seek = found[i].front().old_at - (last.old_at + last.copy);
    }
    out.insert(out.end(), found[i].begin(), found[i].end());
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

// Where the base relocation table of a PE file lies in it (directory 5
// through its sections); false when it has none there.
bool RelocTableRange(std::span<const uint8_t> f, const PeLayout& pe, bool wide, uint64_t* start, uint64_t* length) {
  const size_t at = Le(f, 0x3C, 4), opt = at + 24, dir = opt + (wide ? 112 : 96) + 5 * 8;
  if (dir + 8 > opt + Le(f, at + 20, 2) || dir + 8 > f.size()) return false;
  const uint64_t rva = Le(f, dir, 4), size = Le(f, dir + 4, 4);
  for (const auto& s : pe.sections)
    if (size && rva >= s.va && rva - s.va < s.raw_size && size <= s.raw_size - (rva - s.va)) {
      *start = s.raw + (rva - s.va), *length = size;
      return true;
    }
  return false;
}

// The plan that rebuilds the new file's relocation table from the old one's
// mapped addresses, and the table's bytes as the decoder rebuilds them; false
// when the new file has no table or the rebuilt one would match less than
// half its bytes.
bool PlanRelocs(std::span<const uint8_t> nw, const delta::PeTables& old_tables, const delta::PeTables& new_tables,
                const delta::ShiftMap& offsets, delta::RelocPlan* plan, Bytes* rebuilt) {
  PeLayout pe;
  bool wide;
  if (!ReadPe(nw, &pe, &wide) || (wide ? 8u : 4u) != old_tables.width || new_tables.width != old_tables.width ||
      !RelocTableRange(nw, pe, wide, &plan->start, &plan->length))
    return false;
  for (const auto& s : pe.sections)
    if (s.raw_size && s.va + s.raw_size <= UINT32_MAX) plan->sections.push_back({s.raw, s.raw_size, s.va});
  if (plan->sections.size() > delta::kMaxPlanSections) return false;
  // The new file's listed addresses as image addresses, through the same sections.
  std::vector<uint32_t> listed;
  for (uint32_t y : new_tables.relocs)
    for (const auto& s : plan->sections)
      if (y >= s.raw && y - s.raw < s.size && new_tables.width <= s.size - (y - s.raw)) {
        listed.push_back(uint32_t(s.rva + (y - s.raw)));
        break;
      }
  std::sort(listed.begin(), listed.end());
  listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
  const std::vector<uint32_t> mapped = delta::MappedRelocs(old_tables, offsets, *plan);
  std::set_difference(listed.begin(), listed.end(), mapped.begin(), mapped.end(), std::back_inserter(plan->added));
  std::set_difference(mapped.begin(), mapped.end(), listed.begin(), listed.end(), std::back_inserter(plan->dropped));
  rebuilt->assign(size_t(plan->length), 0);
  delta::RelocTableBytes table;
  table.Reset(delta::PlannedRelocs(mapped, *plan), old_tables.width);
  table.AddTo(rebuilt->data(), rebuilt->size());
  size_t same = 0;
  for (size_t i = 0; i < rebuilt->size(); ++i) same += (*rebuilt)[i] == nw[size_t(plan->start) + i];
  return same * 2 > rebuilt->size();
}

// Copies cut where they reach the new bytes [start, end): what they carried
// from there on goes as new bytes, which the rebuilt table then predicts.
std::vector<Copy> CutCopies(std::vector<Copy> copies, int64_t start, int64_t end) {
  for (Copy& c : copies) {
    if (c.new_at + c.copy <= start || c.new_at >= end) continue;
    const int64_t keep = std::max<int64_t>(0, start - c.new_at);
    c.extra += c.copy - keep;
    c.seek += c.copy - keep;
    c.copy = keep;
  }
  return copies;
}

// Whether rebuilding the new file's relocation table makes the stream
// smaller. The two streams differ only in the table's bytes: without the
// table they are what the copies there leave as differences (new bytes where
// no copy reaches), with it what the rebuilt table leaves, plus the plan's
// seventh section. Each side's bytes are LZMA-coded alone and the coded sizes
// compared, instead of coding both whole streams and keeping the smaller:
// that took a second coding of every section.
bool TablePays(std::span<const uint8_t> old, std::span<const uint8_t> nw, const std::vector<Copy>& copies,
               const delta::ReferenceMaps& maps, bool predict, const delta::RelocPlan& plan, const Bytes& rebuilt,
               const Bytes& plan_bytes) {
  const int64_t start = int64_t(plan.start), end = int64_t(plan.start + plan.length);
  Bytes without(nw.begin() + start, nw.begin() + end), with(size_t(end - start)), predicted;
  for (size_t i = 0; i < with.size(); ++i) with[i] = uint8_t(nw[size_t(start) + i] - rebuilt[i]);
  for (const Copy& c : copies) {
    if (c.new_at + c.copy <= start || c.new_at >= end) continue;
    const uint8_t* base = old.data() + c.old_at;
    if (predict) {
      predicted.resize(size_t(c.copy));
      delta::PredictCopy(old.data(), old.size(), 0, size_t(c.old_at), size_t(c.old_at + c.copy), c.new_at - c.old_at,
                         maps, predicted.data());
      base = predicted.data();
    }
    for (int64_t q = std::max(start, c.new_at); q < std::min(end, c.new_at + c.copy); ++q)
      without[size_t(q - start)] = uint8_t(nw[size_t(q)] - base[q - c.new_at]);
  }
  auto coded = [](const Bytes& b) { return std::min(b.size(), lzma::Encode(b).size()); };
  // Two length varints more for the seventh section.
  return coded(with) + coded(plan_bytes) + 2 < coded(without);
}

// The LZMA-coded form of each section, or nothing where storing it as it is
// is no larger. Each section gets the literal model that suits it best of a
// few (measured on the bench's executables: no position bits beat the
// default 2 in nearly every section; x86 code and control varints code best
// with 3 or 1 context bits, the differences often with none). The tries run
// on up to `jobs` threads, the largest sections first; the choice (the
// smallest, the earlier model on a tie) does not depend on their order.
// A preset primes every coder (PrimedStream's sections).
//
// A section of kSampleFrom bytes or more (unprimed) is coded once, with the
// model that codes a sample of it smallest: kSlices slices of kSlice bytes
// spread evenly over it. Coding it whole with every model took most of the
// encoder's LZMA time; on the bench's sections the sample picked the best
// model, or one within 0.02 %.
constexpr lzma::EncodeOptions kSectionModels[] = {{3, 0, 0}, {1, 0, 0}, {0, 0, 0}};
constexpr size_t kModels = std::size(kSectionModels);
constexpr size_t kSlices = 8, kSlice = 16 << 10, kSampleFrom = 3 * kSlices * kSlice;

Bytes Sample(const Bytes& section) {
  Bytes out;
  out.reserve(kSlices * kSlice);
  for (size_t k = 0; k < kSlices; ++k) {
    const size_t at = (section.size() - kSlice) * k / (kSlices - 1);
    out.insert(out.end(), section.begin() + at, section.begin() + at + kSlice);
  }
  return out;
}

// Sections from `all_models` on try the first model only, and whole.
void CodeSections(std::span<const Bytes* const> sections, unsigned jobs, Bytes* coded,
                  std::span<const uint8_t> preset = {}, size_t all_models = SIZE_MAX) {
  const size_t n = sections.size();
  auto sampled = [&](size_t i) { return preset.empty() && i < all_models && sections[i]->size() >= kSampleFrom; };
  // First the samples' tries, then every other try (section * kModels +
  // model): for a sampled section only its chosen model, coded whole.
  std::vector<Bytes> samples(n), sample_tries(n * kModels);
  std::vector<size_t> sample_jobs;
  for (size_t i = 0; i < n; ++i)
    if (sampled(i)) {
      samples[i] = Sample(*sections[i]);
      for (size_t m = 0; m < kModels; ++m) sample_jobs.push_back(i * kModels + m);
    }
  ParallelFor(sample_jobs.size(), jobs, [&](size_t k) {
    const size_t t = sample_jobs[k];
    sample_tries[t] = lzma::Encode(samples[t / kModels], kSectionModels[t % kModels]);
  });
  auto models = [&](size_t i) { return i < all_models ? kModels : 1; };
  auto smallest = [&](const std::vector<Bytes>& tried, size_t i) {
    size_t best = i * kModels;
    for (size_t m = 1; m < models(i); ++m)
      if (tried[i * kModels + m].size() < tried[best].size()) best = i * kModels + m;
    return best;
  };
  std::vector<size_t> tries;
  for (size_t i = 0; i < n; ++i) {
    if (sampled(i)) {
      tries.push_back(smallest(sample_tries, i));
    } else if (sections[i]->size() >= 16) {
      for (size_t m = 0; m < models(i); ++m) tries.push_back(i * kModels + m);
    }
  }
  std::stable_sort(tries.begin(), tries.end(),
                   [&](size_t a, size_t b) { return sections[a / kModels]->size() > sections[b / kModels]->size(); });
  std::vector<Bytes> tried(n * kModels);
  ParallelFor(tries.size(), jobs, [&](size_t k) {
    const size_t t = tries[k];
    tried[t] = lzma::Encode(*sections[t / kModels], kSectionModels[t % kModels], preset);
  });
  for (size_t i = 0; i < n; ++i) {
    coded[i].clear();
    if (sections[i]->size() < 16) continue;
    const size_t best = sampled(i) ? smallest(sample_tries, i) : smallest(tried, i);
    if (tried[best].size() < sections[i]->size()) coded[i] = std::move(tried[best]);
  }
}

// One section coded with a preset on one thread: empty when storing is no larger.
Bytes CodeSection(const Bytes& section, std::span<const uint8_t> preset) {
  const Bytes* one[] = {&section};
  Bytes coded;
  CodeSections(one, 1, &coded, preset);
  return coded;
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
  const bool both_tables = use_tables && delta::ReadPeTables(new_source, new_file.size(), &new_tables);
  if (both_tables) {
    // Matched with the references normalized on both sides: the copies then
    // span code that differs only in them, and the maps predict them.
    copies = Scan(Normalized(old_file, tables, kinds), Normalized(new_file, new_tables, kinds), options.jobs);
  } else {
    copies = Scan(old_file, new_file, options.jobs);
  }
  delta::ReferenceMaps maps;
  Bytes map_bytes;
  if (predict) {
    maps = BuildMaps(old_file, new_file, copies, options.x86_addresses || use_tables, use_tables);
    delta::WriteMaps(maps, map_bytes);
    if (use_tables) maps.tables = &tables, maps.kinds = kinds;
  }

  // Only in x86 executables: there a short copy that matches little is
  // mostly code the maps could not predict; in other data its new bytes
  // often compress worse than the copy's differences.
  if (options.fold_short_copies && predict) copies = FoldShortCopies(old_file, new_file, maps, predict, std::move(copies));
  delta::RelocPlan plan;
  Bytes rebuilt, plan_bytes;  // the rebuilt table's bytes, added to those written over it
  const bool relocs = both_tables && options.reloc_labels &&
                      PlanRelocs(new_file, tables, new_tables, maps.offsets, &plan, &rebuilt);
  if (relocs) delta::WriteRelocPlan(plan, plan_bytes);

  // The whole stream from `copies`, with the table rebuilt or not.
  auto assemble = [&](const std::vector<Copy>& copies, bool with_table) {
    // The byte the new file has at q less what the rebuilt table adds there.
    auto want = [&](int64_t q) {
      const uint64_t at = uint64_t(q) - plan.start;
      return with_table && at < plan.length ? uint8_t(new_file[size_t(q)] - rebuilt[size_t(at)]) : new_file[size_t(q)];
    };
    Bytes control, diffs, extra, predicted;
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
      for (int64_t i = 0; i < c.copy; ++i) diffs.push_back(uint8_t(want(c.new_at + i) - base[i]));
      for (int64_t i = 0; i < c.extra; ++i) extra.push_back(want(c.new_at + c.copy + i));
    }
    Bytes zero_runs, counts, literals;
    CodeRuns(diffs, zero_runs, counts, literals);
    // In x86 executables the new bytes also go with their branches naming
    // targets (flag bit 6), kept when that codes smaller.
    const bool rip = use_tables && (kinds & delta::kRipRelative) && tables.width == 8;
    Bytes targets;
    if (predict && options.lzma && options.new_bytes_targets) {
      targets = extra;
      size_t at = 0;
      for (const Copy& c : copies)
        for (int64_t done = 0; done < c.extra; done += int64_t(delta::kTargetPiece)) {
          const size_t n = size_t(std::min<int64_t>(c.extra - done, int64_t(delta::kTargetPiece)));
          delta::ConvertTargets(targets.data() + at, n, uint64_t(c.new_at + c.copy + done), rip, true);
          at += n;
        }
    }

    Bytes out(delta::kMagic, delta::kMagic + 4);
    out.push_back(options.lzma ? delta::kVersionLzma : delta::kVersionPlain);
    uint8_t flags = (predict ? delta::kFlagReferences : 0) | (use_tables ? delta::kFlagPeTables : 0);
    if (use_tables && (kinds & delta::kJumpIfRel32)) flags |= delta::kFlagJumpIf;
    if (rip) flags |= delta::kFlagRipRelative;
    if (with_table) flags |= delta::kFlagRelocTable;
    out.push_back(flags);
    PutLe(out, old_file.size(), 8);
    PutLe(out, BufferCrc(old_file.data(), old_file.size()), 4);
    PutLe(out, new_file.size(), 8);
    PutLe(out, BufferCrc(new_file.data(), new_file.size()), 4);
    const Bytes* all[] = {&control, &zero_runs, &counts, &literals, &extra, &map_bytes, &plan_bytes};
    const std::span<const Bytes* const> sections(all, with_table ? 7 : 6);
    for (const Bytes* section : sections) PutVarint(out, section->size());
    if (!options.lzma) {
      for (const Bytes* section : sections) out.insert(out.end(), section->begin(), section->end());
      return out;
    }
    Bytes coded[8];
    {
      // The new bytes both ways in one go: the stream's sections, then the
      // converted ones, with the literal model x86 code takes (3 context bits).
      std::vector<const Bytes*> tries(sections.begin(), sections.end());
      if (!targets.empty()) tries.push_back(&targets);
      const size_t n = sections.size();
      CodeSections(tries, options.jobs, coded, {}, n);
      auto taken = [&](size_t i, const Bytes& raw) { return coded[i].empty() ? raw.size() : coded[i].size(); };
      if (!targets.empty() && taken(n, targets) < taken(kSectionExtra, extra)) {
        extra = std::move(targets);
        coded[kSectionExtra] = std::move(coded[n]);
        out[5] |= delta::kFlagNewBytesTargets;
      }
    }
    for (size_t i = 0; i < sections.size(); ++i) PutVarint(out, coded[i].size());
    for (size_t i = 0; i < sections.size(); ++i) {
      const Bytes& bytes = coded[i].empty() ? *sections[i] : coded[i];
      out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
  };
  if (relocs && TablePays(old_file, new_file, copies, maps, predict, plan, rebuilt, plan_bytes))
    return assemble(CutCopies(copies, int64_t(plan.start), int64_t(plan.start + plan.length)), true);
  return assemble(copies, false);
}

namespace {

// An ordinary version 2 stream taken apart: its fixed head, the six section
// lengths and coded lengths (seven with flag bit 4), and each section's bytes
// as they lie.
struct StreamParts {
  std::span<const uint8_t> head;
  int count = 6;
  uint64_t sizes[7], coded[7];
  std::span<const uint8_t> bodies[7];
};

bool Parse(std::span<const uint8_t> stream, StreamParts* parts) {
  if (stream.size() < delta::kFixedHeadSize || stream[4] != delta::kVersionLzma || (stream[5] & delta::kFlagPrimed))
    return false;
  parts->head = stream.first(delta::kFixedHeadSize);
  size_t at = delta::kFixedHeadSize;
  parts->count = stream[5] & delta::kFlagRelocTable ? 7 : 6;
  for (int i = 0; i < 2 * parts->count; ++i) {
    uint64_t& v = i < parts->count ? parts->sizes[i] : parts->coded[i - parts->count];
    v = 0;
    for (int shift = 0;; shift += 7) {
      if (at >= stream.size() || shift > 63) return false;
      v |= uint64_t(stream[at] & 0x7F) << shift;
      if ((stream[at++] & 0x80) == 0) break;
    }
  }
  for (int i = 0; i < parts->count; ++i) {
    const uint64_t taken = parts->coded[i] != 0 ? parts->coded[i] : parts->sizes[i];
    if (taken > stream.size() - at) return false;
    parts->bodies[i] = stream.subspan(at, size_t(taken));
    at += size_t(taken);
  }
  return at == stream.size();
}

// Section i as decoded; raises Error when its coding is malformed.
Bytes Decoded(const StreamParts& parts, int i) {
  if (parts.coded[i] == 0) return Bytes(parts.bodies[i].begin(), parts.bodies[i].end());
  Bytes out(size_t(parts.sizes[i]));
  lzma::Decoder decoder(parts.bodies[i].data(), parts.bodies[i].size(), parts.sizes[i]);
  decoder.Read(out.data(), out.size());
  return out;
}

}  // namespace

std::vector<uint8_t> StoreSections(std::span<const uint8_t> stream, unsigned stored) {
  const std::vector<uint8_t> same(stream.begin(), stream.end());
  StreamParts parts;
  if (!Parse(stream, &parts)) return same;
  Bytes out(parts.head.begin(), parts.head.end());
  for (int i = 0; i < parts.count; ++i) PutVarint(out, parts.sizes[i]);
  Bytes body;
  for (int i = 0; i < parts.count; ++i) {
    const std::span<const uint8_t> bytes = parts.bodies[i];
    if (parts.coded[i] == 0 || !(stored >> i & 1)) {
      PutVarint(out, parts.coded[i]);
      body.insert(body.end(), bytes.begin(), bytes.end());
      continue;
    }
    PutVarint(out, 0);
    try {
      const Bytes plain = Decoded(parts, i);
      body.insert(body.end(), plain.begin(), plain.end());
    } catch (const Error&) {
      return same;
    }
  }
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::vector<uint8_t> PrimedStream(std::span<const uint8_t> prime, std::span<const uint8_t> stream) {
  const std::vector<uint8_t> same(stream.begin(), stream.end());
  StreamParts before, parts;
  if (!Parse(prime, &before) || !Parse(stream, &parts)) return same;
  Bytes coded[7];
  unsigned primed = 0;
  try {
    for (int i = 0; i < parts.count; ++i) {
      coded[i].assign(parts.bodies[i].begin(), parts.bodies[i].end());
      if (!(delta::kPrimableSections >> i & 1)) continue;
      const Bytes plain = Decoded(parts, i), preset = Decoded(before, i);
      if (preset.empty()) continue;
      Bytes c = CodeSection(plain, preset);
      if (!c.empty() && c.size() < coded[i].size()) coded[i] = std::move(c), primed |= 1u << i;
    }
  } catch (const Error&) {
    return same;
  }
  if (primed == 0) return same;
  Bytes out(parts.head.begin(), parts.head.end());
  out[5] |= delta::kFlagPrimed;
  out.push_back(uint8_t(primed));
  for (int i = 0; i < parts.count; ++i) PutVarint(out, parts.sizes[i]);
  // A primed section is always coded; the rest keep their coding.
  for (int i = 0; i < parts.count; ++i) PutVarint(out, primed >> i & 1 ? coded[i].size() : parts.coded[i]);
  for (int i = 0; i < parts.count; ++i) out.insert(out.end(), coded[i].begin(), coded[i].end());
  return out;
}

bool DeltaRebuilds(std::span<const uint8_t> stream, std::span<const uint8_t> old_file,
                   std::span<const uint8_t> new_file) {
  return DeltaRebuildsSources(stream, SpanByteSource(old_file), SpanByteSource(new_file));
}

}  // namespace upkit::pack
