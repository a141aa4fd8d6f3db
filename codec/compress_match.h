// Binary-tree match finder for the aPLib-format compressor.
//
// Every position of the input is inserted once, in order, into a binary
// search tree (one tree per 3-byte hash bucket) ordered by the bytes that
// follow it; newer positions sit nearer the root. Searching on the way in
// yields, for each match length, the nearest earlier position that matches
// at least that long. A depth limit bounds the work per position; matches
// reaching `nice` bytes end the walk (the tree is cut there).
//
// Positions farther back than kWindow bytes drop out of the trees: their
// nodes live in a ring of kWindow slots, so the finder's memory is bounded
// (8 bytes a position up to kWindow, never more) whatever the input size.
//
// Alongside the tree it keeps the nearest earlier position of every 2-byte
// pair (for length-2 matches) and of every byte value (for near bytes).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace upkit::pack {

struct Match {
  uint32_t len;
  uint32_t dist;
};

// Length of the common prefix of a and b, at most `limit` bytes.
inline uint32_t CommonLength(const uint8_t* a, const uint8_t* b, uint32_t limit) {
  uint32_t n = 0;
  while (limit - n >= 8) {
    uint64_t x, y;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (x != y) {
      // The first differing byte: lowest on little-endian hosts.
      if constexpr (std::endian::native == std::endian::little)
        return n + uint32_t(std::countr_zero(x ^ y)) / 8;
      break;
    }
    n += 8;
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

class MatchFinder {
 public:
  // `data` must outlive the finder. Inputs are limited to < 4 GiB.
  MatchFinder(const uint8_t* data, size_t size, uint32_t depth, uint32_t nice);

  // Searches matches of length >= 3 at `pos` and inserts `pos`; positions
  // must come in increasing order, each exactly once (via Find or Skip).
  // Writes the matches met on the way to `out`, nearest first (so the first
  // one reaching a length is the nearest of that length), lengths capped at
  // `nice`, and returns their count (at most kMaxMatches; the depth is
  // capped to that).
  size_t Find(uint32_t pos, Match* out);
  // Inserts `pos` without reporting matches.
  void Skip(uint32_t pos);

  // Distance to the nearest earlier occurrence of the 2 bytes at `pos`, or 0.
  // Valid after Find/Skip of `pos`.
  uint32_t NearestPair() const { return pair_dist_; }

  static constexpr size_t kMaxMatches = 64;
  // Farthest distance searched: 16 MiB, a 128 MiB tree at most.
  static constexpr uint32_t kWindow = 1u << 24;

 private:
  size_t Walk(uint32_t pos, Match* out);
  // The two links of a position's node: its ring slot.
  uint32_t* Links(uint32_t pos) { return &tree_[2 * size_t(pos & slot_mask_)]; }

  const uint8_t* data_;
  uint32_t size_;
  uint32_t depth_;
  uint32_t nice_;
  uint32_t pair_dist_ = 0;
  uint32_t slot_mask_;  // all ones while the input fits the window
  int hash_bits_;
  std::vector<uint32_t> head_;   // hash bucket -> newest position, or kNil
  std::vector<uint32_t> tree_;   // 2 per ring slot: smaller child, greater child
  std::vector<uint32_t> pair_;   // 2-byte value -> newest position + 1 (0: none)
};

}  // namespace upkit::pack
