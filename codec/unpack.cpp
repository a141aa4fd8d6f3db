// aPLib-format block decoder and the "AP32" packed-header checks around it.
//
// The decoder keeps four cursors: ip/iend over the packed stream and
// op/oend over the destination, with obeg marking where output started.
// Every read and write is checked first, in subtraction form, so that no
// pointer is ever formed past the end of its buffer (the form `p + n > end`
// would wrap on 32-bit targets).
#include "codec/unpack.h"

#include <cstring>
#include <new>

#include "codec/crc32.h"
#include "codec/error.h"

namespace upkit {
namespace {

#if defined(__GNUC__)
#define UNPACK_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define UNPACK_INLINE __forceinline
#else
#define UNPACK_INLINE inline
#endif

// Named safety checks: each failing check abandons the stream with -1.
#define UNPACK_CHECK(cond) \
  do {                     \
    if (!(cond)) return -1; \
  } while (0)

uint32_t Load32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Decoder state shared by the guarded and the fast token decoders.
struct Decoder {
  const uint8_t* ip;
  const uint8_t* iend;
  uint8_t* const obeg;
  uint8_t* const oend;
  uint8_t* op;
  uint32_t tag = 0;          // unread bits sit at the top of the low byte
  int tag_bits = 0;          // how many bits of `tag` are still unread
  uint32_t last_offset = 0;  // 0: no explicit offset seen yet
  bool after_literal = true;

  // With kGuarded false the caller has made sure that enough input is left
  // for any one token (kTokenInputMax), so reads skip the end test.
  template <bool kGuarded>
  bool Byte(uint8_t& out) {
    if (kGuarded && ip == iend) return false;
    out = *ip++;
    return true;
  }

  template <bool kGuarded>
  bool Bit(uint32_t& out) {
    if (tag_bits == 0) {
      if (kGuarded && ip == iend) return false;
      tag = *ip++;
      tag_bits = 8;
    }
    --tag_bits;
    out = (tag >> tag_bits) & 1;
    return true;
  }

  // n bits (n <= 8), most significant first, taken from the current tag
  // byte at once when it holds them; the same bits as n calls of Bit.
  template <bool kGuarded>
  bool Bits(int n, uint32_t& out) {
    if (tag_bits >= n) {
      tag_bits -= n;
      out = (tag >> tag_bits) & ((1u << n) - 1);
      return true;
    }
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      uint32_t b;
      if (!Bit<kGuarded>(b)) return false;
      v = v << 1 | b;
    }
    out = v;
    return true;
  }

  // Elias-gamma-type number, at least 2; false when it would exceed 32 bits
  // or the input runs out.
  template <bool kGuarded>
  bool Gamma(uint32_t& out) {
    uint32_t v = 1;
    uint32_t more;
    do {
      uint32_t b;
      if (v > 0x7FFFFFFFu) return false;  // 2v + b would need a 33rd bit
      if (tag_bits >= 2) {  // the whole pair sits in the tag byte: one test
        tag_bits -= 2;
        b = (tag >> (tag_bits + 1)) & 1;
        more = (tag >> tag_bits) & 1;
      } else {
        if (!Bit<kGuarded>(b)) return false;
        if (!Bit<kGuarded>(more)) return false;
      }
      v = 2 * v + b;
    } while (more);
    out = v;
    return true;
  }

  enum Step { kNext, kEnd, kFail };
  template <bool kGuarded>
  UNPACK_INLINE Step Token();
};

// The most input one token can take: 3 token bits, two gamma numbers of at
// most 31 bit pairs each and 4 near-byte bits, in at most 17 tag bytes, plus
// one data byte.
constexpr ptrdiff_t kTokenInputMax = 18;

// Copies `len` bytes from `dist` bytes back. The caller has checked that
// 1 <= dist <= bytes written and len <= space left. Results equal a byte-by-byte
// copy: overlapping matches repeat the last `dist` bytes.
inline uint8_t* CopyMatch(uint8_t* op, uint32_t dist, uint32_t len) {
  const uint8_t* src = op - dist;
  if (dist >= len) {
    // No overlap. Short lengths as two fixed-size copies whose ranges meet
    // or overlap in the middle: exact, and cheaper than a library call.
    if (len <= 3) {
      for (uint32_t i = 0; i < len; ++i) op[i] = src[i];
    } else if (len <= 8) {
      uint32_t head, tail;
      std::memcpy(&head, src, 4);
      std::memcpy(&tail, src + len - 4, 4);
      std::memcpy(op, &head, 4);
      std::memcpy(op + len - 4, &tail, 4);
    } else if (len <= 16) {
      uint64_t head, tail;
      std::memcpy(&head, src, 8);
      std::memcpy(&tail, src + len - 8, 8);
      std::memcpy(op, &head, 8);
      std::memcpy(op + len - 8, &tail, 8);
    } else {
      std::memcpy(op, src, len);
    }
    return op + len;
  }
  if (dist == 1) {
    std::memset(op, *src, len);
    return op + len;
  }
  // Overlap: the output is periodic with period `dist` from src on, so each
  // copy may take everything between src and op, which doubles every round
  // and never overlaps the bytes being written.
  uint8_t* const end = op + len;
  while (op != end) {
    size_t chunk = size_t(op - src);
    size_t left = size_t(end - op);
    if (chunk > left) chunk = left;
    std::memcpy(op, src, chunk);
    op += chunk;
  }
  return op;
}

// CopyMatch for when at least kCopySlack bytes of output space are left after
// the match: the copy may then run past the match end in whole 16- or 8-byte
// moves, which spares the branches on the length. Bytes written past the end
// stay inside the destination and are rewritten by later tokens or never
// counted as output.
constexpr ptrdiff_t kCopySlack = 16;

UNPACK_INLINE uint8_t* CopyMatchWide(uint8_t* op, uint32_t dist, uint32_t len) {
  const uint8_t* src = op - dist;
  uint8_t* const end = op + len;
  // Each move reads only bytes written before it starts: dist >= its width.
  if (dist >= 16) {
    do {
      std::memcpy(op, src, 16);
      op += 16;
      src += 16;
    } while (op < end);
    return end;
  }
  if (dist >= 8) {
    do {
      std::memcpy(op, src, 8);
      op += 8;
      src += 8;
    } while (op < end);
    return end;
  }
  return CopyMatch(op, dist, len);
}

#define TOKEN_CHECK(cond) \
  do {                    \
    if (!(cond)) return kFail; \
  } while (0)

template <bool kGuarded>
UNPACK_INLINE Decoder::Step Decoder::Token() {
  // Token kind from its prefix bits: 0 literal, 10 gamma match,
  // 110 short match or end, 111 near byte. Peeked at once when the tag byte
  // holds three bits, else read one by one.
  enum { kLiteral, kGammaMatch, kShortMatch, kNearByte } kind;
  if (tag_bits >= 3) {
    uint32_t top = (tag >> (tag_bits - 3)) & 7;
    if (top < 4) {
      kind = kLiteral, tag_bits -= 1;
    } else if (top < 6) {
      kind = kGammaMatch, tag_bits -= 2;
    } else {
      kind = top == 6 ? kShortMatch : kNearByte, tag_bits -= 3;
    }
  } else {
    uint32_t bit;
    TOKEN_CHECK(Bit<kGuarded>(bit));
    if (bit == 0) {
      kind = kLiteral;
    } else {
      TOKEN_CHECK(Bit<kGuarded>(bit));
      if (bit == 0) {
        kind = kGammaMatch;
      } else {
        TOKEN_CHECK(Bit<kGuarded>(bit));
        kind = bit == 0 ? kShortMatch : kNearByte;
      }
    }
  }
  if (kind == kLiteral) {
    uint8_t b;
    TOKEN_CHECK(Byte<kGuarded>(b));
    TOKEN_CHECK(oend - op >= 1);  // SAFETY: output space for a literal
    *op++ = b;
    after_literal = true;
    return kNext;
  }
  if (kind == kGammaMatch) {  // repeat match or explicit offset
    uint32_t g;
    TOKEN_CHECK(Gamma<kGuarded>(g));
    uint32_t offset;
    uint64_t len;
    if (after_literal && g == 2) {
      TOKEN_CHECK(last_offset != 0);  // SAFETY: repeat match needs an earlier offset
      uint32_t l;
      TOKEN_CHECK(Gamma<kGuarded>(l));
      offset = last_offset;
      len = l;
    } else {
      uint32_t high = after_literal ? g - 3 : g - 2;
      TOKEN_CHECK(high < 0x1000000u);  // SAFETY: offset must fit 32 bits
      uint8_t low;
      TOKEN_CHECK(Byte<kGuarded>(low));
      offset = high << 8 | low;
      uint32_t l;
      TOKEN_CHECK(Gamma<kGuarded>(l));
      len = l;  // 64-bit: the adjustments below cannot wrap
      if (offset >= 32000) ++len;
      if (offset >= 1280) ++len;
      if (offset < 128) len += 2;
      last_offset = offset;
    }
    TOKEN_CHECK(offset != 0 && offset <= size_t(op - obeg));  // SAFETY: match source inside output
    TOKEN_CHECK(len <= uint64_t(oend - op));                   // SAFETY: match fits the space left
    if (!kGuarded && uint64_t(oend - op) - len >= uint64_t(kCopySlack))  // SAFETY: over-copy room
      op = CopyMatchWide(op, offset, uint32_t(len));
    else
      op = CopyMatch(op, offset, uint32_t(len));
    after_literal = false;
    return kNext;
  }
  if (kind == kShortMatch) {  // or end
    uint8_t b;
    TOKEN_CHECK(Byte<kGuarded>(b));
    if (b <= 1) return kEnd;
    uint32_t offset = b >> 1;
    uint32_t len = 2 + (b & 1);
    TOKEN_CHECK(offset <= size_t(op - obeg));  // SAFETY: match source inside output
    TOKEN_CHECK(len <= size_t(oend - op));     // SAFETY: match fits the space left
    if (!kGuarded && size_t(oend - op) - len >= size_t(kCopySlack))  // SAFETY: over-copy room
      op = CopyMatchWide(op, offset, len);
    else
      op = CopyMatch(op, offset, len);
    last_offset = offset;
    after_literal = false;
    return kNext;
  }
  // near byte: four bits select a byte 1..15 back, or 0 for a zero byte
  uint32_t o;
  TOKEN_CHECK(Bits<kGuarded>(4, o));
  TOKEN_CHECK(oend - op >= 1);  // SAFETY: output space for the byte
  if (o == 0) {
    *op = 0;
  } else {
    TOKEN_CHECK(o <= size_t(op - obeg));  // SAFETY: source byte inside output
    *op = op[-ptrdiff_t(o)];
  }
  ++op;
  after_literal = true;
  return kNext;
}

#undef TOKEN_CHECK

}  // namespace

int32_t UnpackStream(const void* stream, uint32_t stream_length, void* destination,
                     uint32_t capacity) {
  UNPACK_CHECK(stream != nullptr && destination != nullptr);
  const uint8_t* in = static_cast<const uint8_t*>(stream);
  uint8_t* out = static_cast<uint8_t*>(destination);
  Decoder d{in, in + stream_length, out, out + capacity, out};

  // The first byte is always a literal and comes before any tag byte.
  uint8_t first;
  UNPACK_CHECK(d.Byte<true>(first));
  UNPACK_CHECK(d.oend - d.op >= 1);  // SAFETY: output space for the first literal
  *d.op++ = first;

  Decoder::Step step = Decoder::kNext;
  while (step == Decoder::kNext) {
    // Far from the input's end no single token can run out of input.
    while (d.iend - d.ip >= kTokenInputMax && (step = d.Token<false>()) == Decoder::kNext) {
    }
    if (step == Decoder::kNext) step = d.Token<true>();
  }
  UNPACK_CHECK(step == Decoder::kEnd);
  size_t written = size_t(d.op - d.obeg);
  UNPACK_CHECK(written <= 0x7FFFFFFFu);  // the count must fit the signed result
  return int32_t(written);
}

int32_t UnpackedSizeFromHeader(const void* packed, int32_t size) {
  if (packed == nullptr || size < int32_t(kPackedHeaderSize)) return -1;
  const uint8_t* p = static_cast<const uint8_t*>(packed);
  if (Load32(p) != kPackedTag) return -1;
  if (Load32(p + 4) < kPackedHeaderSize) return -1;
  return int32_t(Load32(p + 16));
}

int32_t UnpackChecked(const void* packed, uint32_t packed_length, void* destination,
                      uint32_t capacity) {
  UNPACK_CHECK(packed != nullptr && destination != nullptr);
  UNPACK_CHECK(packed_length >= kPackedHeaderSize);
  const uint8_t* p = static_cast<const uint8_t*>(packed);
  UNPACK_CHECK(Load32(p) == kPackedTag);
  const uint32_t header_size = Load32(p + 4);
  const uint32_t stream_size = Load32(p + 8);
  const uint32_t stream_crc = Load32(p + 12);
  const uint32_t unpacked_size = Load32(p + 16);
  const uint32_t unpacked_crc = Load32(p + 20);
  UNPACK_CHECK(header_size >= kPackedHeaderSize && header_size <= packed_length);
  UNPACK_CHECK(stream_size <= packed_length - header_size);  // SAFETY: stream inside the input
  UNPACK_CHECK(Crc32Block(p + header_size, stream_size) == stream_crc);
  UNPACK_CHECK(unpacked_size <= capacity);
  UNPACK_CHECK(unpacked_size <= 0x7FFFFFFFu);  // the count must fit the signed result
  int32_t got = UnpackStream(p + header_size, stream_size, destination, capacity);
  UNPACK_CHECK(got >= 0 && uint32_t(got) == unpacked_size);
  UNPACK_CHECK(Crc32Block(destination, unpacked_size) == unpacked_crc);
  return int32_t(unpacked_size);
}

std::unique_ptr<uint8_t[]> DecompressBuffer(const void* packed, int32_t& size) {
  const int32_t n = UnpackedSizeFromHeader(packed, size);
  if (n <= 0) {
    size = n;
    return nullptr;
  }
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size_t(n)]);
  if (!buffer) throw Error(kOutOfMemory);
  if (UnpackChecked(packed, uint32_t(size), buffer.get(), uint32_t(n)) != n) {
    // A failed unpack is reported like an invalid header: the partly
    // written buffer is never handed on as the value.
    size = -1;
    return nullptr;
  }
  size = n;
  return buffer;
}

#undef UNPACK_CHECK

}  // namespace upkit
