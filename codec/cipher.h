// AES-256 deciphering of packages (FIPS-197, ECB, no padding) with the
// package's tail rule for a final part shorter than one block.
//
// DecipherBuffer: full 16-byte blocks are AES-256-decrypted in place; a tail
// of r = count % 16 bytes t[0..r-1] becomes p[0] = t[0] ^ key[0],
// p[i] = t[i] ^ t[0].
// DecipherText: the same with word w[0] of the expanded schedule zeroed after
// expansion (so the last AddRoundKey of every block and the tail's k0 see 0).
// Each call builds its schedule on the stack; nothing is allocated per block.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/cipher_key.h"

namespace upkit {

// Deciphers `count` bytes at `data` in place. count <= 0 changes nothing.
void DecipherBuffer(void* data, int32_t count, const CipherKey& key);

// Returns the deciphered text, same length; the empty text gives empty.
std::string DecipherText(std::string_view text, const CipherKey& key);

// Fills `key` with 32 clock-seeded pseudo-random bytes, each in 0..254.
void NewCipherKey(CipherKey& key);

}  // namespace upkit
