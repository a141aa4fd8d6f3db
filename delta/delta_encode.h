// Delta encoder: the stream that delta/delta.h's ApplyDelta turns back into
// the new file from the old one. bsdiff's design: a suffix array of the old
// file (delta/suffix_sort.h) finds long exact matches of the new file; each is
// widened into an approximate copy (byte differences added mod 256) as far as
// it keeps more than half its bytes equal; what no copy covers goes as new
// bytes. In x86 executables, references whose targets moved are predicted
// from where the copies put the old bytes, so they cost no differences.
// Controls, difference runs, differences and new bytes go to separate
// sections, each LZMA-coded (version 2) or left for the package compressor
// (version 1). For PE files whose relocation table reads well, the
// references come from the old file's tables, and the match runs on both
// files with their references normalized (delta/delta_pe.h).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace upkit::pack {

struct DeltaOptions {
  // For PE and ELF files of i386 or x86-64: rewrite the CALL/JMP rel32
  // references of the old file for where their targets went before taking
  // differences (delta/delta_predict.h).
  bool x86_branches = true;
  // With x86_branches, for 32-bit PE files: also absolute addresses, mapped
  // through both files' sections. Off by default: on a Go executable its
  // false hits (values that only look like addresses) cost more than it
  // saves (+44% packed); on an MSVC one it saves about 1%.
  bool x86_addresses = false;
  // LZMA-code the sections (stream version 2); off: version 1, sections as
  // they are, for the package's own compressor.
  bool lzma = true;
  // With x86_branches and lzma, for PE32 and PE32+ files whose tables read
  // well: take references from the old file's relocation table and checked
  // branches in its code sections (delta/delta_pe.h), and map every
  // relocated address. Other files keep the byte rule.
  bool pe_tables = true;
  // With pe_tables: also 0F 8x rel32 conditional jumps, and in PE32+ files
  // RIP-relative operands (delta/delta_predict.h).
  bool jump_if = true;
  bool rip_relative = true;
  // Copies shorter than 64 bytes that match fewer than 20 of them go as new
  // bytes of the copy before them (the decoder is the same either way).
  bool fold_short_copies = true;
  // With pe_tables, for PE files whose relocation table lies in the file:
  // rebuild the new file's table from the old one's addresses that copies
  // carry over (the labels), coding only the addresses added and dropped
  // (stream flag bit 4, delta/delta_relocs.h), when that makes the stream smaller.
  bool reloc_labels = true;
  // With x86_branches and lzma: store the new bytes with their CALL/JMP
  // rel32 (in PE32+ files with rip_relative, also RIP-relative operands)
  // naming targets rather than distances (stream flag bit 6,
  // delta/delta_targets.h), when that makes the extra section smaller.
  bool new_bytes_targets = true;
  // Threads for the match scan (the new file in 1 MiB pieces) and the
  // sections' LZMA coding (0: one per core); the stream does not depend on
  // it. One unless asked: `upkit diff` and `upkit delta` pass
  // their --jobs, library callers (tests, benchmarks) stay on their thread.
  unsigned jobs = 1;
};

// The delta stream that rebuilds new_file from old_file (head included).
// Raises Error when the old file is 4 GiB or larger.
std::vector<uint8_t> EncodeDelta(std::span<const uint8_t> old_file, std::span<const uint8_t> new_file,
                                 const DeltaOptions& options = {});

// The sections of each delta stream, in order.
enum DeltaSection : unsigned {
  kSectionControl, kSectionZeroRuns, kSectionCounts, kSectionLiterals, kSectionExtra, kSectionMaps,
  kSectionRelocs  // with stream flag bit 4 only
};

// The version 2 `stream` with each LZMA-coded section whose bit is set in
// `stored` (1 << DeltaSection) stored as it is instead; anything else (a
// version 1 or malformed stream) comes back unchanged. Several streams to
// the same new file, compressed together by the package, share their new
// bytes only when those are stored.
std::vector<uint8_t> StoreSections(std::span<const uint8_t> stream, unsigned stored);

// The ordinary version 2 `stream` with those of its coders primed (each
// with the same section of `prime`, another ordinary stream, decoded) that
// get smaller so: a primed stream, applied with `prime` right before it in
// the same payload (docs/package-format.md). Comes back unchanged when no
// coder gains or either stream is not an ordinary version 2 one.
std::vector<uint8_t> PrimedStream(std::span<const uint8_t> prime, std::span<const uint8_t> stream);

// True when `stream` is a delta stream that rebuilds exactly `new_file` from
// `old_file` (head, every byte and the CRC); false for anything else,
// malformed streams included. Decoding is fast: a stream made earlier can
// stand in for encoding again.
bool DeltaRebuilds(std::span<const uint8_t> stream, std::span<const uint8_t> old_file,
                   std::span<const uint8_t> new_file);

}  // namespace upkit::pack
