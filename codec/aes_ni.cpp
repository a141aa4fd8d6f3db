// The AES-NI deciphering loop: the same schedule as the table loop (it is
// already in the equivalent inverse cipher form that aesdec expects), loaded
// as bytes. Compiled for every x86 build with per-function target attributes
// so the rest of the program keeps running on processors without AES-NI;
// DecipherWithPath only calls it after HasAesNi() said yes.
#include "codec/aes_paths.h"
#include "codec/cpu_features.h"

#ifdef UPKIT_CODEC_X86
#include <immintrin.h>
#endif

#define UPKIT_AESNI_FN UPKIT_X86_TARGET("aes,sse2")

namespace upkit::aes {

// Answered by CPUID on x86, false elsewhere.
bool HasAesNi() { return cpu::HasAesNiAndSse2(); }

#ifdef UPKIT_CODEC_X86

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

void DecryptBlocksAesNi(const DecryptSchedule& schedule, uint8_t* data, size_t blocks) {
  DecryptBlocksTable(schedule, data, blocks);
}

#endif

}  // namespace upkit::aes
