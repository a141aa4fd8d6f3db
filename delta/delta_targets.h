// New bytes of x86 code (stream flag bit 6). A branch that names how far its
// target lies changes with every place it is made from; stored as the
// target itself, calls to one function from many places repeat the same four
// bytes, which LZMA finds. The encoder stores the extra section's bytes so
// when that codes smaller, and the decoder turns them back before writing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace upkit::delta {

// Each run of new bytes (one control triple's `extra`) is converted in
// pieces of this many bytes from its start; a reference must lie inside one.
inline constexpr size_t kTargetPiece = 32 * 1024;

// Converts in place the n new bytes that the new file holds from offset
// `at`, scanning from the first byte: at each E8 or E9 (and, with `rip`, a
// RIP-relative operand: opcode 84..8B or 8D, or FF with ModRM reg 2, 4 or 6,
// then ModRM mod 00 r/m 101) whose 4 bytes of displacement follow inside
// the piece and whose last byte is 00 or FF, the displacement d becomes
// (d + q) mod 2^25 sign-extended from bit 24, q = at + the displacement's
// end (`to_targets`), or back: (v - q) the same way (not `to_targets`). The
// scan goes on after a converted displacement, at its last byte when that
// is not 00 or FF, else at the next byte. No conversion changes a byte an
// earlier test read, so both directions find the same places and the one
// undoes the other.
void ConvertTargets(uint8_t* bytes, size_t n, uint64_t at, bool rip, bool to_targets);

}  // namespace upkit::delta
