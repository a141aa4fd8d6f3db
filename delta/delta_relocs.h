// The new file's base relocation table rebuilt from the old file's one
// (stream flag bit 4, with the PE tables of bit 1). Every address the old
// table lists that a copy carries whole over to the new file is a label of
// the new table too: its new offset follows from the offset map. The stream
// names only where the new table lies, the new file's sections (to turn
// offsets into image addresses), and the addresses to add to or drop from
// the mapped ones. The decoder rebuilds the table's bytes from that set and
// adds them to the bytes it writes there, which then are mostly zeros.
// docs/package-format.md has the layout byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace upkit::delta {

struct PeTables;
class ShiftMap;

// A coded relocs section is decoded into memory whole: at most this many bytes.
inline constexpr uint64_t kMaxRelocPlan = 4u << 20;
inline constexpr uint64_t kMaxPlanSections = 96;

struct RelocPlan {
  uint64_t start = 0, length = 0;  // the table's bytes in the new file: [start, start + length)
  struct Span {
    uint64_t raw, size, rva;  // a section of the new file: file bytes [raw, raw + size) at image address rva
  };
  std::vector<Span> sections;
  std::vector<uint32_t> added, dropped;  // image addresses (RVAs), ascending
};

void WriteRelocPlan(const RelocPlan& plan, std::vector<uint8_t>& out);
// Raises Error("Stream read error") when malformed.
RelocPlan ReadRelocPlan(const uint8_t* data, size_t size);

// The image addresses, ascending and distinct, that the old file's listed
// addresses take in the new file: each address of `width` bytes that one
// range of the offset map holds whole, at its new offset, when one of the
// plan's sections holds it whole.
std::vector<uint32_t> MappedRelocs(const PeTables& old_tables, const ShiftMap& offsets, const RelocPlan& plan);

// `mapped` and plan.added, ascending and each once, less plan.dropped: the
// addresses of the rebuilt table.
std::vector<uint32_t> PlannedRelocs(std::vector<uint32_t> mapped, const RelocPlan& plan);

// The bytes of a base relocation table for ascending distinct `rvas`, one at
// a time from its start: for each 4 KiB page holding some, the page address
// (uint32), the block's size (uint32: 8 + 2 per entry, with one 0 entry more
// when the count is odd), and per address the uint16 type << 12 | its offset
// in the page (type 3 for width 4, 10 for width 8); zeros after the last block.
class RelocTableBytes {
 public:
  // Starts over with the table of `rvas`; until then the table is empty.
  void Reset(std::vector<uint32_t> rvas, unsigned width);
  // Adds the next n bytes of the table to out[0..n) (mod 256).
  void AddTo(uint8_t* out, size_t n);

 private:
  void NextBlock();
  std::vector<uint32_t> rvas_;
  uint16_t type_ = 3;
  size_t next_ = 0;         // first address not yet in a block
  uint8_t block_[8 + 2 * 4097];
  size_t block_size_ = 0, block_at_ = 0;
};

}  // namespace upkit::delta
