// Constants of the delta stream shared by the decoder (delta/delta.cpp) and
// the encoder (delta/delta_encode.cpp). docs/package-format.md has the layout.
#pragma once

#include <cstddef>
#include <cstdint>

namespace upkit::delta {

inline constexpr uint8_t kMagic[4] = {'U', 'P', 'K', 'D'};
// Version 1 stores its sections as they are; version 2 may LZMA-code each
// (codec/lzma.h). The encoder writes version 2 unless asked for 1.
inline constexpr uint8_t kVersionPlain = 1;
inline constexpr uint8_t kVersionLzma = 2;
// Head flag: copies rewrite the x86 references of the old bytes with the
// maps of the sixth section (delta/delta_predict.h) before adding their
// differences. Without it that section is empty.
inline constexpr uint8_t kFlagReferences = 0x01;
// Head flag (version 2, with bit 0): the references are found through the
// old file's PE tables (delta/delta_pe.h) instead of by the byte rule.
inline constexpr uint8_t kFlagPeTables = 0x02;
// Head flags (with bit 1): the tables' rule also takes 0F 8x rel32
// conditional jumps (bit 2) and, in PE32+ code, RIP-relative operands
// (bit 3); delta/delta_predict.h.
inline constexpr uint8_t kFlagJumpIf = 0x04;
inline constexpr uint8_t kFlagRipRelative = 0x08;
// Head flag (version 2): the stream follows another in the same payload and
// some of its LZMA coders start primed with that stream's decoded sections
// (one byte after the fixed head names which; docs/package-format.md).
inline constexpr uint8_t kFlagPrimed = 0x20;
// Head flag (with bit 1): a seventh section follows the maps, and the new
// file's base relocation table is rebuilt from the old one's addresses
// (delta/delta_relocs.h); the bytes written over it add to the rebuilt ones.
inline constexpr uint8_t kFlagRelocTable = 0x10;
// Head flag (version 2, with bit 0): the extra section holds the new bytes
// with their x86 branches (and, with bit 3, RIP-relative operands) naming
// targets instead of distances (delta/delta_targets.h).
inline constexpr uint8_t kFlagNewBytesTargets = 0x40;
inline constexpr uint8_t kKnownFlags = kFlagReferences | kFlagPeTables | kFlagJumpIf | kFlagRipRelative |
                                       kFlagRelocTable | kFlagPrimed | kFlagNewBytesTargets;
// Sections a primed stream may prime: all but the maps and the relocs.
inline constexpr uint8_t kPrimableSections = 0x1F;
// The most streams one payload holds back to back (one per old release).
inline constexpr size_t kMaxChain = 32;
// A coded maps section is decoded into memory whole: at most this many bytes
// (a 20 MB executable's maps take about 300 KB).
inline constexpr uint64_t kMaxCodedMaps = 4u << 20;
// magic, version, flags, old size (u64), old CRC, new size (u64), new CRC.
inline constexpr size_t kFixedHeadSize = 4 + 1 + 1 + 8 + 4 + 8 + 4;
// A varint (LEB128, little-endian groups of 7 bits) of a u64 takes at most 10 bytes.
inline constexpr size_t kMaxVarintSize = 10;

}  // namespace upkit::delta
