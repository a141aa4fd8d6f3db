#include "delta/suffix_sort.h"

#include <algorithm>

#include "codec/error.h"

namespace upkit::pack {
namespace {

constexpr uint32_t kEmpty = 0xFFFFFFFF;

// Suffix types: S when the suffix is smaller than the next one, L when larger.
// The text ends with a virtual sentinel smaller than every symbol, so the
// last suffix is L. LMS ("leftmost S") suffixes are S suffixes after an L.
struct Types {
  std::vector<uint8_t> s;  // 1 for S
  bool Lms(uint32_t i) const { return i > 0 && s[i] && !s[i - 1]; }
};

template <typename Sym>
Types Classify(const Sym* t, uint32_t n) {
  Types ty{std::vector<uint8_t>(n, 0)};
  for (uint32_t i = n - 1; i-- > 0;)
    ty.s[i] = t[i] < t[i + 1] || (t[i] == t[i + 1] && ty.s[i + 1]);
  return ty;
}

template <typename Sym>
void BucketBounds(const Sym* t, uint32_t n, uint32_t k, std::vector<uint32_t>& bounds, bool ends) {
  std::fill(bounds.begin(), bounds.end(), 0);
  for (uint32_t i = 0; i < n; ++i) ++bounds[t[i]];
  uint32_t sum = 0;
  for (uint32_t c = 0; c < k; ++c) {
    sum += bounds[c];
    bounds[c] = ends ? sum : sum - bounds[c];
  }
}

// From LMS suffixes placed at their bucket ends, sorts all L suffixes (left
// to right, from bucket starts) and then all S suffixes (right to left, from
// bucket ends).
// The passes read the symbol and type before each suffix they meet, at
// random places: those are fetched kAhead entries early, while the entries
// between are handled (about twice as fast on a large file).
constexpr uint32_t kAhead = 16;

template <typename Sym>
inline void Fetch(const Sym* t, const Types& ty, uint32_t j) {
  if (j != kEmpty && j > 0) {
    __builtin_prefetch(t + j - 1);
    __builtin_prefetch(ty.s.data() + j - 1);
  }
}

template <typename Sym>
void Induce(const Sym* t, uint32_t* sa, uint32_t n, uint32_t k, const Types& ty, std::vector<uint32_t>& b) {
  BucketBounds(t, n, k, b, false);
  sa[b[t[n - 1]]++] = n - 1;  // the suffix before the sentinel comes first
  // Here every suffix met is L or LMS, and the one before an LMS suffix is
  // L: the one before j is L exactly when its symbol is not below j's, with
  // no look at the types.
  for (uint32_t i = 0; i < n; ++i) {
    if (i + kAhead < n) {
      const uint32_t a = sa[i + kAhead];
      if (a != kEmpty && a > 0) __builtin_prefetch(t + a - 1);
    }
    uint32_t j = sa[i];
    if (j != kEmpty && j > 0 && t[j - 1] >= t[j]) sa[b[t[j - 1]]++] = j - 1;
  }
  BucketBounds(t, n, k, b, true);
  for (uint32_t i = n; i-- > 0;) {
    if (i >= kAhead) Fetch(t, ty, sa[i - kAhead]);
    uint32_t j = sa[i];
    if (j != kEmpty && j > 0 && ty.s[j - 1]) sa[--b[t[j - 1]]] = j - 1;
  }
}

// True when the LMS substrings at a and b (up to and including the next LMS
// position) are equal in symbols and types.
template <typename Sym>
bool SameLmsSubstring(const Sym* t, uint32_t n, const Types& ty, uint32_t a, uint32_t b) {
  for (uint32_t d = 0;; ++d) {
    if (a + d == n || b + d == n) return false;  // only one reaches the sentinel
    if (t[a + d] != t[b + d] || ty.s[a + d] != ty.s[b + d]) return false;
    if (d > 0) {
      bool ea = ty.Lms(a + d), eb = ty.Lms(b + d);
      if (ea || eb) return ea && eb;
    }
  }
}

template <typename Sym>
void Sais(const Sym* t, uint32_t* sa, uint32_t n, uint32_t k) {
  if (n == 0) return;
  if (n == 1) {
    sa[0] = 0;
    return;
  }
  Types ty = Classify(t, n);
  std::vector<uint32_t> b(k);

  // 1. Sort the LMS substrings: LMS suffixes at bucket ends, then induce.
  std::fill(sa, sa + n, kEmpty);
  BucketBounds(t, n, k, b, true);
  for (uint32_t i = 1; i < n; ++i)
    if (ty.Lms(i)) sa[--b[t[i]]] = i;
  Induce(t, sa, n, k, ty, b);

  // 2. Name them in sorted order: equal substrings share a name.
  uint32_t m = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (i + kAhead < n) __builtin_prefetch(ty.s.data() + sa[i + kAhead]);
    if (ty.Lms(sa[i])) sa[m++] = sa[i];
  }
  std::vector<uint32_t> name_at(n / 2 + 1, kEmpty);  // LMS positions are at least 2 apart
  uint32_t names = 0;
  for (uint32_t i = 0; i < m; ++i) {
    if (i + kAhead < m) {
      Fetch(t, ty, sa[i + kAhead] + 1);
      __builtin_prefetch(name_at.data() + sa[i + kAhead] / 2);
    }
    if (i == 0 || !SameLmsSubstring(t, n, ty, sa[i - 1], sa[i])) ++names;
    name_at[sa[i] / 2] = names - 1;
  }

  // 3. Sort the LMS suffixes: recursively when names repeat.
  std::vector<uint32_t> reduced, positions;
  reduced.reserve(m);
  positions.reserve(m);
  for (uint32_t i = 1; i < n; ++i)
    if (ty.Lms(i)) {
      reduced.push_back(name_at[i / 2]);
      positions.push_back(i);
    }
  name_at = {};
  std::vector<uint32_t> sub(m);
  if (names < m) {
    Sais(reduced.data(), sub.data(), m, names);
  } else {
    for (uint32_t i = 0; i < m; ++i) sub[reduced[i]] = i;
  }

  // 4. Place the sorted LMS suffixes at their bucket ends and induce the rest.
  std::fill(sa, sa + n, kEmpty);
  BucketBounds(t, n, k, b, true);
  for (uint32_t i = m; i-- > 0;) {
    uint32_t p = positions[sub[i]];
    sa[--b[t[p]]] = p;
  }
  Induce(t, sa, n, k, ty, b);
}

}  // namespace

std::vector<uint32_t> SuffixSort(std::span<const uint8_t> text) {
  if (text.size() >= kEmpty) throw Error("file too large for the delta encoder");
  std::vector<uint32_t> sa(text.size());
  Sais(text.data(), sa.data(), uint32_t(text.size()), 256);
  return sa;
}

}  // namespace upkit::pack
