// The enciphering direction of the package cipher (authoring side): exact
// inverses of DecipherBuffer and DecipherText, tail rule and text variant
// included.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/cipher.h"

namespace upkit::pack {

void EncipherBuffer(void* data, int32_t count, const CipherKey& key);
std::string EncipherText(std::string_view text, const CipherKey& key);

}  // namespace upkit::pack
