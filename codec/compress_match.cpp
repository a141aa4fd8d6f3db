#include "codec/compress_match.h"


namespace upkit::pack {
namespace {

constexpr uint32_t kNil = 0xFFFFFFFFu;
constexpr int kMaxHashBits = 18;

inline uint32_t Hash3(const uint8_t* p, int bits) {
  uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
  return (v * 2654435761u) >> (32 - bits);
}

inline void Prefetch(const void* p) {
#if defined(__GNUC__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

// Small inputs get a small table: about one bucket per position, 2^10 to 2^18.
int HashBits(size_t size) {
  int bits = 10;
  while (bits < kMaxHashBits && (size_t(1) << bits) < size) ++bits;
  return bits;
}

}  // namespace

MatchFinder::MatchFinder(const uint8_t* data, size_t size, uint32_t depth, uint32_t nice)
    : data_(data),
      size_(uint32_t(size)),
      depth_(depth < kMaxMatches ? depth : uint32_t(kMaxMatches)),
      nice_(nice),
      slot_mask_(size <= kWindow ? 0xFFFFFFFFu : kWindow - 1),
      hash_bits_(HashBits(size)),
      head_(size_t(1) << hash_bits_, kNil),
      tree_(2 * (size <= kWindow ? size : size_t(kWindow)), kNil),
      pair_(size_t(1) << 16, 0) {}

size_t MatchFinder::Walk(uint32_t pos, Match* out) {
  pair_dist_ = 0;
  if (size_ - pos >= 2) {
    uint32_t key = uint32_t(data_[pos]) << 8 | data_[pos + 1];
    if (pair_[key] != 0) pair_dist_ = pos - (pair_[key] - 1);
    pair_[key] = pos + 1;
  }
  if (size_ - pos < 3) return 0;

  const uint8_t* cur = data_ + pos;
  const uint32_t max_len = size_ - pos < nice_ ? size_ - pos : nice_;
  uint32_t h = Hash3(cur, hash_bits_);
  uint32_t node = head_[h];
  head_[h] = pos;
  // The walk is a chain of dependent loads; start fetching the first node of
  // a walk two positions ahead (and the bucket one further) meanwhile.
  if (size_ - pos >= 6) {
    Prefetch(&head_[Hash3(cur + 3, hash_bits_)]);
    uint32_t ahead = head_[Hash3(cur + 2, hash_bits_)];
    if (ahead != kNil) {
      Prefetch(Links(ahead));
      Prefetch(data_ + ahead);
    }
  }

  // Links still to be filled: the smaller and the greater subtree of pos.
  uint32_t* smaller = Links(pos);
  uint32_t* greater = Links(pos) + 1;
  uint32_t len_smaller = 0, len_greater = 0;  // prefix known common on each side
  uint32_t best = 0;
  size_t count = 0;

  for (uint32_t depth = depth_; node != kNil && depth != 0; --depth) {
    // Out of the window: its slot, and everything below it, is reused.
    if (pos - node >= kWindow) break;
    const uint8_t* cand = data_ + node;
    uint32_t len = len_smaller < len_greater ? len_smaller : len_greater;
    len += CommonLength(cand + len, cur + len, max_len - len);
    if (len >= 3 && out && count < kMaxMatches) out[count++] = Match{len, pos - node};
    if (len > best) {
      best = len;
      if (len == max_len) {
        // Equal as far as we compare: pos takes over node's place entirely.
        *smaller = Links(node)[0];
        *greater = Links(node)[1];
        return count;
      }
    }
    if (cand[len] < cur[len]) {
      *smaller = node;
      smaller = Links(node) + 1;
      node = *smaller;
      len_smaller = len;
    } else {
      *greater = node;
      greater = Links(node);
      node = *greater;
      len_greater = len;
    }
  }
  *smaller = kNil;
  *greater = kNil;
  return count;
}

size_t MatchFinder::Find(uint32_t pos, Match* out) { return Walk(pos, out); }

void MatchFinder::Skip(uint32_t pos) { Walk(pos, nullptr); }

}  // namespace upkit::pack
