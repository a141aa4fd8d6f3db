// The AES-NI deciphering loop: the same schedule as the table loop (it is
// already in the equivalent inverse cipher form that aesdec expects), loaded
// as bytes. Compiled for every x86 build with per-function target attributes
// so the rest of the program keeps running on processors without AES-NI;
// DecipherWithPath only calls it after HasAesNi() said yes.
#include "codec/aes_paths.h"

#if defined(__i386__) || defined(__x86_64__) || defined(_M_IX86) || defined(_M_X64)
#define UPKIT_AES_X86 1
#include <immintrin.h>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

#if defined(UPKIT_AES_X86) && (defined(__GNUC__) || defined(__clang__))
// 32-bit Windows only guarantees 4-byte stack alignment; realign on entry so
// spilled vector registers are safe.
#if defined(__i386__)
#define UPKIT_AESNI_FN __attribute__((target("aes,sse2"), force_align_arg_pointer))
#else
#define UPKIT_AESNI_FN __attribute__((target("aes,sse2")))
#endif
#else
#define UPKIT_AESNI_FN
#endif

namespace upkit::aes {

#ifdef UPKIT_AES_X86

static bool DetectAesNi() {
  unsigned ecx, edx;
#if defined(_MSC_VER) && !defined(__clang__)
  int regs[4];
  __cpuid(regs, 1);
  ecx = static_cast<unsigned>(regs[2]);
  edx = static_cast<unsigned>(regs[3]);
#else
  unsigned eax, ebx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
#endif
  const unsigned kAesEcx = 1u << 25, kSse2Edx = 1u << 26;
  return (ecx & kAesEcx) && (edx & kSse2Edx);
}

bool HasAesNi() {
  static const bool has = DetectAesNi();
  return has;
}

UPKIT_AESNI_FN static inline __m128i Dec4(__m128i s, __m128i k) { return _mm_aesdec_si128(s, k); }

UPKIT_AESNI_FN void DecryptBlocksAesNi(const DecryptSchedule& schedule, uint8_t* data, size_t blocks) {
  alignas(16) uint8_t bytes[16 * (kRounds + 1)];
  for (int i = 0; i < kScheduleWords; ++i) StoreBE(bytes + 4 * i, schedule.rk[i]);
  __m128i k[kRounds + 1];
  for (int r = 0; r <= kRounds; ++r) k[r] = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes + 16 * r));

  // Four blocks at a time keep the aesdec pipeline full.
  for (; blocks >= 4; blocks -= 4, data += 64) {
    __m128i* p = reinterpret_cast<__m128i*>(data);
    __m128i b0 = _mm_xor_si128(_mm_loadu_si128(p), k[0]);
    __m128i b1 = _mm_xor_si128(_mm_loadu_si128(p + 1), k[0]);
    __m128i b2 = _mm_xor_si128(_mm_loadu_si128(p + 2), k[0]);
    __m128i b3 = _mm_xor_si128(_mm_loadu_si128(p + 3), k[0]);
    for (int r = 1; r < kRounds; ++r) {
      b0 = Dec4(b0, k[r]);
      b1 = Dec4(b1, k[r]);
      b2 = Dec4(b2, k[r]);
      b3 = Dec4(b3, k[r]);
    }
    _mm_storeu_si128(p, _mm_aesdeclast_si128(b0, k[kRounds]));
    _mm_storeu_si128(p + 1, _mm_aesdeclast_si128(b1, k[kRounds]));
    _mm_storeu_si128(p + 2, _mm_aesdeclast_si128(b2, k[kRounds]));
    _mm_storeu_si128(p + 3, _mm_aesdeclast_si128(b3, k[kRounds]));
  }
  for (; blocks != 0; --blocks, data += 16) {
    __m128i* p = reinterpret_cast<__m128i*>(data);
    __m128i b = _mm_xor_si128(_mm_loadu_si128(p), k[0]);
    for (int r = 1; r < kRounds; ++r) b = Dec4(b, k[r]);
    _mm_storeu_si128(p, _mm_aesdeclast_si128(b, k[kRounds]));
  }
}

#else  // not x86: there is no AES-NI loop, the table loop does the work

bool HasAesNi() { return false; }

void DecryptBlocksAesNi(const DecryptSchedule& schedule, uint8_t* data, size_t blocks) {
  DecryptBlocksTable(schedule, data, blocks);
}

#endif

}  // namespace upkit::aes
