#include "codec/cipher.h"

#include <bit>
#include <chrono>

#include "codec/aes_paths.h"

#ifdef _WIN32
// Only the clock for the key seed.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace upkit {
namespace aes {

namespace {

[[gnu::noinline]] DecipherTables MakeDecipherTables() {
  DecipherTables t;
  t.sbox = MakeSbox();
  t.inv_sbox = MakeInvSbox(t.sbox);
  t.td0 = MakeTd0(t.inv_sbox);
  return t;
}

}  // namespace

const DecipherTables& Decipher() {
  static const DecipherTables tables = MakeDecipherTables();
  return tables;
}

void MakeDecryptSchedule(const CipherKey& key, bool text, DecryptSchedule& schedule) {
  const DecipherTables& tables = Decipher();
  uint32_t w[kScheduleWords];
  ExpandKey(key, w, tables.sbox);
  // Texts are deciphered with w[0] cleared after the expansion: only the last
  // AddRoundKey of each block (and the tail's k0) sees the zero.
  if (text) w[0] = 0;
  for (int round = 0; round <= kRounds; ++round) {
    const uint32_t* src = w + 4 * (kRounds - round);
    uint32_t* dst = schedule.rk + 4 * round;
    bool middle = round != 0 && round != kRounds;
    for (int c = 0; c < 4; ++c) dst[c] = middle ? InvMixColumn(src[c], tables) : src[c];
  }
}

namespace {

struct State {
  uint32_t s0, s1, s2, s3;
};

inline State FirstRound(const uint8_t* in, const uint32_t* rk) {
  return {LoadBE(in) ^ rk[0], LoadBE(in + 4) ^ rk[1], LoadBE(in + 8) ^ rk[2], LoadBE(in + 12) ^ rk[3]};
}

// Row r of the output column takes its byte from input column (c - r) mod 4;
// the rotations of td0 stand in for the tables of rows 1..3.
inline State InnerRound(const State& s, const uint32_t* rk, const std::array<uint32_t, 256>& td) {
  return {td[s.s0 >> 24] ^ std::rotr(td[(s.s3 >> 16) & 0xFF], 8) ^ std::rotr(td[(s.s2 >> 8) & 0xFF], 16) ^
              std::rotr(td[s.s1 & 0xFF], 24) ^ rk[0],
          td[s.s1 >> 24] ^ std::rotr(td[(s.s0 >> 16) & 0xFF], 8) ^ std::rotr(td[(s.s3 >> 8) & 0xFF], 16) ^
              std::rotr(td[s.s2 & 0xFF], 24) ^ rk[1],
          td[s.s2 >> 24] ^ std::rotr(td[(s.s1 >> 16) & 0xFF], 8) ^ std::rotr(td[(s.s0 >> 8) & 0xFF], 16) ^
              std::rotr(td[s.s3 & 0xFF], 24) ^ rk[2],
          td[s.s3 >> 24] ^ std::rotr(td[(s.s2 >> 16) & 0xFF], 8) ^ std::rotr(td[(s.s1 >> 8) & 0xFF], 16) ^
              std::rotr(td[s.s0 & 0xFF], 24) ^ rk[3]};
}

inline void LastRound(const State& s, const uint32_t* rk, uint8_t* out, const std::array<uint8_t, 256>& si) {
  StoreBE(out, Column(si[s.s0 >> 24], si[(s.s3 >> 16) & 0xFF], si[(s.s2 >> 8) & 0xFF], si[s.s1 & 0xFF]) ^ rk[0]);
  StoreBE(out + 4, Column(si[s.s1 >> 24], si[(s.s0 >> 16) & 0xFF], si[(s.s3 >> 8) & 0xFF], si[s.s2 & 0xFF]) ^ rk[1]);
  StoreBE(out + 8, Column(si[s.s2 >> 24], si[(s.s1 >> 16) & 0xFF], si[(s.s0 >> 8) & 0xFF], si[s.s3 & 0xFF]) ^ rk[2]);
  StoreBE(out + 12, Column(si[s.s3 >> 24], si[(s.s2 >> 16) & 0xFF], si[(s.s1 >> 8) & 0xFF], si[s.s0 & 0xFF]) ^ rk[3]);
}

}  // namespace

void DecryptBlocksTable(const DecryptSchedule& schedule, uint8_t* data, size_t blocks) {
  const uint32_t* const rk = schedule.rk;
  const DecipherTables& t = Decipher();
  // Two independent blocks per step give a 64-bit processor two lookup
  // chains to overlap; 32-bit x86 has too few registers to gain from it.
  if constexpr (sizeof(void*) >= 8) {
    for (; blocks >= 2; blocks -= 2, data += 32) {
      State a = FirstRound(data, rk), b = FirstRound(data + 16, rk);
      for (int round = 1; round < kRounds; ++round) {
        a = InnerRound(a, rk + 4 * round, t.td0);
        b = InnerRound(b, rk + 4 * round, t.td0);
      }
      LastRound(a, rk + 4 * kRounds, data, t.inv_sbox);
      LastRound(b, rk + 4 * kRounds, data + 16, t.inv_sbox);
    }
  }
  for (; blocks != 0; --blocks, data += 16) {
    State a = FirstRound(data, rk);
    for (int round = 1; round < kRounds; ++round) a = InnerRound(a, rk + 4 * round, t.td0);
    LastRound(a, rk + 4 * kRounds, data, t.inv_sbox);
  }
}

Path AutoPath() { return HasAesNi() ? Path::kAesNi : Path::kTable; }

void DecipherWithPath(void* data, int32_t count, const CipherKey& key, bool text, Path path) {
  if (data == nullptr || count <= 0) return;
  DecryptSchedule schedule;
  MakeDecryptSchedule(key, text, schedule);
  auto* bytes = static_cast<uint8_t*>(data);
  size_t blocks = static_cast<size_t>(count) / 16;
  if (path == Path::kAuto) path = AutoPath();
  if (path == Path::kAesNi && HasAesNi())
    DecryptBlocksAesNi(schedule, bytes, blocks);
  else
    DecryptBlocksTable(schedule, bytes, blocks);

  // Tail rule: every later byte is XORed with the enciphered first byte t[0],
  // not with its deciphered value. k0 is byte 0 of the (text-modified) w[0].
  uint8_t* tail = bytes + blocks * 16;
  size_t r = static_cast<size_t>(count) % 16;
  if (r != 0) {
    uint8_t k0 = static_cast<uint8_t>(schedule.rk[4 * kRounds] >> 24);
    uint8_t t0 = tail[0];
    tail[0] = static_cast<uint8_t>(t0 ^ k0);
    for (size_t i = 1; i < r; ++i) tail[i] ^= t0;
  }
}

}  // namespace aes

void DecipherBuffer(void* data, int32_t count, const CipherKey& key) {
  aes::DecipherWithPath(data, count, key, false, aes::Path::kAuto);
}

std::string DecipherText(std::string_view text, const CipherKey& key) {
  std::string result(text);
  if (result.empty()) return result;
  // A text longer than 2 GiB cannot be described by the signed count; such a
  // text never comes out of a container, whose lengths are 32-bit signed.
  if (result.size() > 0x7FFFFFFF) return result;
  aes::DecipherWithPath(result.data(), static_cast<int32_t>(result.size()), key, true, aes::Path::kAuto);
  return result;
}

namespace {

// The module's own pseudo-random generator: a 32-bit linear congruential
// generator (multiplier 134775813, increment 1). Each draw scales the new
// state into 0..limit-1 by its high bits.
uint32_t g_random_state = 0;

uint32_t NextRandom(uint32_t limit) {
  g_random_state = g_random_state * 134775813u + 1u;
  return static_cast<uint32_t>((uint64_t{g_random_state} * limit) >> 32);
}

uint32_t ClockSeed() {
#ifdef _WIN32
  LARGE_INTEGER counter;
  if (QueryPerformanceCounter(&counter)) return static_cast<uint32_t>(counter.QuadPart);
  return GetTickCount();
#else
  auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
  return static_cast<uint32_t>(ticks);
#endif
}

}  // namespace

void NewCipherKey(CipherKey& key) {
  key.fill(0);
  g_random_state = ClockSeed();
  for (auto& byte : key) byte = static_cast<uint8_t>(NextRandom(255));  // 0..254
}

}  // namespace upkit
