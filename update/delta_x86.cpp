#include "update/delta_x86.h"

namespace upkit::delta {
namespace {

bool IsBranchOpcode(uint8_t b) { return b == 0xE8 || b == 0xE9; }

uint32_t Sext25(uint32_t v) { return (v & 0x1000000) ? v | 0xFE000000 : v & 0x1FFFFFF; }

}  // namespace

size_t BranchScanner::Scan(uint8_t* bytes, size_t n, uint64_t base, size_t stop) {
  size_t i = 0;
  while (i < stop && n - i > 4) {  // bytes i .. i+4 present
    int64_t at = int64_t(base + i);
    uint8_t top = bytes[i + 4];
    if (!IsBranchOpcode(bytes[i]) || last_mark_ >= at - 4 || (top != 0x00 && top != 0xFF)) {
      if (IsBranchOpcode(bytes[i])) last_mark_ = at;
      ++i;
      continue;
    }
    uint8_t* operand = bytes + i + 1;
    uint32_t v = uint32_t(operand[0]) | uint32_t(operand[1]) << 8 | uint32_t(operand[2]) << 16 |
                 uint32_t(operand[3]) << 24;
    uint32_t next = uint32_t(uint64_t(at) + 5);  // mod 2^32 is enough: only 25 bits are kept
    uint32_t converted = Sext25(to_absolute_ ? v + next : v - next);
    uint32_t original = to_absolute_ ? v : converted;  // the look-back needs original bytes
    last_mark_ = at;
    for (int k = 0; k < 4; ++k) {
      if (IsBranchOpcode(uint8_t(original >> (8 * k)))) last_mark_ = at + 1 + k;
      operand[k] = uint8_t(converted >> (8 * k));
    }
    i += 5;
  }
  return i;
}

void NormaliseBranches(uint8_t* bytes, size_t n) { BranchScanner(true).Scan(bytes, n, 0, n); }

}  // namespace upkit::delta
