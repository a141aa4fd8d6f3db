// Constants of the delta stream shared by the decoder (update/delta.cpp) and
// the encoder (pack/delta_encode.cpp). docs/package-format.md has the layout.
#pragma once

#include <cstddef>
#include <cstdint>

namespace upkit::delta {

inline constexpr uint8_t kMagic[4] = {'U', 'P', 'K', 'D'};
inline constexpr uint8_t kVersion = 1;
// Head flag: the copies were made against x86 branch-normalised files
// (update/delta_x86.h); the decoder normalises what it reads of the old file
// and restores branches in what it writes.
inline constexpr uint8_t kFlagX86Branches = 0x01;
inline constexpr uint8_t kKnownFlags = kFlagX86Branches;
// magic, version, flags, old size (u64), old CRC, new size (u64), new CRC.
inline constexpr size_t kFixedHeadSize = 4 + 1 + 1 + 8 + 4 + 8 + 4;
// A varint (LEB128, little-endian groups of 7 bits) of a u64 takes at most 10 bytes.
inline constexpr size_t kMaxVarintSize = 10;

}  // namespace upkit::delta
