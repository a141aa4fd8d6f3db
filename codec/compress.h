// aPLib-format compressor (authoring side; never linked into the stub).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace upkit::pack {

// Compresses `size` bytes into a bare aPLib stream (first byte literal, end
// token 1 1 0 + 0x00) that UnpackStream accepts. An empty input gives an
// empty stream (the packed header of an empty value carries size 0).
std::vector<uint8_t> CompressStream(const uint8_t* data, size_t size, int level = 9);

// Compresses into a complete packed value: the 24-byte "AP32" header with
// both sizes and CRC-32s, followed by the stream. Returns an empty vector,
// having stopped early, when the value would be longer than `limit` bytes.
std::vector<uint8_t> CompressPacked(const uint8_t* data, size_t size, int level = 9,
                                    size_t limit = SIZE_MAX);

// Stored size of a binary value: its compressed form when that is smaller.
// With a `limit`, compression stops once it passes the limit, and any size
// above the limit may be given in place of the true one.
size_t StoredSize(std::span<const uint8_t> payload, bool compressed, int level, size_t limit = SIZE_MAX);

}  // namespace upkit::pack
