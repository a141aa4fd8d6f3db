// Test helper: builds byte sequences field by field (little-endian), so
// containers, packed values, bitmaps and PE images can be written out by
// hand, damaged on purpose and compared byte for byte.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace upkit::test {

class ByteWriter {
 public:
  ByteWriter& U8(uint32_t v) {
    bytes.push_back(static_cast<uint8_t>(v));
    return *this;
  }
  ByteWriter& U16(uint32_t v) { return U8(v).U8(v >> 8); }
  ByteWriter& U32(uint32_t v) { return U16(v).U16(v >> 16); }
  ByteWriter& I32(int32_t v) { return U32(static_cast<uint32_t>(v)); }
  ByteWriter& U64(uint64_t v) { return U32(static_cast<uint32_t>(v)).U32(static_cast<uint32_t>(v >> 32)); }
  ByteWriter& Raw(std::string_view text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    return *this;
  }
  ByteWriter& Raw(const std::vector<uint8_t>& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return *this;
  }
  ByteWriter& Fill(size_t count, uint8_t value) {
    bytes.insert(bytes.end(), count, value);
    return *this;
  }
  // Version-2 string: int32 length, bytes.
  ByteWriter& Str2(std::string_view text) {
    return I32(static_cast<int32_t>(text.size())).Raw(text);
  }
  // Version-3 string with an explicit length code (0: uint8, 1: uint16, 2: int32).
  ByteWriter& Str3(std::string_view text, int code = 0) {
    U8(code);
    if (code == 0) U8(static_cast<uint32_t>(text.size()));
    else if (code == 1) U16(static_cast<uint32_t>(text.size()));
    else I32(static_cast<int32_t>(text.size()));
    return Raw(text);
  }
  // Overwrites 4 bytes at `offset` (for patching sizes and offsets later).
  void PatchU32(size_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(v >> (8 * i));
  }
  void PatchU16(size_t offset, uint32_t v) {
    bytes[offset] = static_cast<uint8_t>(v);
    bytes[offset + 1] = static_cast<uint8_t>(v >> 8);
  }
  size_t Size() const { return bytes.size(); }

  std::vector<uint8_t> bytes;
};

}  // namespace upkit::test
