// Delta streams for files of any size, in memory that does not grow with
// them. Pairs below a threshold go to EncodeDelta (delta/delta_encode.h),
// whose suffix array of the whole old file finds the best matches but takes
// about 16 bytes of memory per old byte. Larger pairs are matched by blocks:
// a hash table of the old file's aligned blocks (at most 2^23 of them, so
// the table stays near 130 MiB whatever the size), searched at every byte
// of the new file with a rolling hash; each hit is checked byte for byte
// and widened both ways as far as the files agree. Both files are read
// through bounded reads, never held whole; the new file is matched in
// parts of fixed size on several threads, so the stream is the same
// whatever the thread count. The stream is the ordinary delta stream
// (version 2, no reference prediction), which the decoder reads as any other.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "delta/byte_source.h"

namespace upkit::pack {

// Pairs where either file has this many bytes or more are matched by blocks.
inline constexpr uint64_t kBlockMatchThreshold = uint64_t(64) << 20;

struct BlockDeltaOptions {
  unsigned jobs = 0;  // threads (0: one per core); the stream does not depend on it
  uint64_t threshold = kBlockMatchThreshold;
  // The new file is matched in parts of this many bytes; the stream depends
  // on it (tests make it small to have many parts on small files).
  uint64_t part_size = uint64_t(16) << 20;
  ByteCounter* progress = nullptr;   // gets the old and then the new file's bytes
};

// The delta stream that rebuilds new_file from old_file by block matching,
// whatever their sizes.
std::vector<uint8_t> EncodeBlockDelta(const ByteSource& old_file, const ByteSource& new_file,
                                      const BlockDeltaOptions& options = {});

// EncodeDelta's stream (read whole into memory, today's exact matching)
// below options.threshold, EncodeBlockDelta's at or above it.
std::vector<uint8_t> EncodeFileDelta(const ByteSource& old_file, const ByteSource& new_file,
                                     const BlockDeltaOptions& options = {});

}  // namespace upkit::pack
