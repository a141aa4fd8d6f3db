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

// Shell sort (gaps 3h + 1): a few dozen bytes of code in the installer,
// where std::sort would take kilobytes, and quick enough for the at most
// 512 K addresses of a relocation table (and the rebuilt one of
// delta/delta_relocs.h).
template <typename T, typename Less>
void ShellSort(std::vector<T>& v, Less less) {
  size_t gap = 1;
  while (gap < v.size() / 3) gap = 3 * gap + 1;
  for (; gap > 0; gap /= 3)
    for (size_t i = gap; i < v.size(); ++i) {
      T x = v[i];
      size_t j = i;
      for (; j >= gap && less(x, v[j - gap]); j -= gap) v[j] = v[j - gap];
      v[j] = x;
    }
}

}  // namespace upkit::delta
