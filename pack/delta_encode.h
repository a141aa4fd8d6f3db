// Delta encoder: the stream that update/delta.h's ApplyDelta turns back into
// the new file from the old one. bsdiff's design: a suffix array of the old
// file (pack/suffix_sort.h) finds long exact matches of the new file; each is
// widened into an approximate copy (byte differences added mod 256) as far as
// it keeps more than half its bytes equal; what no copy covers goes as new
// bytes. Controls, difference runs, differences and new bytes go to separate
// sections so that the package compressor sees like next to like.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace upkit::pack {

struct DeltaOptions {
  // Normalise x86 rel32 CALL/JMP targets before matching (update/delta_x86.h);
  // used only when the files look like x86 code and it makes the stream smaller.
  bool x86_branches = true;
};

// The delta stream that rebuilds new_file from old_file (head included).
// Raises Error when the old file is 4 GiB or larger.
std::vector<uint8_t> EncodeDelta(std::span<const uint8_t> old_file, std::span<const uint8_t> new_file,
                                 const DeltaOptions& options = {});

}  // namespace upkit::pack
