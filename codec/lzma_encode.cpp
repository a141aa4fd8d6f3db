// The LZMA encoder of codec/lzma.h (authoring side only: the installer never
// links the encoder).
#include <algorithm>
#include <cstdlib>

#include "codec/error.h"
#include "codec/lzma.h"

extern "C" {
#include "third_party/lzma/LzmaEnc.h"

// codec/lzma_encode_primed.c
SRes UpkitLzmaEncodePrimed(Byte* dest, SizeT* dest_len, const Byte* src, SizeT src_size, SizeT preset_size,
                           const CLzmaEncProps* props, Byte* props_encoded, SizeT* props_size, ISzAlloc* alloc);
}

namespace upkit::lzma {
namespace {

void* Alloc(void*, size_t size) { return std::malloc(size); }
void Free(void*, void* address) { std::free(address); }
ISzAlloc g_alloc = {Alloc, Free};

}  // namespace

std::vector<uint8_t> Encode(std::span<const uint8_t> data, const EncodeOptions& options,
                            std::span<const uint8_t> preset) {
  CLzmaEncProps props;
  LzmaEncProps_Init(&props);
  props.level = 9;
  // The smallest power of two that holds the data, within the decoder's bound.
  const size_t wanted = std::min<size_t>(preset.size(), kMaxDictionary) + data.size();
  uint32_t dictionary = 1u << 12;
  while (dictionary < wanted && dictionary < kMaxDictionary) dictionary <<= 1;
  props.dictSize = dictionary;
  props.lc = options.lc;
  props.lp = options.lp;
  props.pb = options.pb;
  props.fb = 273;
  props.numThreads = 1;
  props.writeEndMark = 0;

  std::vector<uint8_t> out(kPropsSize + data.size() + data.size() / 3 + 256);
  SizeT out_len = out.size() - kPropsSize, props_len = kPropsSize;
  SRes res;
  if (preset.empty()) {
    res = LzmaEncode(out.data() + kPropsSize, &out_len, data.data(), data.size(), &props, out.data(), &props_len, 0,
                     nullptr, &g_alloc, &g_alloc);
  } else {
    // The primed decoder holds the preset's last bytes that fit its
    // dictionary: the match finder sees those, then the data.
    const size_t used = PresetUsed(preset.size(), dictionary);
    std::vector<uint8_t> both(preset.end() - used, preset.end());
    both.insert(both.end(), data.begin(), data.end());
    res = UpkitLzmaEncodePrimed(out.data() + kPropsSize, &out_len, both.data(), both.size(), used, &props, out.data(),
                                &props_len, &g_alloc);
  }
  if (res == SZ_ERROR_MEM) throw Error(kOutOfMemory);
  if (res != SZ_OK || props_len != kPropsSize) throw Error("LZMA encoding failed");
  out.resize(kPropsSize + out_len);
  return out;
}

}  // namespace upkit::lzma
