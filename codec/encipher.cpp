#include "codec/encipher.h"

#include <bit>

#include "codec/aes_tables.h"
#include "codec/error.h"

namespace upkit::pack {

namespace {

using namespace upkit::aes;

// Standard AES-256 encryption with the schedule w; row r of output column c
// takes its byte from input column (c + r) mod 4.
void EncryptBlocks(const uint32_t* w, uint8_t* data, size_t blocks) {
  const auto& te = kTe0;
  const auto& s = kSbox;
  for (; blocks != 0; --blocks, data += 16) {
    const uint32_t* rk = w;
    uint32_t s0 = LoadBE(data) ^ rk[0];
    uint32_t s1 = LoadBE(data + 4) ^ rk[1];
    uint32_t s2 = LoadBE(data + 8) ^ rk[2];
    uint32_t s3 = LoadBE(data + 12) ^ rk[3];
    for (int round = 1; round < kRounds; ++round) {
      rk += 4;
      uint32_t t0 = te[s0 >> 24] ^ std::rotr(te[(s1 >> 16) & 0xFF], 8) ^
                    std::rotr(te[(s2 >> 8) & 0xFF], 16) ^ std::rotr(te[s3 & 0xFF], 24) ^ rk[0];
      uint32_t t1 = te[s1 >> 24] ^ std::rotr(te[(s2 >> 16) & 0xFF], 8) ^
                    std::rotr(te[(s3 >> 8) & 0xFF], 16) ^ std::rotr(te[s0 & 0xFF], 24) ^ rk[1];
      uint32_t t2 = te[s2 >> 24] ^ std::rotr(te[(s3 >> 16) & 0xFF], 8) ^
                    std::rotr(te[(s0 >> 8) & 0xFF], 16) ^ std::rotr(te[s1 & 0xFF], 24) ^ rk[2];
      uint32_t t3 = te[s3 >> 24] ^ std::rotr(te[(s0 >> 16) & 0xFF], 8) ^
                    std::rotr(te[(s1 >> 8) & 0xFF], 16) ^ std::rotr(te[s2 & 0xFF], 24) ^ rk[3];
      s0 = t0;
      s1 = t1;
      s2 = t2;
      s3 = t3;
    }
    rk += 4;
    StoreBE(data, Column(s[s0 >> 24], s[(s1 >> 16) & 0xFF], s[(s2 >> 8) & 0xFF], s[s3 & 0xFF]) ^ rk[0]);
    StoreBE(data + 4, Column(s[s1 >> 24], s[(s2 >> 16) & 0xFF], s[(s3 >> 8) & 0xFF], s[s0 & 0xFF]) ^ rk[1]);
    StoreBE(data + 8, Column(s[s2 >> 24], s[(s3 >> 16) & 0xFF], s[(s0 >> 8) & 0xFF], s[s1 & 0xFF]) ^ rk[2]);
    StoreBE(data + 12, Column(s[s3 >> 24], s[(s0 >> 16) & 0xFF], s[(s1 >> 8) & 0xFF], s[s2 & 0xFF]) ^ rk[3]);
  }
}

// The text variant uses the schedule with w[0] cleared, exactly as the
// deciphering side does, so the first AddRoundKey and the tail's k0 see zero.
void Encipher(uint8_t* data, int32_t count, const CipherKey& key, bool text) {
  if (data == nullptr || count <= 0) return;
  uint32_t w[kScheduleWords];
  ExpandKey(key, w, kSbox);
  if (text) w[0] = 0;
  size_t blocks = static_cast<size_t>(count) / 16;
  EncryptBlocks(w, data, blocks);
  // Inverse of the tail rule p[0] = t[0] ^ k0, p[i] = t[i] ^ t[0]:
  // t[0] = p[0] ^ k0 first, then every later byte XORed with that t[0].
  size_t r = static_cast<size_t>(count) % 16;
  if (r != 0) {
    uint8_t* tail = data + blocks * 16;
    uint8_t k0 = static_cast<uint8_t>(w[0] >> 24);
    uint8_t t0 = static_cast<uint8_t>(tail[0] ^ k0);
    tail[0] = t0;
    for (size_t i = 1; i < r; ++i) tail[i] ^= t0;
  }
}

}  // namespace

void EncipherBuffer(void* data, int32_t count, const CipherKey& key) {
  Encipher(static_cast<uint8_t*>(data), count, key, false);
}

std::string EncipherText(std::string_view text, const CipherKey& key) {
  std::string result(text);
  if (result.empty()) return result;
  // Container lengths are signed 32-bit; refuse rather than leave it plain.
  if (result.size() > 0x7FFFFFFF) throw Error("text too long to encipher");
  Encipher(reinterpret_cast<uint8_t*>(result.data()), static_cast<int32_t>(result.size()), key, true);
  return result;
}

bool ParseCipherKey(std::string_view hex, CipherKey& key) {
  if (hex.size() != 2 * key.size()) return false;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < key.size(); ++i) {
    int hi = digit(hex[2 * i]), lo = digit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    key[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return true;
}

}  // namespace upkit::pack
