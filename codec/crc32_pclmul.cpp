// CRC-32 by carry-less multiplication folding (PCLMULQDQ).
//
// A 16-byte chunk loaded little-endian holds message bits with bit j standing
// for x^(127-j) relative to the chunk's end; its low half L carries the
// higher powers. Moving a chunk D bits further down the message multiplies it
// by x^D, and modulo the CRC polynomial P that is
//   L * (x^(64+D-1) mod P) + H * (x^(D-1) mod P)      (times x)
// where the extra x is what a carry-less product of two bit-reflected values
// supplies by itself. Each constant below is x^n mod P (degree < 32) stored
// bit-reflected in a 64-bit word (coefficient of x^d at bit 63-d); they were
// computed from P = 0x104C11DB7 and are checked by the tests against the
// table loops.
//
// Four lanes fold 64 bytes per step; they are then folded into one chunk,
// which (with register 0) goes through the table loop to give the remainder,
// followed by the last 0..15 bytes.
#include "codec/cpu_features.h"
#include "codec/crc32_paths.h"

#ifdef UPKIT_CODEC_X86
#include <immintrin.h>
#endif

#define UPKIT_PCLMUL_FN UPKIT_X86_TARGET("pclmul,sse2")

namespace upkit::crc32 {

// Answered by CPUID on x86, false elsewhere.
bool HasPclmul() { return cpu::HasPclmulAndSse2(); }

#ifdef UPKIT_CODEC_X86

namespace {

// x^n mod P, bit-reflected into 64 bits (see the top of the file).
constexpr long long kX575 = 0x653D982200000000LL;  // fold by 512 bits, low half
constexpr long long kX511 = static_cast<long long>(0xCAD38E8F00000000ULL);  // ... high half
constexpr long long kX191 = 0x65673B4600000000LL;  // fold by 128 bits, low half
constexpr long long kX127 = static_cast<long long>(0x9BA54C6F00000000ULL);  // ... high half

UPKIT_PCLMUL_FN inline __m128i Fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

}  // namespace

UPKIT_PCLMUL_FN uint32_t UpdatePclmul(uint32_t crc, const uint8_t* p, uint32_t n) {
  if (n < 64) return UpdateSlice16(crc, p, n);
  const __m128i* q = reinterpret_cast<const __m128i*>(p);
  __m128i x0 = _mm_xor_si128(_mm_loadu_si128(q), _mm_cvtsi32_si128(static_cast<int>(~crc)));
  __m128i x1 = _mm_loadu_si128(q + 1);
  __m128i x2 = _mm_loadu_si128(q + 2);
  __m128i x3 = _mm_loadu_si128(q + 3);
  p += 64;
  n -= 64;

  const __m128i k512 = _mm_set_epi64x(kX511, kX575);
  for (; n >= 64; n -= 64, p += 64) {
    q = reinterpret_cast<const __m128i*>(p);
    x0 = _mm_xor_si128(Fold(x0, k512), _mm_loadu_si128(q));
    x1 = _mm_xor_si128(Fold(x1, k512), _mm_loadu_si128(q + 1));
    x2 = _mm_xor_si128(Fold(x2, k512), _mm_loadu_si128(q + 2));
    x3 = _mm_xor_si128(Fold(x3, k512), _mm_loadu_si128(q + 3));
  }

  const __m128i k128 = _mm_set_epi64x(kX127, kX191);
  __m128i x = _mm_xor_si128(Fold(x0, k128), x1);
  x = _mm_xor_si128(Fold(x, k128), x2);
  x = _mm_xor_si128(Fold(x, k128), x3);
  for (; n >= 16; n -= 16, p += 16)
    x = _mm_xor_si128(Fold(x, k128), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));

  // The remaining chunk run through the table from register 0 gives its
  // remainder times x^32, which is the CRC register; ~0 in means register 0.
  alignas(16) uint8_t chunk[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(chunk), x);
  uint32_t c = UpdateSlice16(0xFFFFFFFFu, chunk, 16);
  return UpdateSlice16(c, p, n);
}

#else  // not x86: no folding loop

uint32_t UpdatePclmul(uint32_t crc, const uint8_t* data, uint32_t length) {
  return UpdateSlice16(crc, data, length);
}

#endif

}  // namespace upkit::crc32
