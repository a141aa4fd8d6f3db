// Reference prediction for delta streams of x86 executables. Code that moves
// changes every reference into or out of it: CALL/JMP rel32 displacements
// and, in 32-bit code, absolute addresses. Before a copy's byte differences
// are added, the decoder rewrites each reference in the old bytes to what it
// should read in the new file, using two maps the stream carries: where
// ranges of the old file went (file offsets), and how ranges of the old
// image's addresses moved. Then a moved reference costs no difference.
//
// Which bytes are references is decided by a local rule on the old file's
// own bytes, so any window of it can be rewritten alone:
//   branch at i: byte i is E8 or E9, byte i + 4 is 00 or FF, none of bytes
//     i-4 .. i-1 is E8 or E9; its target is i + 5 + the signed 32-bit
//     displacement at i + 1.
//   address at i: the 32-bit value at i lies inside the address map's span,
//     the values at i-1, i-2, i-3 do not, and none of bytes i-4 .. i+2 is
//     E8 or E9.
// Two references never overlap, and each is decided by bytes i-4 .. i+4.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace upkit::delta {

// Where ranges moved: [start, end) moved by delta (mod 2^64). Sorted,
// non-overlapping, non-empty ranges.
struct Shift {
  uint64_t start = 0, end = 0;
  int64_t delta = 0;
};

class ShiftMap {
 public:
  std::vector<Shift> ranges;

  // The delta for x; false when no range holds it.
  bool Find(uint64_t x, int64_t* delta) const;
  // The range that holds x, or nullptr.
  const Shift* Range(uint64_t x) const;
  // The span from the first start to the last end (empty when no ranges).
  uint64_t Low() const { return ranges.empty() ? 0 : ranges.front().start; }
  uint64_t High() const { return ranges.empty() ? 0 : ranges.back().end; }
};

struct PeTables;

struct ReferenceMaps {
  ShiftMap offsets;    // old file offsets -> new file offsets
  ShiftMap addresses;  // old image addresses -> new image addresses
  // Not stored in the maps section: with the old file's PE tables (stream
  // flag bit 1) the references are the listed addresses and the checked
  // branches of delta/delta_pe.h instead of the rule above.
  const PeTables* tables = nullptr;
  // With tables, further kinds of references in code sections (stream flag
  // bits 2 and 3), each as the branches' rule checks them:
  //   kJumpIfRel32: 0F 80..8F rel32 conditional jumps, mapped like CALL/JMP;
  //   kRipRelative: in PE32+ code, the disp32 of a RIP-relative operand
  //     (ModRM mod 00 r/m 101 after an opcode that takes no immediate),
  //     mapped through the address map at both its target and itself.
  unsigned kinds = 0;
};

inline constexpr unsigned kJumpIfRel32 = 1;
inline constexpr unsigned kRipRelative = 2;

// What the tables' rule finds with a displacement at window offset p (the
// window holds the old file from offset `base`; bytes p-5 .. p+3 are read):
// a branch (*target: the file offset it lands on), a RIP-relative operand
// (*target: the image address it names) or nothing.
enum class TableRef { kNone, kBranch, kRip };
TableRef FindTableRef(const uint8_t* w, size_t n, uint64_t base, size_t p, const PeTables& tables, unsigned kinds,
                      uint64_t* target);

// Bytes around a window that the rule looks at.
inline constexpr size_t kPredictMarginBefore = 8;
inline constexpr size_t kPredictMarginAfter = 8;

// window[0..n) holds the old file at offsets [base, base + n), with the
// margins around [from, to) (less only at the file's ends). Writes to
// out[0 .. to - from) the bytes window[from..to) with every reference
// rewritten for a copy that puts old offset x at new offset x + copy_delta.
void PredictCopy(const uint8_t* window, size_t n, uint64_t base, size_t from, size_t to, int64_t copy_delta,
                 const ReferenceMaps& maps, uint8_t* out);

// The maps as the stream stores them (docs/package-format.md). ReadMaps
// raises Error("Stream read error") when malformed.
void WriteMaps(const ReferenceMaps& maps, std::vector<uint8_t>& out);
ReferenceMaps ReadMaps(const uint8_t* data, size_t size);

// The varint at p (p moves past it); raises Error("Stream read error") when
// it passes `end` or 64 bits. The maps and relocs sections read theirs so.
uint64_t GetVarint(const uint8_t*& p, const uint8_t* end);

}  // namespace upkit::delta
