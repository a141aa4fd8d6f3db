#include "delta/delta_pe.h"

#include <algorithm>
#include <functional>

namespace upkit::delta {
namespace {

constexpr size_t kHeadRead = 64 * 1024;  // headers and section table lie in the first 64 KiB
constexpr size_t kMaxSections = 96;

uint64_t Le(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

struct Section {
  uint64_t va, vsize, raw, raw_size;
  bool code;
};

// The file offset of [rva, rva + n) when one section's raw data holds it.
bool RvaToOffset(const std::vector<Section>& sections, uint64_t rva, uint64_t n, uint64_t* offset) {
  for (const Section& s : sections)
    if (rva >= s.va && rva - s.va < s.raw_size && n <= s.raw_size - (rva - s.va)) {
      *offset = s.raw + (rva - s.va);
      return true;
    }
  return false;
}

}  // namespace

const PeTables::Range* PeTables::CodeAround(uint64_t at, uint64_t n) const {
  auto it = std::upper_bound(code.begin(), code.end(), at, [](uint64_t v, const Range& r) { return v < r.start; });
  if (it == code.begin()) return nullptr;
  --it;
  return at < it->end && n <= it->end - at ? &*it : nullptr;
}

bool PeTables::RelocOverlaps(uint64_t at, uint64_t n) const {
  // The first address that ends after `at`: relocs ascend and do not overlap.
  uint64_t from = at >= width - 1 ? at - (width - 1) : 0;
  auto it = std::lower_bound(relocs.begin(), relocs.end(), from);
  return it != relocs.end() && *it < at + n;
}

bool ReadPeTables(DeltaSource& file, uint64_t size, PeTables* out) {
  std::vector<uint8_t> head(size_t(std::min<uint64_t>(size, kHeadRead)));
  if (head.size() < 64) return false;
  file.ReadOld(0, head.data(), head.size());
  const uint8_t* h = head.data();
  const size_t n = head.size();
  if (h[0] != 'M' || h[1] != 'Z') return false;
  uint64_t pe = Le(h + 0x3C, 4);
  if (pe > n - 24 || Le(h + pe, 4) != 0x4550) return false;
  const uint64_t machine = Le(h + pe + 4, 2), count = Le(h + pe + 6, 2), optional = Le(h + pe + 20, 2);
  const uint64_t opt = pe + 24;
  if (optional < 2 || opt + optional > n || count > kMaxSections) return false;
  const uint64_t magic = Le(h + opt, 2);
  PeTables t;
  uint64_t dirs;  // offset of the data directories in the optional header
  uint64_t image_base;
  if (machine == 0x14C && magic == 0x10B && optional >= 32) {
    t.width = 4, dirs = 96, image_base = Le(h + opt + 28, 4);
  } else if (machine == 0x8664 && magic == 0x20B && optional >= 32) {
    t.width = 8, dirs = 112, image_base = Le(h + opt + 24, 8);
  } else {
    return false;
  }
  if (optional < dirs || Le(h + opt + dirs - 4, 4) <= 5 || optional < dirs + 6 * 8) return false;
  const uint64_t reloc_rva = Le(h + opt + dirs + 5 * 8, 4), reloc_size = Le(h + opt + dirs + 5 * 8 + 4, 4);
  const uint64_t table = opt + optional;
  if (table + 40 * count > n) return false;
  std::vector<Section> sections;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* s = h + table + 40 * i;
    Section sec{Le(s + 12, 4), Le(s + 8, 4), Le(s + 20, 4), Le(s + 16, 4), (Le(s + 36, 4) & 0x20000020) != 0};
    // The loader maps at most the virtual size; the file holds at most its end.
    if (sec.vsize) sec.raw_size = std::min(sec.raw_size, sec.vsize);
    sec.raw_size = sec.raw < size ? std::min(sec.raw_size, size - sec.raw) : 0;
    if (!sec.raw_size) continue;
    sections.push_back(sec);
    if (sec.code) t.code.push_back({sec.raw, sec.raw + sec.raw_size, image_base + sec.va});
  }
  ShellSort(t.code, [](const PeTables::Range& a, const PeTables::Range& b) { return a.start < b.start; });
  for (size_t i = 1; i < t.code.size(); ++i)
    if (t.code[i].start < t.code[i - 1].end) return false;  // overlapping code sections: damaged

  if (reloc_size) {
    uint64_t at;
    if (reloc_size > kMaxRelocTable || !RvaToOffset(sections, reloc_rva, reloc_size, &at)) return false;
    std::vector<uint8_t> relocs(static_cast<size_t>(reloc_size));
    for (size_t done = 0; done < relocs.size();) {
      size_t k = std::min<size_t>(relocs.size() - done, kHeadRead);
      file.ReadOld(at + done, relocs.data() + done, k);
      done += k;
    }
    const unsigned type = t.width == 4 ? 3 : 10;  // HIGHLOW or DIR64
    for (size_t b = 0; b + 8 <= relocs.size();) {
      uint64_t page = Le(&relocs[b], 4), block = Le(&relocs[b + 4], 4);
      if (block < 8 || block % 2 || block > relocs.size() - b) return false;
      for (size_t e = b + 8; e < b + block; e += 2) {
        uint64_t entry = Le(&relocs[e], 2), offset;
        if (entry >> 12 != type || !RvaToOffset(sections, page + (entry & 0xFFF), t.width, &offset)) continue;
        if (offset > UINT32_MAX - 8) return false;
        t.relocs.push_back(uint32_t(offset));
      }
      b += block;
    }
    ShellSort(t.relocs, std::less<>());
    // Keep the first of addresses that overlap.
    size_t kept = 0;
    for (uint32_t r : t.relocs)
      if (kept == 0 || r >= t.relocs[kept - 1] + t.width) t.relocs[kept++] = r;
    t.relocs.resize(kept);
  }
  *out = std::move(t);
  return true;
}

}  // namespace upkit::delta
