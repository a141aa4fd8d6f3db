// codec/: the byte codecs every other floor uses, both directions side by side:
// CRC-32, AES-256 (cipher.h deciphers, encipher.h enciphers), the aPLib
// format (unpack.h, compress.h) and the LZMA wrapper (lzma.h). The stub links
// the decoding half (upkit_codec); the authoring side adds upkit_codec_encode.
//
// CRC-32 (CRC-32/ISO-HDLC: the zlib/PKZIP/Ethernet checksum).
// Reflected polynomial 0xEDB88320, initial register 0xFFFFFFFF, final XOR
// 0xFFFFFFFF. "123456789" gives 0xCBF43926; empty input gives 0.
// Pure functions: no state survives a call, nothing is allocated.
#pragma once

#include <cstdint>
#include <string_view>

namespace upkit {

// CRC-32 of `length` bytes at `data`; 0 when data is null or length is 0.
uint32_t Crc32Block(const void* data, uint32_t length);

// Crc32Block over the text's bytes (no terminator); 0 for an empty text.
// Section and value names of a container are keyed by this value.
uint32_t Crc32Text(std::string_view text);

// Continues a CRC over more bytes, for data that arrives in pieces:
// Crc32Update(Crc32Block(a, n), b, m) equals the CRC of a followed by b, and
// Crc32Update(0, p, n) equals Crc32Block(p, n). Null data returns crc as is.
uint32_t Crc32Update(uint32_t crc, const void* data, uint32_t length);

}  // namespace upkit
