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
//
// Data that does not compress (archives, media, encrypted files) would cost
// the full parse for nothing, and more per byte the larger it is (the match
// trees grow deep and miss the cache). Before each block a linear probe
// estimates what the block's best tokens could cost; a block that cannot
// shrink is written as single-byte tokens at once and never enters the
// match finder, so such input costs a few nanoseconds a byte.
#include "codec/compress.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "codec/compress_match.h"
#include "codec/crc32.h"
#include "codec/error.h"
#include "codec/unpack.h"

namespace upkit::pack {
namespace {

struct Params {
  uint32_t arrivals;  // K: states kept per position (at most kMaxArrivals)
  uint32_t depth;     // match-finder depth
  uint32_t nice;      // match length taken at once without further search
  bool far_offsets;   // also offer farther offsets at their full length
};

constexpr uint32_t kMaxArrivals = 16;

Params ForLevel(int level) {
  // Measured on executables: each step trades speed for a smaller result.
  switch (level < 1 ? 1 : level) {
    case 1: return {1, 4, 16, false};
    case 2: return {2, 4, 32, false};
    case 3: return {2, 8, 32, false};
    case 4: return {4, 8, 64, false};
    case 5: return {4, 16, 64, true};
    case 6: return {8, 16, 128, true};
    case 7: return {8, 32, 128, true};
    case 8: return {12, 32, 256, true};
    default: return {16, 32, 256, true};
  }
}

constexpr uint32_t kBlock = 1u << 15;

// Longest stream for `size` bytes: all literals (9 bits each), the tag byte
// of the end token and its zero byte.
size_t MaxStreamSize(size_t size) { return size + size / 8 + 4; }

enum TokenType : uint32_t { kSingle, kShort, kGamma, kRepeat };

inline uint32_t GammaBits(uint32_t v) { return 2 * uint32_t(std::bit_width(v) - 1); }

inline uint32_t LengthAdjust(uint32_t dist) {
  return (dist >= 32000) + (dist >= 1280) + 2 * (dist < 128);
}

// State seen by the next token: the last offset, with the top bit set when
// the previous token was literal-kind.
constexpr uint32_t kAfterLiteral = 0x80000000u;

// A token that arrives at a position: its length, the source slot at the
// position where it starts, and its kind.
inline uint32_t Info(uint32_t len, uint32_t slot, TokenType type) {
  return len << 8 | slot << 3 | type;
}
inline uint32_t InfoLen(uint32_t info) { return info >> 8; }
inline uint32_t InfoSlot(uint32_t info) { return (info >> 3) & 31; }
inline TokenType InfoType(uint32_t info) { return TokenType(info & 7); }

// The arrivals at one position, cheapest first: views into the per-block
// arrays, K entries per position.
struct Slots {
  uint32_t* cost;  // bits since the block start
  uint32_t* key;   // state after the token (see kAfterLiteral)
  uint32_t* info;
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

// A cheap estimate, before the parse, of whether a block can shrink. One
// pass: near bytes as the parse sees them, and repeats of 4 bytes or more
// found through anchors (every kAnchorStep-th position, in a table that keeps
// about the match window's worth). Each repeat is priced like a short gamma
// match, every other byte as a near byte or a literal. The repeats it finds
// go to the parse as hints: they may point into blocks written as single
// bytes, which the match finder never saw. Greedy and partial: the parse
// finds at least what the probe finds, so a block the probe sees shrinking
// is parsed; the margin keeps blocks the parse would shrink a little by
// matches the probe misses.
class ShrinkProbe {
 public:
  struct Hint {
    uint32_t start, end, dist;  // data[start, end) repeats data `dist` back
  };

  ShrinkProbe(const uint8_t* data, size_t size) : data_(data), size_(uint32_t(size)) {
    int bits = 12;
    while (bits < 20 && (size_t(1) << bits) * kAnchorStep < size) ++bits;
    shift_ = 32 - bits;
    anchors_.assign(size_t(1) << bits, 0);
  }

  // Blocks must come in order, each once. Leaves the block's repeats in
  // Hints(), in order.
  bool MayShrink(uint32_t start, uint32_t end) {
    uint64_t bits = 0;
    hints_.clear();
    for (uint32_t pos = start; pos < end;) {
      uint32_t dist = 0;
      const uint32_t len = Repeat(pos, end, &dist);
      if (len != 0) {
        bits += kRepeatBits;
        hints_.push_back(Hint{pos, pos + len, dist});
        for (uint32_t p = pos; p < pos + len; ++p) Pass(p);
        pos += len;
        continue;
      }
      bits += Near(pos) ? 7 : 9;
      Pass(pos);
      ++pos;
    }
    // Parse when the estimate is below 8.5 bits a byte: random bytes come
    // to about 8.9 (one byte in 16 is a near byte).
    return bits * 2 < uint64_t(end - start) * 17;
  }
  const std::vector<Hint>& Hints() const { return hints_; }

 private:
  static constexpr uint32_t kAnchorStep = 8;
  static constexpr uint64_t kRepeatBits = 24;

  uint32_t Hash(uint32_t pos) const {
    uint32_t v;
    std::memcpy(&v, data_ + pos, 4);
    return (v * 2654435761u) >> shift_;
  }
  bool Near(uint32_t pos) const {
    const uint8_t b = data_[pos];
    const uint32_t prev = last_[b];
    return b == 0 || (prev != 0 && pos - (prev - 1) <= 15);
  }
  // Records the byte at pos, and pos as an anchor on its step.
  void Pass(uint32_t pos) {
    last_[data_[pos]] = pos + 1;
    if (pos % kAnchorStep == 0 && size_ - pos >= 4) anchors_[Hash(pos)] = pos + 1;
  }
  // Length of the repeat at pos found through an anchor (within the match
  // window, at least 4 bytes, up to the block end) and its distance, or 0.
  uint32_t Repeat(uint32_t pos, uint32_t end, uint32_t* dist) const {
    if (end - pos < 4) return 0;
    const uint32_t anchor = anchors_[Hash(pos)];
    if (anchor == 0 || pos - (anchor - 1) > MatchFinder::kWindow) return 0;
    const uint32_t len = CommonLength(data_ + anchor - 1, data_ + pos, end - pos);
    *dist = pos - (anchor - 1);
    return len >= 4 ? len : 0;
  }

  const uint8_t* data_;
  uint32_t size_;
  int shift_;
  std::vector<uint32_t> anchors_;  // hash of 4 bytes -> anchor position + 1
  uint32_t last_[256] = {};        // byte value -> newest position + 1
  std::vector<Hint> hints_;
};

class Compressor {
 public:
  Compressor(const uint8_t* data, size_t size, const Params& p)
      : data_(data), size_(uint32_t(size)), p_(p), finder_(data, size, p.depth, p.nice), probe_(data, size) {
    const size_t positions = (size_ < kBlock ? size_ : kBlock) + 1;
    const size_t n = positions * p_.arrivals;
    cost_.resize(n);
    key_.resize(n);
    info_.resize(n);
    counts_.resize(positions);
  }

  // Appends the stream to `out`. Gives up, returning false with `out` cut
  // back, as soon as the stream is longer than `limit` bytes.
  bool Run(std::vector<uint8_t>& out, size_t limit) {
    const size_t begin = out.size();
    // Room for the worst case (a literal is 9 bits) at once, so the buffer is
    // never moved: pages that are never written cost no memory.
    out.reserve(begin + std::min<size_t>(limit, MaxStreamSize(size_)) + 1);
    BitWriter w(out);
    w.Byte(data_[0]);
    finder_.Skip(0);
    last_byte_pos_[data_[0]] = 1;
    uint32_t key = kAfterLiteral;  // no offset yet, after the first literal
    for (uint32_t start = 1; start < size_;) {
      uint32_t end = size_ - start > kBlock ? start + kBlock : size_;
      if (probe_.MayShrink(start, end)) {
        ParseBlock(start, end, key);
        key = EmitBlock(w, start, end);
      } else {
        key = EmitSingles(w, start, end, key);
      }
      start = end;
      if (out.size() - begin > limit) break;
    }
    w.Bit(1);  // end token: 110 + 0x00
    w.Bit(1);
    w.Bit(0);
    w.Byte(0);
    if (out.size() - begin <= limit) return true;
    out.resize(begin);
    return false;
  }

 private:
  Slots At(uint32_t rel) {
    const size_t at = size_t(rel) * p_.arrivals;
    return Slots{&cost_[at], &key_[at], &info_[at]};
  }

  // Keeps the K cheapest arrivals at `rel`, at most one per state.
  void Offer(uint32_t rel, uint32_t cost, uint32_t key, uint32_t info) {
    const Slots s = At(rel);
    uint32_t n = counts_[rel];
    if (n == p_.arrivals && cost >= s.cost[n - 1]) return;  // worse than all kept
    uint32_t i = 0;
    while (i < n && s.key[i] != key) ++i;
    if (i < n) {
      if (cost >= s.cost[i]) return;
    } else if (n < p_.arrivals) {
      counts_[rel] = uint8_t(n + 1);
    } else {
      i = n - 1;
    }
    for (; i > 0 && s.cost[i - 1] > cost; --i) {
      s.cost[i] = s.cost[i - 1];
      s.key[i] = s.key[i - 1];
      s.info[i] = s.info[i - 1];
    }
    s.cost[i] = cost;
    s.key[i] = key;
    s.info[i] = info;
  }

  // True when the byte at pos can be a near byte: a zero byte, or the same
  // value 1..15 bytes back.
  bool NearByte(uint32_t pos) {
    uint8_t b = data_[pos];
    uint32_t prev = last_byte_pos_[b];
    last_byte_pos_[b] = pos + 1;
    return b == 0 || (prev != 0 && pos - (prev - 1) <= 15);
  }

  // Gamma matches at `dist` for lengths lo..hi, from the cheapest arrival of
  // each kind (an explicit offset replaces the state, so no other can win).
  void OfferGamma(uint32_t rel, uint32_t dist, uint32_t lo, uint32_t hi) {
    const uint32_t adj = LengthAdjust(dist);
    if (lo < adj + 2) lo = adj + 2;
    const uint32_t high = dist >> 8;
    uint32_t base_lit = 0xFFFFFFFFu, base_match = 0xFFFFFFFFu;
    if (best_lit_ >= 0) base_lit = lit_cost_ + 2 + GammaBits(high + 3) + 8;
    if (best_match_ >= 0) base_match = match_cost_ + 2 + GammaBits(high + 2) + 8;
    uint32_t base, slot;
    if (base_lit <= base_match) base = base_lit, slot = uint32_t(best_lit_);
    else base = base_match, slot = uint32_t(best_match_);
    for (uint32_t len = lo; len <= hi; ++len)
      Offer(rel + len, base + GammaBits(len - adj), dist, Info(len, slot, kGamma));
  }

  void ParseBlock(uint32_t start, uint32_t end, uint32_t key) {
    const uint32_t span = end - start;
    std::fill(counts_.begin(), counts_.begin() + span + 1, 0);
    At(0).cost[0] = 0;
    At(0).key[0] = key;
    At(0).info[0] = 0;
    counts_[0] = 1;
    Match matches[MatchFinder::kMaxMatches + 1];
    uint32_t rep_len[kMaxArrivals];
    const std::vector<ShrinkProbe::Hint>& hints = probe_.Hints();
    size_t hint = 0;

    for (uint32_t rel = 0; rel < span;) {
      const uint32_t pos = start + rel;
      const uint32_t room = span - rel;  // tokens end at the block end
      size_t nm = finder_.Find(pos, matches);
      // The probe's repeat covering pos, as long as a finder match (3 bytes
      // and more), after the finder's.
      while (hint < hints.size() && hints[hint].end < pos + 3) ++hint;
      if (hint < hints.size() && hints[hint].start <= pos)
        matches[nm++] = Match{hints[hint].end - pos, hints[hint].dist};
      const uint32_t pair = finder_.NearestPair();
      const bool near = NearByte(pos);
      const Slots src = At(rel);
      const uint32_t n = counts_[rel];

      // Longest explicit match (nearest offset first), extended past `nice`.
      uint32_t longest = 0, longest_dist = 0;
      for (size_t m = 0; m < nm; ++m)
        if (matches[m].len > longest) longest = matches[m].len, longest_dist = matches[m].dist;
      // Tokens end at the block end, so the extension stops there too (on
      // repetitive input a walk to the end of the data at every block
      // would make the parse quadratic).
      if (longest > room) longest = room;
      if (longest >= p_.nice)
        longest += CommonLength(data_ + pos + longest - longest_dist, data_ + pos + longest, room - longest);

      // Repeat-match lengths of the literal-kind arrivals.
      uint32_t best_rep_len = 0, best_rep_slot = 0;
      best_lit_ = best_match_ = -1;
      for (uint32_t k = 0; k < n; ++k) {
        rep_len[k] = 0;
        const uint32_t rep = src.key[k] & ~kAfterLiteral;
        if (!(src.key[k] & kAfterLiteral)) {
          if (best_match_ < 0) best_match_ = int(k), match_cost_ = src.cost[k];
          continue;
        }
        if (best_lit_ < 0) best_lit_ = int(k), lit_cost_ = src.cost[k];
        if (rep == 0) continue;
        rep_len[k] = CommonLength(data_ + pos - rep, data_ + pos, room);
        if (rep_len[k] > best_rep_len) best_rep_len = rep_len[k], best_rep_slot = k;
      }

      // A very long match is taken as it stands: jump over it.
      if (longest >= p_.nice || best_rep_len >= p_.nice) {
        if (best_rep_len >= longest) {
          longest = best_rep_len;
          Offer(rel + longest, src.cost[best_rep_slot] + 4 + GammaBits(longest),
                src.key[best_rep_slot] & ~kAfterLiteral, Info(longest, best_rep_slot, kRepeat));
        } else {
          OfferGamma(rel, longest_dist, longest, longest);
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
      for (uint32_t k = 0; k < n; ++k)
        Offer(rel + 1, src.cost[k] + single, src.key[k] | kAfterLiteral, Info(1, k, kSingle));

      // Repeat matches keep the offset; the next token follows a match.
      for (uint32_t k = 0; k < n; ++k) {
        const uint32_t rep = src.key[k] & ~kAfterLiteral;
        for (uint32_t l = 2; l <= rep_len[k]; ++l)
          Offer(rel + l, src.cost[k] + 4 + GammaBits(l), rep, Info(l, k, kRepeat));
      }

      // Short matches: the nearest offset below 128 for lengths 2 and 3.
      if (room >= 2) {
        const uint32_t d2 = pair != 0 && pair < 128 ? pair : 0;
        uint32_t d3 = 0;
        if (room >= 3) {
          if (d2 && data_[pos + 2] == data_[pos + 2 - d2]) d3 = d2;
          else if (nm && matches[0].dist < 128) d3 = matches[0].dist;
        }
        if (d2) Offer(rel + 2, src.cost[0] + 11, d2, Info(2, 0, kShort));
        if (d3) Offer(rel + 3, src.cost[0] + 11, d3, Info(3, 0, kShort));
        // Length 2 at offsets 128..1279 needs a gamma match.
        if (pair >= 128 && pair < 1280) OfferGamma(rel, pair, 2, 2);
      }

      // Gamma matches: for each length the nearest offset that reaches it;
      // farther offsets only at their full length, where they can set up a
      // repeat match after the next literal.
      uint32_t from_len = 3;
      for (size_t m = 0; m < nm; ++m) {
        const uint32_t to_len = std::min(matches[m].len, room);
        if (to_len >= from_len) {
          OfferGamma(rel, matches[m].dist, from_len, to_len);
          from_len = to_len + 1;
        } else if (p_.far_offsets) {
          OfferGamma(rel, matches[m].dist, to_len, to_len);
        }
      }
      ++rel;
    }
  }

  // Writes a block that cannot shrink as single-byte tokens: a near byte
  // where one fits (7 bits), else a literal (9 bits); the last offset stays.
  // Its positions never enter the match finder: later blocks find no
  // matches in it, which costs nothing when it does not compress.
  uint32_t EmitSingles(BitWriter& w, uint32_t start, uint32_t end, uint32_t key) {
    for (uint32_t pos = start; pos < end; ++pos) {
      const uint8_t b = data_[pos];
      const uint32_t prev = last_byte_pos_[b];
      if (NearByte(pos)) {
        const uint32_t o = b == 0 ? 0 : pos - (prev - 1);
        w.Bit(1), w.Bit(1), w.Bit(1);
        for (int i = 3; i >= 0; --i) w.Bit((o >> i) & 1);
      } else {
        w.Bit(0);
        w.Byte(b);
      }
    }
    return key | kAfterLiteral;
  }

  // Writes the tokens of the cheapest way through the block; returns the
  // state at its end.
  uint32_t EmitBlock(BitWriter& w, uint32_t start, uint32_t end) {
    path_.clear();
    uint32_t rel = end - start, slot = 0;
    const uint32_t end_key = At(rel).key[0];
    while (rel != 0) {
      const uint32_t info = At(rel).info[slot];
      path_.push_back(Step{rel, slot});
      slot = InfoSlot(info);
      rel -= InfoLen(info);
    }
    bool after_literal = (At(0).key[0] & kAfterLiteral) != 0;
    for (auto it = path_.rbegin(); it != path_.rend(); ++it) {
      const uint32_t info = At(it->rel).info[it->slot];
      const uint32_t len = InfoLen(info);
      const uint32_t dist = At(it->rel).key[it->slot] & ~kAfterLiteral;
      const uint32_t pos = start + it->rel - len;
      switch (InfoType(info)) {
        case kSingle: {
          const uint8_t b = data_[pos];
          uint32_t o = 16;
          if (b == 0) {
            o = 0;
          } else {
            for (uint32_t d = 1; d <= 15 && d <= pos; ++d)
              if (data_[pos - d] == b) {
                o = d;
                break;
              }
          }
          if (o < 16) {
            w.Bit(1), w.Bit(1), w.Bit(1);
            for (int i = 3; i >= 0; --i) w.Bit((o >> i) & 1);
          } else {
            w.Bit(0);
            w.Byte(b);
          }
          after_literal = true;
          continue;
        }
        case kShort:
          w.Bit(1), w.Bit(1), w.Bit(0);
          w.Byte(uint8_t(dist << 1 | (len - 2)));
          break;
        case kRepeat:
          w.Bit(1), w.Bit(0);
          w.Gamma(2);
          w.Gamma(len);
          break;
        case kGamma:
          w.Bit(1), w.Bit(0);
          w.Gamma((dist >> 8) + (after_literal ? 3 : 2));
          w.Byte(uint8_t(dist));
          w.Gamma(len - LengthAdjust(dist));
          break;
      }
      after_literal = false;
    }
    return end_key;
  }

  struct Step {
    uint32_t rel, slot;
  };

  const uint8_t* data_;
  uint32_t size_;
  Params p_;
  MatchFinder finder_;
  ShrinkProbe probe_;
  std::vector<uint32_t> cost_, key_, info_;
  std::vector<uint8_t> counts_;
  std::vector<Step> path_;
  uint32_t last_byte_pos_[256] = {};  // byte value -> newest position + 1
  // Cheapest arrival of each kind at the position being extended.
  int best_lit_ = -1, best_match_ = -1;
  uint32_t lit_cost_ = 0, match_cost_ = 0;
};

void Put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

}  // namespace

std::vector<uint8_t> CompressStream(const uint8_t* data, size_t size, int level) {
  std::vector<uint8_t> out;
  if (size == 0) return out;
  if (size > 0x7FFFFFFFu) throw Error("input too large to compress");
  Compressor(data, size, ForLevel(level)).Run(out, SIZE_MAX);
  return out;
}

std::vector<uint8_t> CompressPacked(const uint8_t* data, size_t size, int level, size_t limit) {
  if (size > 0x7FFFFFFFu) throw Error("input too large to compress");
  if (limit < kPackedHeaderSize) return {};
  // The stream is written behind its header, in the one buffer returned.
  std::vector<uint8_t> out(kPackedHeaderSize);
  if (size != 0 && !Compressor(data, size, ForLevel(level)).Run(out, limit - kPackedHeaderSize)) return {};
  const uint32_t stream_size = uint32_t(out.size() - kPackedHeaderSize);
  Put32(&out[0], kPackedTag);
  Put32(&out[4], kPackedHeaderSize);
  Put32(&out[8], stream_size);
  Put32(&out[12], Crc32Block(out.data() + kPackedHeaderSize, stream_size));
  Put32(&out[16], uint32_t(size));
  Put32(&out[20], Crc32Block(data, uint32_t(size)));
  return out;
}

size_t StoredSize(std::span<const uint8_t> payload, bool compressed, int level, size_t limit) {
  if (!compressed || payload.empty()) return payload.size();
  // Empty when the packed form passes the limit: then the bytes as they are
  // are either the smaller form or also above the limit.
  std::vector<uint8_t> packed = CompressPacked(payload.data(), payload.size(), level, limit);
  return packed.empty() ? payload.size() : std::min(payload.size(), packed.size());
}

}  // namespace upkit::pack
