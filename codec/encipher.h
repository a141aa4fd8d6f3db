// The enciphering direction of the package cipher (authoring side): exact
// inverses of DecipherBuffer and DecipherText, tail rule and text variant
// included.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/cipher.h"

namespace upkit::pack {

// Enciphers `count` bytes at `data` in place; DecipherBuffer with the same
// key restores them. count <= 0 changes nothing.
void EncipherBuffer(void* data, int32_t count, const CipherKey& key);

// Returns the enciphered text, same length; DecipherText restores it. The
// empty text gives empty. Raises upkit::Error for texts over 2^31-1 bytes,
// which no container can describe.
std::string EncipherText(std::string_view text, const CipherKey& key);

// Reads a key written as exactly 64 hexadecimal digits (either case), key
// byte 0 first. Returns false for any other text (`key` may then be partly written).
bool ParseCipherKey(std::string_view hex, CipherKey& key);

}  // namespace upkit::pack
