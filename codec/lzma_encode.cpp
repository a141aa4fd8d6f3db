// The LZMA encoder of codec/lzma.h (authoring side only: the installer never
// links the encoder).
#include <cstdlib>

#include "codec/error.h"
#include "codec/lzma.h"

extern "C" {
#include "third_party/lzma/LzmaEnc.h"
}

namespace upkit::lzma {
namespace {

void* Alloc(void*, size_t size) { return std::malloc(size); }
void Free(void*, void* address) { std::free(address); }
ISzAlloc g_alloc = {Alloc, Free};

}  // namespace

std::vector<uint8_t> Encode(std::span<const uint8_t> data, const EncodeOptions& options) {
  CLzmaEncProps props;
  LzmaEncProps_Init(&props);
  props.level = 9;
  // The smallest power of two that holds the data, within the decoder's bound.
  uint32_t dictionary = 1u << 12;
  while (dictionary < data.size() && dictionary < kMaxDictionary) dictionary <<= 1;
  props.dictSize = dictionary;
  props.lc = options.lc;
  props.lp = options.lp;
  props.pb = options.pb;
  props.fb = 273;
  props.numThreads = 1;
  props.writeEndMark = 0;

  std::vector<uint8_t> out(kPropsSize + data.size() + data.size() / 3 + 256);
  SizeT out_len = out.size() - kPropsSize, props_len = kPropsSize;
  SRes res = LzmaEncode(out.data() + kPropsSize, &out_len, data.data(), data.size(), &props, out.data(),
                        &props_len, 0, nullptr, &g_alloc, &g_alloc);
  if (res == SZ_ERROR_MEM) throw Error(kOutOfMemory);
  if (res != SZ_OK || props_len != kPropsSize) throw Error("LZMA encoding failed");
  out.resize(kPropsSize + out_len);
  return out;
}

}  // namespace upkit::lzma
