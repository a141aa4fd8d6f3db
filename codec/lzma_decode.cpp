#include <cstdlib>
#include <cstring>

#include "codec/error.h"
#include "codec/lzma.h"

extern "C" {
#include "third_party/lzma/LzmaDec.h"
}

namespace upkit::lzma {
namespace {

void* Alloc(void*, size_t size) { return std::malloc(size); }
void Free(void*, void* address) { std::free(address); }
ISzAlloc g_alloc = {Alloc, Free};

[[noreturn]] void Malformed() { throw Error(kStreamReadError); }

}  // namespace

struct Decoder::State {
  CLzmaDec dec;
  const uint8_t* in;
  size_t in_left;
  uint64_t out_left;
};

Decoder::Decoder(const uint8_t* coded, size_t coded_size, uint64_t size, const uint8_t* preset, size_t preset_size)
    : state_(nullptr) {
  if (coded_size < kPropsSize) Malformed();
  // SAFETY_CHECK: the properties bound the model's and the dictionary's memory.
  uint8_t props[kPropsSize];
  std::memcpy(props, coded, kPropsSize);
  if (props[0] >= 9 * 5 * 5) Malformed();
  const int lc = props[0] % 9, lp = props[0] / 9 % 5;
  if (lc + lp > kMaxLiteralBits) Malformed();
  uint32_t dictionary = uint32_t(props[1]) | uint32_t(props[2]) << 8 | uint32_t(props[3]) << 16 |
                        uint32_t(props[4]) << 24;
  // A dictionary larger than the preset and the data is never used past
  // their size.
  const size_t primed = PresetUsed(preset ? preset_size : 0, dictionary);
  if (dictionary - primed > size) dictionary = uint32_t(primed + size);
  if (dictionary > kMaxDictionary) Malformed();
  for (int i = 0; i < 4; ++i) props[1 + i] = uint8_t(dictionary >> (8 * i));

  State* s = static_cast<State*>(std::malloc(sizeof(State)));
  if (!s) throw Error(kOutOfMemory);
  LzmaDec_Construct(&s->dec);
  SRes res = LzmaDec_Allocate(&s->dec, props, kPropsSize, &g_alloc);
  if (res != SZ_OK) {
    std::free(s);
    if (res == SZ_ERROR_MEM) throw Error(kOutOfMemory);
    Malformed();
  }
  LzmaDec_Init(&s->dec);
  if (primed) {
    // As though the coder had decoded the preset: its bytes in the
    // dictionary, matches may reach back into them, positions go on.
    std::memcpy(s->dec.dic, preset + (preset_size - primed), primed);
    s->dec.dicPos = primed;
    s->dec.processedPos = uint32_t(primed);
    if (primed >= s->dec.dicBufSize) s->dec.checkDicSize = s->dec.prop.dicSize;
  }
  s->in = coded + kPropsSize;
  s->in_left = coded_size - kPropsSize;
  s->out_left = size;
  state_ = s;
}

Decoder::~Decoder() {
  LzmaDec_Free(&state_->dec, &g_alloc);
  std::free(state_);
}

void Decoder::Read(uint8_t* out, size_t n) {
  State& s = *state_;
  if (n > s.out_left) Malformed();
  while (n) {
    SizeT out_len = n, in_len = s.in_left;
    ELzmaStatus status;
    // The end of the data ends the stream exactly: no end mark follows.
    ELzmaFinishMode mode = n == s.out_left ? LZMA_FINISH_END : LZMA_FINISH_ANY;
    if (LzmaDec_DecodeToBuf(&s.dec, out, &out_len, s.in, &in_len, mode, &status) != SZ_OK) Malformed();
    if (out_len == 0 && in_len == 0) Malformed();  // SAFETY_CHECK: the coded data ran out
    s.in += in_len;
    s.in_left -= in_len;
    s.out_left -= out_len;
    out += out_len;
    n -= out_len;
  }
}

bool Decoder::Done() const { return state_->out_left == 0 && state_->in_left == 0; }

}  // namespace upkit::lzma
