#include "codec/crc32.h"

#include <array>

#include "codec/crc32_paths.h"

namespace upkit {
namespace crc32 {

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320;  // 0x04C11DB7 bit-reversed

// The standard CRC-32 table (entry i: byte value i shifted eight times
// through the reflected polynomial) and the slicing tables after it: t[k][i]
// is the register after byte i followed by k zero bytes, so sixteen bytes can
// be looked up independently and XORed. All built on first use rather than
// compiled in, to keep 17 KiB out of the executable.
using SliceTables = std::array<std::array<uint32_t, 256>, 16>;

SliceTables MakeSliceTables() {
  SliceTables t;
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
    t[0][i] = c;
  }
  for (int k = 1; k < 16; ++k)
    for (int i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  return t;
}

const SliceTables& Slices() {
  static const SliceTables tables = MakeSliceTables();
  return tables;
}

inline uint32_t LoadLE(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

using Table = std::array<uint32_t, 256>;

inline uint32_t StepByte(const Table& t, uint32_t c, uint8_t b) { return (c >> 8) ^ t[(c ^ b) & 0xFF]; }

inline uint32_t FourSteps(const Table& t, uint32_t c) {
  c = (c >> 8) ^ t[c & 0xFF];
  c = (c >> 8) ^ t[c & 0xFF];
  c = (c >> 8) ^ t[c & 0xFF];
  return (c >> 8) ^ t[c & 0xFF];
}

}  // namespace

uint32_t UpdatePortable(uint32_t crc, const uint8_t* p, uint32_t n) {
  const Table& t = Slices()[0];
  uint32_t c = ~crc;
  while (n != 0 && (reinterpret_cast<uintptr_t>(p) & 3) != 0) {
    c = StepByte(t, c, *p++);
    --n;
  }
  for (; n >= 8; n -= 8, p += 8) {
    c = FourSteps(t, c ^ LoadLE(p));
    c = FourSteps(t, c ^ LoadLE(p + 4));
  }
  while (n-- != 0) c = StepByte(t, c, *p++);
  return ~c;
}

uint32_t UpdateSlice16(uint32_t crc, const uint8_t* p, uint32_t n) {
  const auto& t = Slices();
  uint32_t c = ~crc;
  for (; n >= 16; n -= 16, p += 16) {
    uint32_t w0 = c ^ LoadLE(p);
    uint32_t w1 = LoadLE(p + 4), w2 = LoadLE(p + 8), w3 = LoadLE(p + 12);
    c = t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF] ^ t[13][(w0 >> 16) & 0xFF] ^ t[12][w0 >> 24] ^
        t[11][w1 & 0xFF] ^ t[10][(w1 >> 8) & 0xFF] ^ t[9][(w1 >> 16) & 0xFF] ^ t[8][w1 >> 24] ^
        t[7][w2 & 0xFF] ^ t[6][(w2 >> 8) & 0xFF] ^ t[5][(w2 >> 16) & 0xFF] ^ t[4][w2 >> 24] ^
        t[3][w3 & 0xFF] ^ t[2][(w3 >> 8) & 0xFF] ^ t[1][(w3 >> 16) & 0xFF] ^ t[0][w3 >> 24];
  }
  while (n-- != 0) c = StepByte(t[0], c, *p++);
  return ~c;
}

Path AutoPath() { return HasPclmul() ? Path::kPclmul : Path::kSlice16; }

uint32_t UpdateWithPath(uint32_t crc, const uint8_t* data, uint32_t length, Path path) {
  if (data == nullptr || length == 0) return crc;
  if (path == Path::kAuto) path = AutoPath();
  switch (path) {
    case Path::kPortable:
      return UpdatePortable(crc, data, length);
    case Path::kPclmul:
      if (HasPclmul()) return UpdatePclmul(crc, data, length);
      return UpdateSlice16(crc, data, length);
    default:
      return UpdateSlice16(crc, data, length);
  }
}

}  // namespace crc32

uint32_t Crc32Update(uint32_t crc, const void* data, uint32_t length) {
  return crc32::UpdateWithPath(crc, static_cast<const uint8_t*>(data), length, crc32::Path::kAuto);
}

uint32_t Crc32Block(const void* data, uint32_t length) { return Crc32Update(0, data, length); }

uint32_t Crc32Text(std::string_view text) {
  // Pieces of at most 4 GiB - 1 so a huge text on a 64-bit host is not cut.
  uint32_t crc = 0;
  const char* p = text.data();
  for (size_t left = text.size(); left != 0;) {
    uint32_t piece = left > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(left);
    crc = Crc32Update(crc, p, piece);
    p += piece;
    left -= piece;
  }
  return crc;
}

}  // namespace upkit
