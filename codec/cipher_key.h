// The package's AES-256 key: 32 bytes, stored in the container's header.
// Shared by the deciphering entry points (codec/cipher.h), their block loops
// (codec/aes_paths.h, codec/aes_tables.h) and the enciphering side.
#pragma once

#include <array>
#include <cstdint>

namespace upkit {

using CipherKey = std::array<uint8_t, 32>;

}  // namespace upkit
