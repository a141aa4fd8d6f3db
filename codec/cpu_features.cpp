#include "codec/cpu_features.h"

#ifdef UPKIT_CODEC_X86
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace upkit::cpu {
namespace {

// Feature bits of CPUID leaf 1.
constexpr unsigned kPclmulEcx = 1u << 1;
constexpr unsigned kAesEcx = 1u << 25;
constexpr unsigned kSse2Edx = 1u << 26;

struct Leaf1 {
  unsigned ecx = 0;
  unsigned edx = 0;
};

Leaf1 ReadLeaf1() {
  Leaf1 leaf;
#ifdef UPKIT_CODEC_X86
#if defined(_MSC_VER) && !defined(__clang__)
  int regs[4];
  __cpuid(regs, 1);
  leaf.ecx = static_cast<unsigned>(regs[2]);
  leaf.edx = static_cast<unsigned>(regs[3]);
#else
  unsigned eax, ebx, ecx, edx;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
    leaf.ecx = ecx;
    leaf.edx = edx;
  }
#endif
#endif
  return leaf;
}

const Leaf1& Cached() {
  static const Leaf1 leaf = ReadLeaf1();
  return leaf;
}

bool Has(unsigned ecx_bits, unsigned edx_bits) {
  const Leaf1& leaf = Cached();
  return (leaf.ecx & ecx_bits) == ecx_bits && (leaf.edx & edx_bits) == edx_bits;
}

}  // namespace

bool HasAesNiAndSse2() { return Has(kAesEcx, kSse2Edx); }
bool HasPclmulAndSse2() { return Has(kPclmulEcx, kSse2Edx); }

}  // namespace upkit::cpu
