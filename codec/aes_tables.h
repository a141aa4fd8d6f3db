// AES constants and the AES-256 key expansion, shared by the deciphering
// (codec/cipher.cpp) and enciphering (codec/encipher.cpp) directions.
//
// Every table is computed from its FIPS-197 definition, so
// the values are the standard ones by construction:
//   kSbox             the S-box (multiplicative inverse in GF(2^8) modulo
//                     x^8+x^4+x^3+x+1, then the affine map with 0x63);
//   kTe0              one encryption round per byte: (02,01,01,03)*S[x].
// The deciphering tables (the S-box, its inverse and td0, one inverse round
// per byte: (0e,09,0d,0b)*InvS[x]) come from the same functions at first use.
// Words are big-endian columns: byte 4c+r of a block is row r of column c and
// sits in bits 31-8r..24-8r of word c. The tables for the other three rows are
// rotations of kTe0/td0 by 8, 16 and 24 bits.
//
// Internal header of the cipher modules; not part of the public interface.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#include "codec/cipher_key.h"

namespace upkit::aes {

inline constexpr int kRounds = 14;
inline constexpr int kScheduleWords = 4 * (kRounds + 1);  // 60

constexpr uint8_t XTime(uint8_t a) {
  return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0x00));
}

constexpr uint8_t GfMul(uint8_t a, uint8_t b) {
  uint8_t product = 0;
  while (b) {
    if (b & 1) product ^= a;
    a = XTime(a);
    b >>= 1;
  }
  return product;
}

constexpr uint8_t Rotl8(uint8_t x, int n) {
  return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

// Walks the multiplicative group with generator 3: p runs through 3^k and q
// through 3^-k at the same time, so q is the inverse of p.
constexpr std::array<uint8_t, 256> MakeSbox() {
  std::array<uint8_t, 256> sbox{};
  uint8_t p = 1, q = 1;
  do {
    p = static_cast<uint8_t>(p ^ XTime(p));  // p *= 3
    q ^= static_cast<uint8_t>(q << 1);       // q /= 3
    q ^= static_cast<uint8_t>(q << 2);
    q ^= static_cast<uint8_t>(q << 4);
    if (q & 0x80) q ^= 0x09;
    sbox[p] = static_cast<uint8_t>(q ^ Rotl8(q, 1) ^ Rotl8(q, 2) ^ Rotl8(q, 3) ^ Rotl8(q, 4) ^ 0x63);
  } while (p != 1);
  sbox[0] = 0x63;  // 0 has no inverse; the affine map alone
  return sbox;
}

constexpr std::array<uint8_t, 256> MakeInvSbox(const std::array<uint8_t, 256>& sbox) {
  std::array<uint8_t, 256> inv{};
  for (int i = 0; i < 256; ++i) inv[sbox[i]] = static_cast<uint8_t>(i);
  return inv;
}

constexpr uint32_t Column(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  return (uint32_t{b0} << 24) | (uint32_t{b1} << 16) | (uint32_t{b2} << 8) | uint32_t{b3};
}

inline constexpr std::array<uint8_t, 256> kSbox = MakeSbox();

constexpr std::array<uint32_t, 256> MakeTe0() {
  std::array<uint32_t, 256> t{};
  for (int i = 0; i < 256; ++i) {
    uint8_t s = kSbox[i];
    t[i] = Column(GfMul(s, 2), s, s, GfMul(s, 3));
  }
  return t;
}

constexpr std::array<uint32_t, 256> MakeTd0(const std::array<uint8_t, 256>& inv_sbox) {
  std::array<uint32_t, 256> t{};
  for (int i = 0; i < 256; ++i) {
    uint8_t s = inv_sbox[i];
    t[i] = Column(GfMul(s, 0x0E), GfMul(s, 0x09), GfMul(s, 0x0D), GfMul(s, 0x0B));
  }
  return t;
}

inline constexpr std::array<uint32_t, 256> kTe0 = MakeTe0();

// The deciphering side's tables, made once at first use by the same
// functions: the installer then carries the few hundred bytes of code that
// make them instead of their 1.5 KiB.
struct DecipherTables {
  std::array<uint8_t, 256> sbox, inv_sbox;
  std::array<uint32_t, 256> td0;
};

// Made at the first call (codec/cipher.cpp), at run time: a table the
// compiler could evaluate would be stored as data again.
const DecipherTables& Decipher();

// Round constants x^(i-1) for i = 1..7 (AES-256 uses seven), in the top byte.
inline constexpr uint32_t kRcon[8] = {0, 0x01000000, 0x02000000, 0x04000000,
                                      0x08000000, 0x10000000, 0x20000000, 0x40000000};

inline uint32_t LoadBE(const uint8_t* p) {
  return Column(p[0], p[1], p[2], p[3]);
}

inline void StoreBE(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

inline uint32_t SubWord(uint32_t w, const std::array<uint8_t, 256>& sbox) {
  return Column(sbox[w >> 24], sbox[(w >> 16) & 0xFF], sbox[(w >> 8) & 0xFF], sbox[w & 0xFF]);
}

// The FIPS-197 key expansion with Nk = 8 into w[0..59], through `sbox`
// (kSbox or Decipher().sbox: the same bytes).
inline void ExpandKey(const CipherKey& key, uint32_t w[kScheduleWords], const std::array<uint8_t, 256>& sbox) {
  for (int i = 0; i < 8; ++i) w[i] = LoadBE(key.data() + 4 * i);
  for (int i = 8; i < kScheduleWords; ++i) {
    uint32_t temp = w[i - 1];
    if (i % 8 == 0)
      temp = SubWord(std::rotl(temp, 8), sbox) ^ kRcon[i / 8];
    else if (i % 8 == 4)
      temp = SubWord(temp, sbox);
    w[i] = w[i - 8] ^ temp;
  }
}

// InvMixColumns of one column: td0 undoes the S-box it carries via sbox.
inline uint32_t InvMixColumn(uint32_t w, const DecipherTables& t) {
  const auto& td = t.td0;
  const auto& s = t.sbox;
  return td[s[w >> 24]] ^ std::rotr(td[s[(w >> 16) & 0xFF]], 8) ^ std::rotr(td[s[(w >> 8) & 0xFF]], 16) ^
         std::rotr(td[s[w & 0xFF]], 24);
}

}  // namespace upkit::aes
