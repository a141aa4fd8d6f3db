// Test helper: writes Windows BMP files field by field, so decoder tests can
// state the exact pixels they store and damage headers on purpose.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "tests/container/byte_writer.h"

namespace upkit::test {

struct BmpSpec {
  uint32_t info_size = 40;  // 12, 40, 52, 56, 108 or 124
  int32_t width = 1;
  int32_t height = 1;  // negative: top-down
  uint16_t bits = 24;
  uint32_t compression = 0;
  uint32_t colours_used = 0;
  uint32_t size_image = 0;
  std::vector<uint32_t> palette;       // 0x00RRGGBB entries
  std::array<uint32_t, 3> masks{};     // BI_BITFIELDS red, green, blue
  std::vector<uint8_t> pixels;         // rows as stored in the file
};

// The file bytes; the pixel offset points right after the colour table.
inline std::vector<uint8_t> MakeBmp(const BmpSpec& s) {
  ByteWriter info;
  info.U32(s.info_size);
  if (s.info_size == 12) {
    info.U16(static_cast<uint32_t>(s.width)).U16(static_cast<uint32_t>(s.height)).U16(1).U16(s.bits);
  } else {
    info.I32(s.width).I32(s.height).U16(1).U16(s.bits).U32(s.compression).U32(s.size_image);
    info.I32(2835).I32(2835).U32(s.colours_used).U32(0);
    if (s.info_size >= 52) info.U32(s.masks[0]).U32(s.masks[1]).U32(s.masks[2]);
    info.Fill(s.info_size - info.Size(), 0);
    if (s.info_size == 40 && s.compression == 3) info.U32(s.masks[0]).U32(s.masks[1]).U32(s.masks[2]);
  }
  for (uint32_t c : s.palette) {
    info.U8(c).U8(c >> 8).U8(c >> 16);
    if (s.info_size != 12) info.U8(0);
  }
  ByteWriter file;
  uint32_t offset = static_cast<uint32_t>(14 + info.Size());
  file.Raw("BM").U32(offset + static_cast<uint32_t>(s.pixels.size())).U32(0).U32(offset);
  file.Raw(info.bytes).Raw(s.pixels);
  return file.bytes;
}

}  // namespace upkit::test
