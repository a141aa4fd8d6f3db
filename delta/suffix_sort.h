// Suffix array of a byte string by induced sorting (SA-IS, Nong, Zhang and
// Chan 2009): linear time, about 5n bytes of working memory beyond the
// 4n-byte result. The delta encoder (delta/delta_encode.h) searches it for
// the longest matches of the new file in the old one.
//
// Our own sorter rather than libdivsufsort: the Windows upkit.exe is built
// with MinGW, for which Debian ships no libdivsufsort, and one sorter for
// both builds keeps their packages identical.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace upkit::pack {

// The start offsets of all suffixes of `text` in lexicographic order (a
// suffix that is a prefix of another sorts first). Raises Error for a text
// of 2^32 - 1 bytes or more.
std::vector<uint32_t> SuffixSort(std::span<const uint8_t> text);

}  // namespace upkit::pack
