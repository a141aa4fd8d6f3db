#include "delta/delta_targets.h"

namespace upkit::delta {

void ConvertTargets(uint8_t* b, size_t n, uint64_t at, bool rip, bool to_targets) {
  for (size_t i = 0; i + 5 <= n;) {
    const uint8_t op = b[i], modrm = b[i + 1];
    size_t p = 0;  // the displacement's first byte
    if (op == 0xE8 || op == 0xE9) {
      p = i + 1;
    } else if (rip && i + 6 <= n && (modrm & 0xC7) == 0x05 &&
               ((op >= 0x84 && op <= 0x8B) || op == 0x8D || (op == 0xFF && (modrm & 0x38) && !(modrm & 0x08)))) {
      p = i + 2;
    }
    if (p == 0) {
      ++i;
      continue;
    }
    // Displacements within 16 MiB either way: the top byte 00 or FF. The
    // scan goes on at that byte when not, so that no later conversion
    // changes a byte this test read.
    if (uint8_t(b[p + 3] + 1) > 1) {
      i = p + 3;
      continue;
    }
    const uint32_t q = uint32_t(at + p + 4);
    uint32_t v = uint32_t(b[p]) | uint32_t(b[p + 1]) << 8 | uint32_t(b[p + 2]) << 16 | uint32_t(b[p + 3]) << 24;
    v = (to_targets ? v + q : v - q) & 0x1FFFFFF;
    if (v & 0x1000000) v |= 0xFF000000;
    for (int k = 0; k < 4; ++k) b[p + k] = uint8_t(v >> (8 * k));
    i = p + 4;
  }
}

}  // namespace upkit::delta
