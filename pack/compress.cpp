// aPLib-format compressor: a forward optimal parse over exact bit costs.
//
// Token costs in bits (what the decoder reads):
//   literal        0 + byte                              9
//   near byte      111 + 4 bits (zero byte or 1..15 back) 7
//   short match    110 + byte (offset 1..127, len 2..3)  11
//   repeat match   10 + gamma(2) + gamma(len)            4 + gamma(len)
//   gamma match    10 + gamma(high + 3 | high + 2) + byte + gamma(len - adj)
// where a gamma number v costs 2*floor(log2 v) bits, the high part takes +3
// right after a literal or near byte and +2 right after a match, and adj is
// +2 below offset 128, +1 from 1280 and +1 more from 32000.
//
// The parse walks the input once. Each position keeps up to K cheapest
// "arrivals" (ways to reach it) that differ in the state the next token sees:
// the last offset and whether the previous token was literal-kind (only then
// is a repeat match possible). Literals and repeat matches carry that state
// on; an explicit match replaces it, so only the cheapest arrival of each kind
// needs to be extended by one. The input is parsed in blocks; at a block end
// the cheapest arrival is traced back and its tokens are written.
#include "pack/compress.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "codec/crc32.h"
#include "codec/error.h"
#include "codec/unpack.h"
#include "pack/compress_match.h"

namespace upkit::pack {
namespace {

struct Params {
  uint32_t arrivals;  // K: states kept per position
  uint32_t depth;     // match-finder depth
  uint32_t nice;      // match length taken at once without further search
};

Params ForLevel(int level) {
  if (level <= 1) return {1, 8, 32};
  if (level <= 3) return {2, 16, 64};
  if (level <= 5) return {4, 32, 128};
  if (level <= 7) return {6, 48, 192};
  return {8, 64, 256};
}

constexpr uint32_t kBlock = 1u << 16;

enum TokenType : uint8_t { kSingle, kShort, kGamma, kRepeat };

inline uint32_t GammaBits(uint32_t v) { return 2 * uint32_t(std::bit_width(v) - 1); }

inline uint32_t LengthAdjust(uint32_t dist) {
  return (dist >= 32000) + (dist >= 1280) + 2 * (dist < 128);
}

// Bits of an explicit gamma match after the two token bits, or 0 when the
// length is too short for the offset.
inline uint32_t GammaMatchBits(uint32_t dist, uint32_t len, bool after_literal) {
  uint32_t adj = LengthAdjust(dist);
  if (len < adj + 2) return 0;
  uint32_t high = (dist >> 8) + (after_literal ? 3 : 2);
  return 2 + GammaBits(high) + 8 + GammaBits(len - adj);
}

struct Arrival {
  uint32_t cost;  // bits since the block start
  uint32_t rep;   // last offset after the token (0: none yet)
  uint32_t from;  // source position, relative to the block start
  uint32_t len;   // bytes covered by the token
  uint32_t dist;  // match offset (0 for a single byte)
  uint8_t from_slot;
  uint8_t after_literal;
  uint8_t type;
};

class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
  void Byte(uint8_t b) { out_.push_back(b); }
  void Bit(uint32_t b) {
    if (bits_ == 0) {  // the tag byte takes its place when its first bit is due
      tag_pos_ = out_.size();
      out_.push_back(0);
      bits_ = 8;
    }
    --bits_;
    out_[tag_pos_] |= uint8_t((b & 1) << bits_);
  }
  void Gamma(uint32_t v) {
    int top = std::bit_width(v) - 1;
    for (int i = top - 1; i >= 0; --i) {
      Bit((v >> i) & 1);
      Bit(i != 0);
    }
  }

 private:
  std::vector<uint8_t>& out_;
  size_t tag_pos_ = 0;
  int bits_ = 0;
};

class Compressor {
 public:
  Compressor(const uint8_t* data, size_t size, const Params& p)
      : data_(data), size_(uint32_t(size)), p_(p), finder_(data, size, p.depth, p.nice) {
    slots_.resize(size_t(kBlock + 1) * p.arrivals);
    counts_.resize(kBlock + 1);
  }

  std::vector<uint8_t> Run() {
    std::vector<uint8_t> out;
    out.reserve(size_ / 2 + 16);
    BitWriter w(out);
    w.Byte(data_[0]);
    finder_.Skip(0);
    last_byte_pos_[data_[0]] = 1;
    uint32_t rep = 0;
    bool after_literal = true;
    for (uint32_t start = 1; start < size_;) {
      uint32_t end = size_ - start > kBlock ? start + kBlock : size_;
      ParseBlock(start, end, rep, after_literal);
      EmitBlock(w, start, end, rep, after_literal);
      start = end;
    }
    w.Bit(1);  // end token: 110 + 0x00
    w.Bit(1);
    w.Bit(0);
    w.Byte(0);
    return out;
  }

 private:
  Arrival* At(uint32_t rel) { return &slots_[size_t(rel) * p_.arrivals]; }

  // Keeps the K cheapest arrivals at `rel`, at most one per (rep, kind).
  void Offer(uint32_t rel, const Arrival& a) {
    Arrival* s = At(rel);
    uint32_t n = counts_[rel];
    uint32_t i = 0;
    for (; i < n; ++i) {
      if (s[i].rep == a.rep && s[i].after_literal == a.after_literal) {
        if (a.cost >= s[i].cost) return;
        break;  // replace this one and move it up
      }
    }
    if (i == n) {
      if (n < p_.arrivals) {
        counts_[rel] = uint8_t(++n);
      } else {
        i = n - 1;
        if (a.cost >= s[i].cost) return;
      }
    }
    while (i > 0 && s[i - 1].cost > a.cost) {
      s[i] = s[i - 1];
      --i;
    }
    s[i] = a;
  }

  // Distance (1..15) to the same byte value, 16 when none is that near; a
  // zero byte can always use the zero form.
  bool NearByte(uint32_t pos) {
    uint8_t b = data_[pos];
    uint32_t prev = last_byte_pos_[b];
    last_byte_pos_[b] = pos + 1;
    return b == 0 || (prev != 0 && pos - (prev - 1) <= 15);
  }

  void ParseBlock(uint32_t start, uint32_t end, uint32_t rep, bool after_literal) {
    const uint32_t span = end - start;
    std::fill(counts_.begin(), counts_.begin() + span + 1, 0);
    At(0)[0] = Arrival{0, rep, 0, 0, 0, 0, uint8_t(after_literal), kSingle};
    counts_[0] = 1;
    Match matches[MatchFinder::kMaxMatches];

    for (uint32_t rel = 0; rel < span;) {
      const uint32_t pos = start + rel;
      const uint32_t room = span - rel;  // tokens end at the block end
      size_t nm = finder_.Find(pos, matches);
      const uint32_t pair = finder_.NearestPair();
      const bool near = NearByte(pos);
      const Arrival* src = At(rel);
      const uint32_t n = counts_[rel];

      // Longest explicit match, extended past `nice` when it reached it.
      uint32_t longest = 0, longest_dist = 0;
      if (nm) {
        longest = matches[nm - 1].len;
        longest_dist = matches[nm - 1].dist;
        if (longest >= p_.nice) {
          longest += CommonLength(data_ + pos + longest - longest_dist, data_ + pos + longest,
                                  size_ - pos - longest);
        }
        if (longest > room) longest = room;
      }

      // A very long match is taken as it stands: jump over it.
      uint32_t best_rep_len = 0, best_rep_slot = 0;
      for (uint32_t k = 0; k < n; ++k) {
        const Arrival& a = src[k];
        if (!a.after_literal || a.rep == 0 || a.rep > pos) continue;
        uint32_t len = CommonLength(data_ + pos - a.rep, data_ + pos, room);
        if (len > best_rep_len) best_rep_len = len, best_rep_slot = k;
      }
      if (longest >= p_.nice || best_rep_len >= p_.nice) {
        if (best_rep_len >= longest) {
          const Arrival& a = src[best_rep_slot];
          Offer(rel + best_rep_len, Arrival{a.cost + 4 + GammaBits(best_rep_len), a.rep, rel,
                                            best_rep_len, a.rep, uint8_t(best_rep_slot), 0,
                                            kRepeat});
          longest = best_rep_len;
        } else {
          OfferGamma(rel, longest_dist, longest, longest, src, n);
        }
        for (uint32_t k = 1; k < longest; ++k) {
          finder_.Skip(pos + k);
          NearByte(pos + k);
        }
        rel += longest;
        continue;
      }

      // One byte: a near byte when possible, else a literal.
      const uint32_t single = near ? 7 : 9;
      for (uint32_t k = 0; k < n; ++k) {
        const Arrival& a = src[k];
        Offer(rel + 1, Arrival{a.cost + single, a.rep, rel, 1, 0, uint8_t(k), 1, kSingle});
      }

      // Repeat matches, one per literal-kind arrival.
      for (uint32_t k = 0; k < n; ++k) {
        const Arrival& a = src[k];
        if (!a.after_literal || a.rep == 0 || a.rep > pos) continue;
        uint32_t len = CommonLength(data_ + pos - a.rep, data_ + pos, room);
        for (uint32_t l = 2; l <= len; ++l)
          Offer(rel + l, Arrival{a.cost + 4 + GammaBits(l), a.rep, rel, l, a.rep, uint8_t(k), 0,
                                 kRepeat});
      }

      // Short matches: the nearest offset below 128 for lengths 2 and 3.
      if (room >= 2) {
        uint32_t d2 = pair != 0 && pair < 128 ? pair : 0;
        uint32_t d3 = 0;
        if (room >= 3) {
          if (d2 && data_[pos + 2] == data_[pos + 2 - d2]) d3 = d2;
          else if (nm && matches[0].dist < 128) d3 = matches[0].dist;
        }
        const Arrival& a = src[0];
        if (d2) Offer(rel + 2, Arrival{a.cost + 11, d2, rel, 2, d2, 0, 0, kShort});
        if (d3) Offer(rel + 3, Arrival{a.cost + 11, d3, rel, 3, d3, 0, 0, kShort});
        // Length 2 at offsets 128..1279 needs a gamma match.
        if (pair >= 128 && pair < 1280) OfferGamma(rel, pair, 2, 2, src, n);
      }

      // Gamma matches: for each length the nearest offset that reaches it.
      uint32_t from_len = 3;
      for (size_t m = 0; m < nm; ++m) {
        uint32_t to_len = std::min(matches[m].len, room);
        if (to_len >= from_len) OfferGamma(rel, matches[m].dist, from_len, to_len, src, n);
        from_len = std::max(from_len, to_len + 1);
      }
      ++rel;
    }
  }

  // Offers gamma matches at `dist` for lengths lo..hi from the cheapest
  // arrival of each kind.
  void OfferGamma(uint32_t rel, uint32_t dist, uint32_t lo, uint32_t hi, const Arrival* src,
                  uint32_t n) {
    int best_lit = -1, best_match = -1;
    for (uint32_t k = 0; k < n; ++k) {
      if (src[k].after_literal) {
        if (best_lit < 0) best_lit = int(k);
      } else if (best_match < 0) {
        best_match = int(k);
      }
    }
    for (uint32_t len = lo; len <= hi; ++len) {
      uint32_t cost = 0xFFFFFFFFu;
      int slot = -1;
      if (best_lit >= 0) {
        uint32_t bits = GammaMatchBits(dist, len, true);
        if (bits) cost = src[best_lit].cost + bits, slot = best_lit;
      }
      if (best_match >= 0) {
        uint32_t bits = GammaMatchBits(dist, len, false);
        if (bits && src[best_match].cost + bits < cost)
          cost = src[best_match].cost + bits, slot = best_match;
      }
      if (slot >= 0)
        Offer(rel + len, Arrival{cost, dist, rel, len, dist, uint8_t(slot), 0, kGamma});
    }
  }

  void EmitBlock(BitWriter& w, uint32_t start, uint32_t end, uint32_t& rep, bool& after_literal) {
    // Trace the cheapest arrival at the block end back to the block start.
    path_.clear();
    uint32_t rel = end - start, slot = 0;
    while (rel != 0) {
      const Arrival& a = At(rel)[slot];
      path_.push_back(a);
      slot = a.from_slot;
      rel = a.from;
    }
    for (auto it = path_.rbegin(); it != path_.rend(); ++it) {
      const Arrival& a = *it;
      const uint32_t pos = start + a.from;
      switch (a.type) {
        case kSingle: {
          uint8_t b = data_[pos];
          uint32_t o = 16;
          if (b == 0) {
            o = 0;
          } else {
            for (uint32_t d = 1; d <= 15 && d <= pos; ++d)
              if (data_[pos - d] == b) { o = d; break; }
          }
          if (o < 16) {
            w.Bit(1), w.Bit(1), w.Bit(1);
            for (int i = 3; i >= 0; --i) w.Bit((o >> i) & 1);
          } else {
            w.Bit(0);
            w.Byte(b);
          }
          after_literal = true;
          break;
        }
        case kShort:
          w.Bit(1), w.Bit(1), w.Bit(0);
          w.Byte(uint8_t(a.dist << 1 | (a.len - 2)));
          rep = a.dist;
          after_literal = false;
          break;
        case kRepeat:
          w.Bit(1), w.Bit(0);
          w.Gamma(2);
          w.Gamma(a.len);
          after_literal = false;
          break;
        case kGamma:
          w.Bit(1), w.Bit(0);
          w.Gamma((a.dist >> 8) + (after_literal ? 3 : 2));
          w.Byte(uint8_t(a.dist));
          w.Gamma(a.len - LengthAdjust(a.dist));
          rep = a.dist;
          after_literal = false;
          break;
      }
    }
  }

  const uint8_t* data_;
  uint32_t size_;
  Params p_;
  MatchFinder finder_;
  std::vector<Arrival> slots_;
  std::vector<uint8_t> counts_;
  std::vector<Arrival> path_;
  uint32_t last_byte_pos_[256] = {};  // byte value -> newest position + 1
};

void Put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

}  // namespace

std::vector<uint8_t> CompressStream(const uint8_t* data, size_t size, int level) {
  if (size == 0) return {};
  if (size > 0x7FFFFFFFu) throw Error("input too large to compress");
  Compressor c(data, size, ForLevel(level));
  return c.Run();
}

std::vector<uint8_t> CompressPacked(const uint8_t* data, size_t size, int level) {
  std::vector<uint8_t> stream = CompressStream(data, size, level);
  std::vector<uint8_t> out(kPackedHeaderSize + stream.size());
  Put32(&out[0], kPackedTag);
  Put32(&out[4], kPackedHeaderSize);
  Put32(&out[8], uint32_t(stream.size()));
  Put32(&out[12], Crc32Block(stream.data(), uint32_t(stream.size())));
  Put32(&out[16], uint32_t(size));
  Put32(&out[20], Crc32Block(data, uint32_t(size)));
  if (!stream.empty()) std::memcpy(&out[kPackedHeaderSize], stream.data(), stream.size());
  return out;
}

}  // namespace upkit::pack
