#include "delta/delta_relocs.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <utility>

#include "codec/error.h"
#include "delta/delta_pe.h"
#include "delta/delta_predict.h"

namespace upkit::delta {
namespace {

[[noreturn]] void Malformed() { throw Error(kStreamReadError); }

void PutVarint(std::vector<uint8_t>& out, uint64_t v) {
  for (; v >= 0x80; v >>= 7) out.push_back(uint8_t(v | 0x80));
  out.push_back(uint8_t(v));
}

// Ascending addresses as gaps: the first from 0, each next less the one before and 1.
void PutList(std::vector<uint8_t>& out, const std::vector<uint32_t>& list) {
  PutVarint(out, list.size());
  uint64_t next = 0;
  for (uint32_t v : list) {
    PutVarint(out, v - next);
    next = uint64_t(v) + 1;
  }
}

std::vector<uint32_t> GetList(const uint8_t*& p, const uint8_t* end) {
  uint64_t count = GetVarint(p, end);
  if (count > uint64_t(end - p)) Malformed();  // SAFETY_CHECK: an address takes at least a byte
  std::vector<uint32_t> list(static_cast<size_t>(count));
  uint64_t next = 0;
  for (uint32_t& v : list) {
    uint64_t gap = GetVarint(p, end);
    if (gap > UINT32_MAX - next) Malformed();  // SAFETY_CHECK: addresses stay below 2^32
    v = uint32_t(next + gap);
    next = uint64_t(v) + 1;
  }
  return list;
}

}  // namespace

void WriteRelocPlan(const RelocPlan& plan, std::vector<uint8_t>& out) {
  PutVarint(out, plan.start);
  PutVarint(out, plan.length);
  PutVarint(out, plan.sections.size());
  for (const RelocPlan::Span& s : plan.sections) {
    PutVarint(out, s.raw);
    PutVarint(out, s.size);
    PutVarint(out, s.rva);
  }
  PutList(out, plan.added);
  PutList(out, plan.dropped);
}

RelocPlan ReadRelocPlan(const uint8_t* p, size_t size) {
  const uint8_t* end = p + size;
  RelocPlan plan;
  plan.start = GetVarint(p, end);
  plan.length = GetVarint(p, end);
  uint64_t count = GetVarint(p, end);
  if (count > kMaxPlanSections) Malformed();  // SAFETY_CHECK: as many sections as a PE file may have
  plan.sections.resize(size_t(count));
  for (RelocPlan::Span& s : plan.sections) {
    s.raw = GetVarint(p, end);
    s.size = GetVarint(p, end);
    s.rva = GetVarint(p, end);
    // SAFETY_CHECK: a section's bytes and addresses stay below 2^32 (its file offsets below 2^64).
    if (s.size > UINT32_MAX || s.rva > UINT32_MAX - s.size || s.raw > ~uint64_t(0) - s.size) Malformed();
  }
  plan.added = GetList(p, end);
  plan.dropped = GetList(p, end);
  if (p != end) Malformed();
  return plan;
}

namespace {

// Sorts the addresses and keeps each once.
void SortOnce(std::vector<uint32_t>& v) {
  ShellSort(v, std::less<>());
  size_t kept = 0;
  for (uint32_t x : v)
    if (kept == 0 || x != v[kept - 1]) v[kept++] = x;
  v.resize(kept);
}

}  // namespace

std::vector<uint32_t> MappedRelocs(const PeTables& old_tables, const ShiftMap& offsets, const RelocPlan& plan) {
  const unsigned width = old_tables.width;
  std::vector<uint32_t> out;
  for (uint32_t x : old_tables.relocs) {
    int64_t first, last;
    if (!offsets.Find(x, &first) || !offsets.Find(x + width - 1, &last) || first != last) continue;
    const uint64_t y = x + uint64_t(first);
    for (const RelocPlan::Span& s : plan.sections)
      if (y >= s.raw && y - s.raw < s.size && width <= s.size - (y - s.raw)) {
        out.push_back(uint32_t(s.rva + (y - s.raw)));
        break;
      }
  }
  SortOnce(out);
  return out;
}

std::vector<uint32_t> PlannedRelocs(std::vector<uint32_t> mapped, const RelocPlan& plan) {
  for (uint32_t v : plan.added) mapped.push_back(v);
  // Each address once: a page then never has more than 4096.
  SortOnce(mapped);
  size_t kept = 0, d = 0;
  for (uint32_t v : mapped) {
    while (d < plan.dropped.size() && plan.dropped[d] < v) ++d;
    if (d == plan.dropped.size() || plan.dropped[d] != v) mapped[kept++] = v;
  }
  mapped.resize(kept);
  return mapped;
}

void RelocTableBytes::Reset(std::vector<uint32_t> rvas, unsigned width) {
  rvas_ = std::move(rvas);
  type_ = width == 8 ? 10 : 3;
  next_ = block_size_ = block_at_ = 0;
}

void RelocTableBytes::NextBlock() {
  block_size_ = block_at_ = 0;
  if (next_ == rvas_.size()) return;
  const uint32_t page = rvas_[next_] & ~uint32_t(0xFFF);
  size_t at = 8;
  for (; next_ < rvas_.size() && (rvas_[next_] & ~uint32_t(0xFFF)) == page; ++next_, at += 2) {
    const uint16_t entry = uint16_t(type_ << 12 | (rvas_[next_] & 0xFFF));
    block_[at] = uint8_t(entry), block_[at + 1] = uint8_t(entry >> 8);
  }
  if (at % 4) block_[at] = block_[at + 1] = 0, at += 2;  // the 0 entry that keeps blocks 4-aligned
  for (int k = 0; k < 4; ++k) block_[k] = uint8_t(page >> 8 * k), block_[4 + k] = uint8_t(at >> 8 * k);
  block_size_ = at;
}

void RelocTableBytes::AddTo(uint8_t* out, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (block_at_ == block_size_) {
      NextBlock();
      if (block_size_ == 0) return;  // past the last block: zeros
    }
    out[i] = uint8_t(out[i] + block_[block_at_++]);
  }
}

}  // namespace upkit::delta
