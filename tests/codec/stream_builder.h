// Builds aPLib-format streams by hand for decoder tests: bits go into tag
// bytes (most significant bit first) that take their place in the byte
// sequence at the moment their first bit is written, as the decoder reads.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "codec/crc32.h"
#include "codec/unpack.h"

namespace upkit::test {

class StreamBuilder {
 public:
  StreamBuilder& Byte(uint8_t b) {
    out_.push_back(b);
    return *this;
  }
  StreamBuilder& Bit(int b) {
    if (bits_ == 0) {
      tag_pos_ = out_.size();
      out_.push_back(0);
      bits_ = 8;
    }
    --bits_;
    if (b) out_[tag_pos_] |= uint8_t(1u << bits_);
    return *this;
  }
  // A string of '0' and '1'.
  StreamBuilder& Bits(std::string_view s) {
    for (char c : s) Bit(c == '1');
    return *this;
  }
  StreamBuilder& Gamma(uint64_t v) {  // v >= 2; may exceed 32 bits on purpose
    int top = 63;
    while (!((v >> top) & 1)) --top;
    for (int i = top - 1; i >= 0; --i) Bit(int((v >> i) & 1)).Bit(i != 0);
    return *this;
  }
  StreamBuilder& Literal(uint8_t b) { return Bit(0).Byte(b); }
  StreamBuilder& Short(uint32_t offset, uint32_t len) {
    return Bits("110").Byte(uint8_t(offset << 1 | (len - 2)));
  }
  StreamBuilder& Near(uint32_t o) {
    Bits("111");
    for (int i = 3; i >= 0; --i) Bit(int((o >> i) & 1));
    return *this;
  }
  // Gamma match with an explicit offset; `g_base` is 3 after a literal-kind
  // token and 2 after a match; `len_code` is the gamma length as coded.
  StreamBuilder& Match(uint32_t offset, uint32_t len_code, uint32_t g_base) {
    return Bits("10").Gamma((offset >> 8) + g_base).Byte(uint8_t(offset)).Gamma(len_code);
  }
  StreamBuilder& Repeat(uint32_t len) { return Bits("10").Gamma(2).Gamma(len); }
  StreamBuilder& End(uint8_t b = 0) { return Bits("110").Byte(b); }

  const std::vector<uint8_t>& bytes() const { return out_; }

 private:
  std::vector<uint8_t> out_;
  size_t tag_pos_ = 0;
  int bits_ = 0;
};

inline void Put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = uint8_t(x >> (8 * i));
}

// A packed value: header (with `extra` bytes after the 24) + stream.
inline std::vector<uint8_t> Packed(const std::vector<uint8_t>& stream,
                                   const std::vector<uint8_t>& unpacked, uint32_t extra = 0) {
  std::vector<uint8_t> v(kPackedHeaderSize + extra, 0xEE);
  Put32(v, 0, kPackedTag);
  Put32(v, 4, kPackedHeaderSize + extra);
  Put32(v, 8, uint32_t(stream.size()));
  Put32(v, 12, Crc32Block(stream.data(), uint32_t(stream.size())));
  Put32(v, 16, uint32_t(unpacked.size()));
  Put32(v, 20, Crc32Block(unpacked.data(), uint32_t(unpacked.size())));
  v.insert(v.end(), stream.begin(), stream.end());
  return v;
}

}  // namespace upkit::test
