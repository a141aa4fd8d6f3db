// Code page 1251 (Windows Cyrillic) <-> Unicode, one table for the whole
// program and usable at compile time (the installer's text table converts
// its Russian literals with it; the authoring tools convert manifests and
// file names). Bytes below 0x80 are ASCII, 0xC0..0xFF are U+0410..U+044F
// (А..я), and 0x80..0xBF come from the table. Byte 0x98 is the code page's
// one unassigned byte: it reads as U+FFFD and no code point maps to it.
// Portable and header-only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace upkit::cp1251 {

// Code points of bytes 0x80..0xBF, in order (0 marks the unassigned 0x98).
inline constexpr char16_t kHigh[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

// The code point of a byte (U+FFFD for the unassigned 0x98).
constexpr char32_t ToCodePoint(uint8_t b) {
  if (b < 0x80) return b;
  if (b >= 0xC0) return 0x0410 + (b - 0xC0);
  char16_t c = kHigh[b - 0x80];
  return c != 0 ? c : 0xFFFD;
}

// The byte for a code point, or -1 when the code page has none.
constexpr int FromCodePoint(char32_t c) {
  if (c < 0x80) return static_cast<int>(c);
  if (c >= 0x0410 && c <= 0x044F) return static_cast<int>(c - 0x0410 + 0xC0);
  for (int i = 0; i < 64; ++i) {
    if (kHigh[i] != 0 && kHigh[i] == c) return 0x80 + i;
  }
  return -1;
}

// The UTF-8 form of code page 1251 text (the installer's log file).
inline std::string ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char byte : text) {
    char32_t c = ToCodePoint(static_cast<uint8_t>(byte));
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace upkit::cp1251
