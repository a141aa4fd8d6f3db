#include "pack/ansi_text.h"

#include <cstdint>

#include "codec/cp1251.h"

namespace upkit::pack {

std::optional<std::string> Utf8ToCp1251(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    uint8_t b = static_cast<uint8_t>(s[i]);
    char32_t c;
    size_t n;
    if (b < 0x80) { c = b; n = 1; }
    else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; n = 2; }
    else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; n = 3; }
    else if ((b & 0xF8) == 0xF0) { c = b & 0x07; n = 4; }
    else return std::nullopt;
    if (n > s.size() - i) return std::nullopt;
    for (size_t k = 1; k < n; ++k) {
      uint8_t cont = static_cast<uint8_t>(s[i + k]);
      if ((cont & 0xC0) != 0x80) return std::nullopt;
      c = (c << 6) | (cont & 0x3F);
    }
    // Overlong forms are not valid UTF-8.
    if ((n == 2 && c < 0x80) || (n == 3 && c < 0x800) || (n == 4 && c < 0x10000)) return std::nullopt;
    int mapped = cp1251::FromCodePoint(c);
    if (mapped < 0) return std::nullopt;
    out.push_back(static_cast<char>(mapped));
    i += n;
  }
  return out;
}

std::string Cp1251ToUtf8(std::string_view s) {
  std::string out;
  for (char ch : s) AppendUtf8(out, cp1251::ToCodePoint(static_cast<uint8_t>(ch)));
  return out;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace upkit::pack
