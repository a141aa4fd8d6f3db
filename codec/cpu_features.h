// Optional x86 instruction sets of the running processor, for the codecs'
// accelerated loops (internal to codec/). CPUID is asked once; on other
// processors every answer is false.
//
// UPKIT_X86_TARGET("feat,...") marks a function compiled for those features
// while the rest of the program keeps to the baseline; callers run it only
// after the matching answer below said yes. On 32-bit x86 the function also
// realigns its stack on entry, since 32-bit Windows guarantees only 4 bytes
// and spilled vector registers need 16.
#pragma once

#if defined(__i386__) || defined(__x86_64__) || defined(_M_IX86) || defined(_M_X64)
#define UPKIT_CODEC_X86 1
#endif

#if defined(UPKIT_CODEC_X86) && (defined(__GNUC__) || defined(__clang__))
#if defined(__i386__)
#define UPKIT_X86_TARGET(features) __attribute__((target(features), force_align_arg_pointer))
#else
#define UPKIT_X86_TARGET(features) __attribute__((target(features)))
#endif
#else
#define UPKIT_X86_TARGET(features)
#endif

namespace upkit::cpu {

// AES-NI together with SSE2.
bool HasAesNiAndSse2();
// PCLMULQDQ together with SSE2.
bool HasPclmulAndSse2();

}  // namespace upkit::cpu
