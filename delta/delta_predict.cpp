#include "delta/delta_predict.h"

#include <algorithm>
#include <cstring>

#include "codec/error.h"
#include "delta/delta_pe.h"

namespace upkit::delta {
namespace {

bool IsBranchOpcode(uint8_t b) { return b == 0xE8 || b == 0xE9; }

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// True when one of the four bytes of x is zero.
bool HasZeroByte(uint32_t x) { return ((x - 0x01010101u) & ~x & 0x80808080u) != 0; }

// Writes the 4 bytes of v meant for window offset at (the reference's
// bytes) into out, clipped to [from, to).
void Put32(uint32_t v, size_t at, size_t from, size_t to, uint8_t* out) {
  for (size_t k = 0; k < 4; ++k)
    if (at + k >= from && at + k < to) out[at + k - from] = uint8_t(v >> (8 * k));
}

void PutVarint(std::vector<uint8_t>& out, uint64_t v) {
  for (; v >= 0x80; v >>= 7) out.push_back(uint8_t(v | 0x80));
  out.push_back(uint8_t(v));
}

[[noreturn]] void Malformed() { throw Error(kStreamReadError); }


}  // namespace

uint64_t GetVarint(const uint8_t*& p, const uint8_t* end) {
  uint64_t v = 0;
  for (int shift = 0;; shift += 7) {
    if (p == end) Malformed();
    uint8_t b = *p++;
    if (shift == 63 && b > 1) Malformed();
    v |= uint64_t(b & 0x7F) << shift;
    if (!(b & 0x80)) return v;
  }
}

const Shift* ShiftMap::Range(uint64_t x) const {
  auto it = std::upper_bound(ranges.begin(), ranges.end(), x, [](uint64_t v, const Shift& s) { return v < s.start; });
  if (it == ranges.begin() || x >= (it - 1)->end) return nullptr;
  return &*(it - 1);
}

bool ShiftMap::Find(uint64_t x, int64_t* delta) const {
  const Shift* s = Range(x);
  if (s) *delta = s->delta;
  return s;
}

namespace {

// True for an opcode whose ModRM operand may end the instruction (no
// immediate follows): the ALU forms 00..3B, TEST, XCHG, MOV, LEA, MOVSXD,
// and after 0F: the SSE moves and arithmetic, CMOVcc, IMUL, MOVZX, MOVSX.
bool EndsAtModRm(uint8_t op) {
  return (op < 0x40 && (op & 7) < 4) || (op >= 0x84 && op <= 0x8B) || op == 0x8D || op == 0x63;
}
bool EndsAtModRm0F(uint8_t op) {
  return op == 0x10 || op == 0x11 || op == 0x28 || op == 0x29 || op == 0x2E || op == 0x2F || (op >= 0x40 && op <= 0x5F) ||
         op == 0x6F || op == 0x7F || op == 0xAF || op == 0xB6 || op == 0xB7 || op == 0xBE || op == 0xBF;
}

}  // namespace

TableRef FindTableRef(const uint8_t* w, size_t n, uint64_t base, size_t p, const PeTables& t, unsigned kinds,
                      uint64_t* target) {
  if (p == 0 || n - p < 4) return TableRef::kNone;
  const uint64_t at = base + p;  // the displacement's file offset
  const int64_t disp = int32_t(Le32(w + p));
  size_t opcode = 0;  // bytes of opcode before the displacement
  if (IsBranchOpcode(w[p - 1])) {
    for (size_t k = 2; k <= 5 && k <= p; ++k)
      if (IsBranchOpcode(w[p - k])) return TableRef::kNone;
    opcode = 1;
  } else if ((kinds & kJumpIfRel32) && p >= 2 && w[p - 2] == 0x0F && (w[p - 1] & 0xF0) == 0x80) {
    opcode = 2;
  } else if ((kinds & kRipRelative) && t.width == 8 && p >= 2 && (w[p - 1] & 0xC7) == 0x05 &&
             (EndsAtModRm(w[p - 2]) || (w[p - 2] == 0xFF && (w[p - 1] & 0x38) != 0 && (w[p - 1] & 0x08) == 0) ||
              (p >= 3 && w[p - 3] == 0x0F && EndsAtModRm0F(w[p - 2])))) {
    const PeTables::Range* code = t.CodeAround(at - 2, 6);
    if (!code || t.RelocOverlaps(at, 4)) return TableRef::kNone;
    *target = code->address + (at - code->start) + 4 + uint64_t(disp);
    return TableRef::kRip;
  } else {
    return TableRef::kNone;
  }
  const PeTables::Range* code = t.CodeAround(at - opcode, opcode + 4);
  if (!code) return TableRef::kNone;
  *target = at + 4 + uint64_t(disp);
  if (*target < code->start || *target >= code->end || t.RelocOverlaps(at, 4)) return TableRef::kNone;
  return TableRef::kBranch;
}

namespace {

// The references the old file's PE tables name: every listed address and
// each displacement FindTableRef finds.
void PredictFromTables(const uint8_t* w, size_t n, uint64_t base, size_t from, size_t to, int64_t copy_delta,
                       const ReferenceMaps& maps, uint8_t* out) {
  const PeTables& t = *maps.tables;
  const uint64_t new_base = base + uint64_t(copy_delta);
  const bool jump_if = maps.kinds & kJumpIfRel32, rip = (maps.kinds & kRipRelative) && t.width == 8;
  // Most bytes follow none of the opcodes FindTableRef looks for right
  // before a displacement (E8/E9; 0F 8x; with RIP-relative operands, a
  // ModRM of mod 00 r/m 101): skip them here, with its own first tests.
  // Without RIP-relative operands, four positions at a time where it can:
  // p .. p + 3 are all skipped when none of bytes p-1 .. p+2 is E8/E9 and
  // (with 0F 8x jumps) none of bytes p-2 .. p+1 is 0F.
  const uint32_t no_jump_if = jump_if ? 0 : ~uint32_t(0);
  for (size_t p = from - std::min<size_t>(from, 3); p < to; ++p) {
    uint32_t ops, escapes;  // bytes p-1 .. p+2 and p-2 .. p+1 in either order: only equality is tested
    if (!rip && p >= 2 && n - p >= 3 && (std::memcpy(&ops, w + p - 1, 4), std::memcpy(&escapes, w + p - 2, 4),
                                         !HasZeroByte((ops & 0xFEFEFEFEu) ^ 0xE8E8E8E8u)) &&
        !HasZeroByte((escapes ^ 0x0F0F0F0Fu) | no_jump_if)) {
      p += 3;
      continue;
    }
    if (p == 0) continue;
    const uint8_t op = w[p - 1];
    if (!IsBranchOpcode(op) && !(jump_if && p >= 2 && w[p - 2] == 0x0F && (op & 0xF0) == 0x80) &&
        !(rip && (op & 0xC7) == 0x05))
      continue;
    uint64_t target;
    const TableRef kind = FindTableRef(w, n, base, p, t, maps.kinds, &target);
    int64_t moved, moved_self;
    if (kind == TableRef::kBranch && maps.offsets.Find(target, &moved))
      Put32(uint32_t(target + uint64_t(moved) - (new_base + p + 4)), p, from, to, out);
    if (kind != TableRef::kRip) continue;
    // A RIP-relative operand moves by how its target moved less how it moved itself.
    const uint64_t self = target - 4 - uint64_t(int64_t(int32_t(Le32(w + p))));
    if (maps.addresses.Find(target, &moved) && maps.addresses.Find(self, &moved_self))
      Put32(uint32_t(Le32(w + p) + uint64_t(moved - moved_self)), p, from, to, out);
  }
  const uint64_t lo = base + from >= t.width ? base + from - (t.width - 1) : 0;
  const Shift* last = nullptr;
  for (auto it = std::lower_bound(t.relocs.begin(), t.relocs.end(), lo); it != t.relocs.end() && *it < base + to;
       ++it) {
    if (*it < base || *it - base + t.width > n) continue;  // only at the file's ends
    const size_t at = size_t(*it - base);
    uint64_t v = Le32(w + at);
    if (t.width == 8) v |= uint64_t(Le32(w + at + 4)) << 32;
    // The relocations of one piece mostly point into one range (a table's
    // addresses, a section's): the last one found is tried first.
    if (!last || v < last->start || v >= last->end) last = maps.addresses.Range(v);
    if (!last) continue;
    v += uint64_t(last->delta);
    Put32(uint32_t(v), at, from, to, out);
    if (t.width == 8) Put32(uint32_t(v >> 32), at + 4, from, to, out);
  }
}

}  // namespace

void PredictCopy(const uint8_t* w, size_t n, uint64_t base, size_t from, size_t to, int64_t copy_delta,
                 const ReferenceMaps& maps, uint8_t* out) {
  std::memcpy(out, w + from, to - from);
  if (maps.tables) return PredictFromTables(w, n, base, from, to, copy_delta, maps, out);
  const uint64_t lo = maps.addresses.Low(), hi = maps.addresses.High();
  auto is_address = [&](size_t at) {  // the value at window offset `at` lies in the span
    if (n - at < 4) return false;
    uint64_t v = Le32(w + at);
    return v >= lo && v < hi;
  };
  auto branch_before = [&](size_t at, size_t count) {  // an E8/E9 among the `count` bytes before at
    for (size_t k = 1; k <= count && k <= at; ++k)
      if (IsBranchOpcode(w[at - k])) return true;
    return false;
  };
  const uint64_t new_base = base + uint64_t(copy_delta);
  for (size_t i = from - std::min<size_t>(from, 4); i < to; ++i) {
    if (IsBranchOpcode(w[i])) {
      if (n - i <= 4 || (w[i + 4] != 0x00 && w[i + 4] != 0xFF) || branch_before(i, 4)) continue;
      uint64_t target = base + i + 5 + uint64_t(int64_t(int32_t(Le32(w + i + 1))));
      int64_t moved;
      if (!maps.offsets.Find(target, &moved)) continue;
      Put32(uint32_t(target + uint64_t(moved) - (new_base + i + 5)), i + 1, from, to, out);
      continue;
    }
    if (!is_address(i) || (i >= 1 && is_address(i - 1)) || (i >= 2 && is_address(i - 2)) ||
        (i >= 3 && is_address(i - 3)) || branch_before(i, 4) || IsBranchOpcode(w[i + 1]) || IsBranchOpcode(w[i + 2]))
      continue;
    int64_t moved;
    if (maps.addresses.Find(Le32(w + i), &moved)) Put32(uint32_t(Le32(w + i) + uint64_t(moved)), i, from, to, out);
  }
}

void WriteMaps(const ReferenceMaps& maps, std::vector<uint8_t>& out) {
  for (const ShiftMap* map : {&maps.offsets, &maps.addresses}) {
    PutVarint(out, map->ranges.size());
    uint64_t end = 0;
    for (const Shift& s : map->ranges) {
      PutVarint(out, s.start - end);
      PutVarint(out, s.end - s.start);
      PutVarint(out, s.delta >= 0 ? uint64_t(s.delta) << 1 : (uint64_t(-(s.delta + 1)) << 1) | 1);
      end = s.end;
    }
  }
}

ReferenceMaps ReadMaps(const uint8_t* p, size_t size) {
  const uint8_t* end = p + size;
  ReferenceMaps maps;
  for (ShiftMap* map : {&maps.offsets, &maps.addresses}) {
    uint64_t count = GetVarint(p, end);
    if (count > uint64_t(end - p) / 3) Malformed();  // SAFETY_CHECK: a range takes at least 3 bytes
    map->ranges.resize(size_t(count));
    uint64_t at = 0;
    for (Shift& s : map->ranges) {
      uint64_t gap = GetVarint(p, end), length = GetVarint(p, end), delta = GetVarint(p, end);
      // SAFETY_CHECK: ranges ascend, are not empty and stay below 2^64.
      if (gap > ~uint64_t(0) - at || length == 0 || length > ~uint64_t(0) - (at + gap)) Malformed();
      s.start = at + gap;
      s.end = s.start + length;
      s.delta = (delta & 1) ? -int64_t(delta >> 1) - 1 : int64_t(delta >> 1);
      at = s.end;
    }
  }
  if (p != end) Malformed();
  return maps;
}

}  // namespace upkit::delta
