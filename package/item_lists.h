// Readers of the two small byte formats item payloads carry: the resource
// list of action 1 and the patch list of action 2. Portable: they only parse,
// so the Win32 actions can check a whole list before they touch a file, and
// the fuzz targets can run them natively.
//
// Byte formats (little-endian, no gaps):
//   resource list: int32 count, then per entry: type (u8 kind, non-zero for a
//     text, then u16 number, or u16 length L + L name bytes), name (same),
//     u16 language, u32 size S, S bytes. A count below 1 means no entries.
//   patch list: u32 reserved, int32 new size, int32 record kind, int32 count,
//     then records: kind 0 {int32 offset, u8 value}, kind 1 {int32 offset,
//     int32 length L, L bytes}; any other kind has no records.
//
// Records and entries point into the caller's bytes: they live as long as
// those do. Nothing is allocated for a count the bytes cannot hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace upkit {

// A resource type or name: a number, or a text (kept without terminator).
struct ResourceListId {
  bool is_text = false;
  uint16_t number = 0;
  std::string text;
};

struct ResourceListEntry {
  ResourceListId type;
  ResourceListId name;
  uint16_t language = 0;
  const uint8_t* content = nullptr;  // `size` bytes; size 0 removes the resource
  uint32_t size = 0;
};

struct ResourceList {
  std::vector<ResourceListEntry> entries;  // every entry read in full, in order
  // Null when the list was read to its end; otherwise the message of where
  // it stopped ("Stream read error": the bytes end inside an entry or
  // inside the count). The entries before that point are still given.
  const char* error = nullptr;
};

// Reads a resource list of `size` bytes. Raises nothing.
ResourceList ReadResourceList(const uint8_t* data, size_t size);

// One record of a patch list: `count` bytes from `bytes` go to `offset`.
struct PatchRecord {
  uint32_t offset = 0;
  const uint8_t* bytes = nullptr;
  uint32_t count = 0;
};

struct PatchList {
  int32_t new_size = 0;
  int32_t kind = 0;
  std::vector<PatchRecord> records;  // in order; runs of length 0 left out
};

// Reads and checks a whole patch list of `size` bytes, so that a list that
// would fail part-way fails before anything is written. Raises
// Error("Stream read error") when the bytes end before the head, a record
// or a run does, or a run's length is negative; Error("Stream write error")
// for a negative new size or a negative record offset (neither has a place
// in the file). Records are checked in order, each once it is read whole.
PatchList ReadPatchList(const uint8_t* data, size_t size);

}  // namespace upkit
