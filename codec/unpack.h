// aPLib-format block decompressor behind the 24-byte "AP32" packed header.
//
// Packed header (little-endian uint32 fields):
//   0 tag "AP32" (0x32335041)   4 header size (>= 24)   8 packed size
//  12 packed CRC-32            16 unpacked size        20 unpacked CRC-32
// The packed stream starts `header size` bytes after the header's start.
//
// None of these functions keeps state between calls. Failures are reported as
// -1, never by an exception; only DecompressBuffer allocates (and raises
// Error("Out of memory") when it cannot).
#pragma once

#include <cstdint>
#include <memory>

namespace upkit {

inline constexpr uint32_t kPackedTag = 0x32335041;  // "AP32"
inline constexpr uint32_t kPackedHeaderSize = 24;

// The unpacked size field, or -1 when size < 24, the tag is not "AP32" or
// the header size field is below 24.
int32_t UnpackedSizeFromHeader(const void* packed, int32_t size);

// Checks the header and both CRCs and unpacks into `destination`. Returns the
// unpacked size, or -1. Nothing is written when a header check fails.
int32_t UnpackChecked(const void* packed, uint32_t packed_length, void* destination,
                      uint32_t capacity);

// Decodes a bare aPLib stream. Returns the number of bytes produced, or -1.
// Nothing is written at or beyond `capacity`; bytes between the returned
// count and `capacity` may be scratch (matches are copied in whole words
// while there is room), so callers use only the first `result` bytes.
int32_t UnpackStream(const void* stream, uint32_t stream_length, void* destination,
                     uint32_t capacity);

// Unpacks a packed value into a new buffer. On return `size` holds the
// unpacked size; when it is 0 or negative no buffer is returned. A header
// that is not valid, and a valid header whose stream fails its checks, both
// give no buffer and size -1: bytes of a failed unpack are never handed on.
std::unique_ptr<uint8_t[]> DecompressBuffer(const void* packed, int32_t& size);

}  // namespace upkit
