// What the delta decoder reads of an old PE32 or PE32+ file for machine-code
// aware references (stream flag bit 1): the file ranges of its executable
// sections and the file offsets of every absolute address its base
// relocation table lists. With them, a copy rewrites exactly the addresses
// the loader would relocate, and only those CALL/JMP rel32 that lie in code
// and land in the same code section, instead of guessing from the bytes.
// docs/package-format.md has the rules byte for byte.
#pragma once

#include <cstdint>
#include <vector>

#include "delta/delta_io.h"

namespace upkit::delta {

// The reloc table may take at most this many bytes (512 K entries at most,
// 2 MiB of offsets in memory): a larger one is treated as damaged.
inline constexpr uint32_t kMaxRelocTable = 1u << 20;

struct PeTables {
  struct Range {
    uint64_t start, end;   // file offsets [start, end)
    uint64_t address = 0;  // the image address of start (image base included)
  };
  std::vector<Range> code;         // executable sections' raw data, ascending, not overlapping
  std::vector<uint32_t> relocs;    // file offsets of absolute addresses, ascending, not overlapping
  unsigned width = 4;              // bytes of each address: 4 (PE32) or 8 (PE32+)

  // The code range holding [at, at + n), or nullptr.
  const Range* CodeAround(uint64_t at, uint64_t n) const;
  // True when a listed address overlaps [at, at + n).
  bool RelocOverlaps(uint64_t at, uint64_t n) const;
};

// Reads the tables of a PE32 file for i386 or a PE32+ file for x86-64 of
// `size` bytes through `file` (reads of at most 64 KiB). False when it is
// not one, or its headers or relocation table are damaged or too large.
bool ReadPeTables(DeltaSource& file, uint64_t size, PeTables* tables);

}  // namespace upkit::delta
