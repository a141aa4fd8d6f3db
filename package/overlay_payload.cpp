#include "package/overlay_payload.h"

#include <memory>
#include <new>

#include "codec/crc32.h"
#include "codec/error.h"
#include "codec/unpack.h"

namespace upkit {

namespace {

uint64_t Le(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

[[noreturn]] void Malformed() { throw Error(kStreamReadError); }

}  // namespace

bool ReadOverlayRecord(const std::array<uint8_t, 8>& at, const std::array<uint8_t, 8>& length,
                       const std::array<uint8_t, 8>& size, const std::array<uint8_t, 8>& crc_block,
                       OverlayPayload* payload) {
  OverlayPayload p;
  p.at = Le(at.data(), 8);
  p.length = Le(length.data(), 8);
  p.size = Le(size.data(), 8);
  p.crc = static_cast<uint32_t>(Le(crc_block.data(), 4));
  p.block = static_cast<uint32_t>(Le(crc_block.data() + 4, 4));
  if (p.block < kOverlayMinBlock || p.block > kOverlayMaxBlock || (p.block & (p.block - 1)) != 0) return false;
  // SAFETY_CHECK: at + length <= 2^64, in subtraction form.
  if (p.length > UINT64_MAX - p.at) return false;
  // Every block costs its head at least: a length that cannot hold them is
  // damage, found here rather than half-way through the file.
  const uint64_t blocks = p.size / p.block + (p.size % p.block != 0);
  if (blocks > p.length / kOverlayBlockHead) return false;
  payload->at = p.at;
  payload->length = p.length;
  payload->size = p.size;
  payload->crc = p.crc;
  payload->block = p.block;
  return true;
}

void ExpandOverlay(const OverlayPayload& payload, OverlaySource& source, OverlaySink& sink) {
  std::unique_ptr<uint8_t[]> stored, expanded;
  try {
    stored.reset(new uint8_t[payload.block]);
    expanded.reset(new uint8_t[payload.block]);
  } catch (const std::bad_alloc&) {
    throw Error(kOutOfMemory);
  }
  uint64_t offset = payload.at, left = payload.length, to_write = payload.size;
  uint32_t crc = 0;
  while (to_write != 0) {
    const uint32_t want = to_write < payload.block ? static_cast<uint32_t>(to_write) : payload.block;
    uint8_t head[kOverlayBlockHead];
    if (left < kOverlayBlockHead) Malformed();  // SAFETY_CHECK: head past the payload
    source.Read(offset, head, kOverlayBlockHead);
    offset += kOverlayBlockHead;
    left -= kOverlayBlockHead;
    const uint32_t count = static_cast<uint32_t>(Le(head, 4));
    const uint8_t marker = head[4];
    // SAFETY_CHECK: a block never stores more than it expands to, nor more
    // than the payload has left.
    if (count == 0 || count > want || count > left || marker > 1) Malformed();
    source.Read(offset, stored.get(), count);
    offset += count;
    left -= count;
    if (payload.enciphered) DecipherBuffer(stored.get(), static_cast<int32_t>(count), payload.key);
    const uint8_t* bytes = stored.get();
    if (marker == 1) {
      if (UnpackChecked(stored.get(), count, expanded.get(), want) != static_cast<int32_t>(want)) Malformed();
      bytes = expanded.get();
    } else if (count != want) {
      Malformed();
    }
    crc = Crc32Update(crc, bytes, want);
    sink.Write(bytes, want);
    to_write -= want;
  }
  if (left != 0 || crc != payload.crc) Malformed();  // SAFETY_CHECK: bytes left over, or another content
}

}  // namespace upkit
