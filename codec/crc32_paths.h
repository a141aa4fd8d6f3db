// Internal interface of the CRC-32: the interchangeable loops behind
// Crc32Update. Every loop gives bit-identical results; Crc32Update picks the
// fastest one the processor supports, tests force each one.
//
// All loops take and return the finished CRC value (the register with the
// final XOR applied), so they chain like Crc32Update.
#pragma once

#include <cstdint>

namespace upkit::crc32 {

// Byte-wise up to a 4-byte aligned address, then 8 bytes per step (two
// little-endian words, four table steps each), then the last 0..7 bytes.
uint32_t UpdatePortable(uint32_t crc, const uint8_t* data, uint32_t length);

// Slicing-by-16: sixteen tables, 16 bytes per step.
uint32_t UpdateSlice16(uint32_t crc, const uint8_t* data, uint32_t length);

// Carry-less multiplication folding (PCLMULQDQ + SSE2); falls back to
// UpdateSlice16 for short inputs and on builds without x86 intrinsics.
// Only to be called when HasPclmul() is true.
uint32_t UpdatePclmul(uint32_t crc, const uint8_t* data, uint32_t length);

// True when this build has the folding loop and the processor supports it.
bool HasPclmul();

enum class Path { kAuto, kPortable, kSlice16, kPclmul };

// The path kAuto resolves to: PCLMUL when available, else slicing-by-16.
// The installer reads no environment, so there is no outside override; tests
// force a path through UpdateWithPath.
Path AutoPath();

uint32_t UpdateWithPath(uint32_t crc, const uint8_t* data, uint32_t length, Path path);

}  // namespace upkit::crc32
