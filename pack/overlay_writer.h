// Writes item payloads for the installer file's overlay (authoring side):
// a file's content cut into blocks of a fixed expanded size, each packed
// (when that makes it smaller) and enciphered by itself, so that the
// installer expands one block at a time (package/overlay_payload.h has the
// layout). The blocks are coded on several threads; each depends on its own
// bytes only, so the output is the same whatever the number of threads.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "codec/cipher.h"

namespace upkit::pack {

class Progress;

// Expanded bytes per block: large enough that splitting costs the packer
// little (long matches rarely reach further back), small enough that the
// installer's two block buffers stay a few MiB.
inline constexpr uint32_t kOverlayBlockSize = 4 * 1024 * 1024;

struct OverlayCoding {
  bool compressed = true;   // pack blocks that shrink
  int level = 9;            // packer level
  bool enciphered = true;   // encipher every block with `key`
  CipherKey key{};
  uint32_t block = kOverlayBlockSize;
  unsigned jobs = 1;        // threads that code blocks (1 or more)
};

// One block as it is stored: head (uint32 stored length, uint8 marker) and
// the stored bytes. `size` is at most coding.block.
std::vector<uint8_t> EncodeOverlayBlock(const uint8_t* data, size_t size, const OverlayCoding& coding);

struct OverlayWritten {
  uint64_t length = 0;  // stored bytes written
  uint64_t size = 0;    // bytes read from the file
  uint32_t crc = 0;     // their CRC-32
};

// Reads the file `utf8_path` in blocks and hands each coded block, in order,
// to `write`. Holds at most 2 x jobs blocks of input and their coded forms.
// Raises Error naming the file when it cannot be read, or when its size is
// not `expected_size` (it changed since it was planned).
OverlayWritten WriteOverlayPayload(const std::string& utf8_path, uint64_t expected_size, const OverlayCoding& coding,
                                   const std::function<void(const uint8_t*, size_t)>& write,
                                   Progress* progress = nullptr, uint64_t progress_base = 0,
                                   uint64_t progress_total = 0);

}  // namespace upkit::pack
