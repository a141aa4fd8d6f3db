// Item payloads that lie in the installer file's overlay, after the PE
// image, where the Windows loader does not map them: a replace item whose
// file is too large for the package resource refers to its content by
// 64-bit file offset, stored length, expanded size and CRC-32, and the
// installer reads it through its own file one block at a time.
//
// Map of a payload (docs/package-format.md has the byte layout):
//   block x n, from `at`, filling `length` bytes exactly:
//     uint32 stored   bytes that follow (at most the block's expanded size)
//     uint8  marker   0 stored as is, 1 packed (a complete "AP32" value)
//     stored bytes    enciphered by themselves (buffer cipher) when the
//                     package is
//   Every block expands to `block` bytes, the last one to what is left of
//   `size`; an empty file has no blocks.
// Invariants: the reader holds one stored block and one expanded block
// (2 x `block` bytes, `block` at most 16 MiB), checks every length against
// what is left before it reads, and hands on no byte of a block that fails
// its checks. Portable.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "codec/cipher.h"

namespace upkit {

inline constexpr uint32_t kOverlayMinBlock = 64 * 1024;
inline constexpr uint32_t kOverlayMaxBlock = 16 * 1024 * 1024;
inline constexpr size_t kOverlayBlockHead = 5;  // uint32 stored + uint8 marker

// Where one payload lies and what it expands to. `block` is 0 for an item
// whose payload is not in the overlay.
struct OverlayPayload {
  uint64_t at = 0;      // file offset (from the file's start) of its first block
  uint64_t length = 0;  // stored bytes, block heads included
  uint64_t size = 0;    // expanded bytes: the size of the file the item writes
  uint32_t crc = 0;     // CRC-32 of the expanded bytes
  uint32_t block = 0;   // expanded bytes of every block but the last
  bool enciphered = false;
  CipherKey key{};      // the package's key, for enciphered blocks
  bool Present() const { return block != 0; }
};

// Fills `payload` from the item's four raw 8-byte values ("OverlayAt",
// "OverlayLength", "OverlaySize": uint64; "OverlayCRC": uint32 CRC-32, then
// uint32 block size). False when they do not describe a payload: a block
// size that is not a power of two from 64 KiB to 16 MiB, a range that passes
// 2^64, or a length too short for the blocks the size needs.
bool ReadOverlayRecord(const std::array<uint8_t, 8>& at, const std::array<uint8_t, 8>& length,
                       const std::array<uint8_t, 8>& size, const std::array<uint8_t, 8>& crc_block,
                       OverlayPayload* payload);

// Bounded reads of the file the payload lies in. Raises Error on a read
// failure or a read past the file's end.
class OverlaySource {
 public:
  virtual ~OverlaySource() = default;
  virtual void Read(uint64_t offset, uint8_t* out, size_t length) = 0;
};

// Receives the expanded bytes in order, one block at a time.
class OverlaySink {
 public:
  virtual ~OverlaySink() = default;
  virtual void Write(const uint8_t* bytes, size_t length) = 0;
};

// Reads, deciphers and expands the payload block by block into `sink`:
// exactly payload.size bytes. Raises Error("Stream read error") when a block
// is malformed (a stored length past the payload or above the block's size,
// an unknown marker, a packed block that fails its checks or expands to
// another size), when blocks are left over or missing, or when the bytes do
// not have payload.crc; the sink may then have received the blocks before
// the fault, so callers write to a file that is discarded on failure.
// Raises "Out of memory" when the two block buffers cannot be had.
void ExpandOverlay(const OverlayPayload& payload, OverlaySource& source, OverlaySink& sink);

}  // namespace upkit
