// Code page 1251 (Windows Cyrillic) conversion for the authoring side:
// manifests and host file names are UTF-8, package texts are 8-bit ANSI.
// Code page 1251 holds ASCII, Cyrillic and a few typographic signs; byte
// 0x98 is unassigned and never produced or accepted.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace upkit::pack {

// The text in code page 1251, or nothing when it is not valid UTF-8 or holds
// a character that code page 1251 cannot hold.
std::optional<std::string> Utf8ToCp1251(std::string_view utf8);

// The UTF-8 form of a code page 1251 text (0x98 becomes U+FFFD).
std::string Cp1251ToUtf8(std::string_view ansi);

// Appends the UTF-8 form of code point `c` (at most U+10FFFF) to `out`.
void AppendUtf8(std::string& out, char32_t c);

}  // namespace upkit::pack
