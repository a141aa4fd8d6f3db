#include "codec/cipher.h"

#include <bit>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "codec/aes_paths.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace upkit {
namespace aes {

void MakeDecryptSchedule(const CipherKey& key, bool text, DecryptSchedule& schedule) {
  uint32_t w[kScheduleWords];
  ExpandKey(key, w);
  // Texts are deciphered with w[0] cleared after the expansion: only the last
  // AddRoundKey of each block (and the tail's k0) sees the zero.
  if (text) w[0] = 0;
  for (int round = 0; round <= kRounds; ++round) {
    const uint32_t* src = w + 4 * (kRounds - round);
    uint32_t* dst = schedule.rk + 4 * round;
    bool middle = round != 0 && round != kRounds;
    for (int c = 0; c < 4; ++c) dst[c] = middle ? InvMixColumn(src[c]) : src[c];
  }
}

// Row r of the output column takes its byte from input column (c - r) mod 4;
// the rotations of kTd0 stand in for the tables of rows 1..3.
void DecryptBlocksTable(const DecryptSchedule& schedule, uint8_t* data, size_t blocks) {
  const uint32_t* const rk_first = schedule.rk;
  const auto& td = kTd0;
  for (; blocks != 0; --blocks, data += 16) {
    const uint32_t* rk = rk_first;
    uint32_t s0 = LoadBE(data) ^ rk[0];
    uint32_t s1 = LoadBE(data + 4) ^ rk[1];
    uint32_t s2 = LoadBE(data + 8) ^ rk[2];
    uint32_t s3 = LoadBE(data + 12) ^ rk[3];
    for (int round = 1; round < kRounds; ++round) {
      rk += 4;
      uint32_t t0 = td[s0 >> 24] ^ std::rotr(td[(s3 >> 16) & 0xFF], 8) ^
                    std::rotr(td[(s2 >> 8) & 0xFF], 16) ^ std::rotr(td[s1 & 0xFF], 24) ^ rk[0];
      uint32_t t1 = td[s1 >> 24] ^ std::rotr(td[(s0 >> 16) & 0xFF], 8) ^
                    std::rotr(td[(s3 >> 8) & 0xFF], 16) ^ std::rotr(td[s2 & 0xFF], 24) ^ rk[1];
      uint32_t t2 = td[s2 >> 24] ^ std::rotr(td[(s1 >> 16) & 0xFF], 8) ^
                    std::rotr(td[(s0 >> 8) & 0xFF], 16) ^ std::rotr(td[s3 & 0xFF], 24) ^ rk[2];
      uint32_t t3 = td[s3 >> 24] ^ std::rotr(td[(s2 >> 16) & 0xFF], 8) ^
                    std::rotr(td[(s1 >> 8) & 0xFF], 16) ^ std::rotr(td[s0 & 0xFF], 24) ^ rk[3];
      s0 = t0;
      s1 = t1;
      s2 = t2;
      s3 = t3;
    }
    rk += 4;
    const auto& si = kInvSbox;
    StoreBE(data, Column(si[s0 >> 24], si[(s3 >> 16) & 0xFF], si[(s2 >> 8) & 0xFF], si[s1 & 0xFF]) ^ rk[0]);
    StoreBE(data + 4, Column(si[s1 >> 24], si[(s0 >> 16) & 0xFF], si[(s3 >> 8) & 0xFF], si[s2 & 0xFF]) ^ rk[1]);
    StoreBE(data + 8, Column(si[s2 >> 24], si[(s1 >> 16) & 0xFF], si[(s0 >> 8) & 0xFF], si[s3 & 0xFF]) ^ rk[2]);
    StoreBE(data + 12, Column(si[s3 >> 24], si[(s2 >> 16) & 0xFF], si[(s1 >> 8) & 0xFF], si[s0 & 0xFF]) ^ rk[3]);
  }
}

static Path ReadPathOverride() {
  const char* env = std::getenv("UPKIT_AES_PATH");
  if (env && std::strcmp(env, "table") == 0) return Path::kTable;
  if (env && std::strcmp(env, "aesni") == 0 && HasAesNi()) return Path::kAesNi;
  return HasAesNi() ? Path::kAesNi : Path::kTable;
}

Path AutoPath() {
  static const Path path = ReadPathOverride();
  return path;
}

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
  if (QueryPerformanceCounter(&counter) && counter.QuadPart != 0)
    return static_cast<uint32_t>(counter.QuadPart);
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
