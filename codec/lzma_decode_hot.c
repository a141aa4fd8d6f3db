/* The LZMA SDK's decoder (third_party/lzma/LzmaDec.c, compiled here and
   nowhere else, untouched), with its inner loop optimised for speed while
   the build optimises the rest for size. The SDK marks exactly its three
   hot functions (LzmaDec_DecodeReal, LzmaDec_DecodeReal2, LzmaDec_WriteRem)
   with MY_FAST_CALL, a calling-convention hook that is empty for GCC:
   defining it as an optimize attribute moves only them to -O2. That loop
   is most of an installer's decoding time; at -O2 it takes about 740 bytes
   more of the stub than at -Os. */
#include "../third_party/lzma/Types.h"

#if defined(__GNUC__) && !defined(__clang__)  /* clang has no optimize attribute */
#undef MY_FAST_CALL
#define MY_FAST_CALL __attribute__((optimize("O2")))
#endif

#include "../third_party/lzma/LzmaDec.c"
