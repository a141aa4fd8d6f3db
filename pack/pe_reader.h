// Portable reader of Windows PE images (PE32 and PE32+) and their resource
// trees, for the authoring tools (never linked into the installer stub).
//
// Map of what it reads:
//   DOS header "MZ", e_lfanew at 0x3C -> "PE\0\0", COFF file header (20 bytes),
//   optional header (magic 0x10b PE32 / 0x20b PE32+; data directory 2 is the
//   resource table), section table (40 bytes per section).
//   Resource tree, three levels deep: type -> name -> language. Each
//   directory is 16 bytes followed by 8-byte entries (named ones first); an
//   entry's id with the high bit set points to a UTF-16 name (uint16 length +
//   chars) and an offset with the high bit set points to a subdirectory; all
//   these offsets are relative to the start of the resource table. Leaves
//   are data entries: data RVA, size, code page, reserved.
//
// Invariants: every offset and size read from the image is checked against
// the file size (subtraction form) before it is used; the tree walk goes at
// most three levels deep and visits a bounded number of entries, so shared
// or cyclic directories cannot make it loop or explode. A malformed image
// raises upkit::Error naming the fault; nothing reads outside the bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace upkit::pack {

struct PeSectionInfo {
  std::string name;  // up to 8 bytes, without trailing NULs
  uint32_t virtual_address = 0;
  uint32_t virtual_size = 0;
  uint32_t raw_offset = 0;
  uint32_t raw_size = 0;
  uint32_t characteristics = 0;
  uint64_t header_offset = 0;  // file offset of the 40-byte section header
};

// A resource type or name as the directory holds it: a number or a UTF-16 name.
struct PeNameOrId {
  bool is_name = false;
  uint16_t id = 0;
  std::u16string name;

  static PeNameOrId Number(uint16_t n) { return {false, n, {}}; }
  static PeNameOrId Named(std::u16string text) { return {true, 0, std::move(text)}; }
  bool operator==(const PeNameOrId&) const = default;
  // The name as UTF-8, or the number in decimal.
  std::string Text() const;
};

// One leaf of the resource tree. Reading the tree fills the place of the
// data (data_rva, size, file_offset); `data` holds the bytes themselves
// where they were copied out (ReadPeResources) or are to be written.
struct PeResource {
  PeNameOrId type;
  PeNameOrId name;
  uint16_t language = 0;
  uint32_t codepage = 0;
  std::vector<uint8_t> data;
  uint32_t data_rva = 0;
  uint32_t size = 0;
  int64_t file_offset = -1;  // -1 when the data lies outside the file's sections
};

struct PeImageInfo {
  bool pe32_plus = false;
  uint16_t machine = 0;
  uint16_t characteristics = 0;
  uint16_t subsystem = 0;
  uint32_t resource_rva = 0;  // 0 when the image has no resource table
  uint32_t resource_size = 0;
  std::vector<PeSectionInfo> sections;
  std::vector<PeResource> resources;  // in directory order (ReadPeImage only)

  // Where the headers lie, for tools that rewrite them.
  uint32_t pe_offset = 0;               // "PE\0\0"
  uint64_t optional_header_offset = 0;  // pe_offset + 24
  uint16_t optional_header_size = 0;
  uint64_t section_table_offset = 0;
  // Data directory entries the optional header really holds (the declared
  // count, cut to the header's size).
  uint32_t data_directory_count = 0;
  // Zero when the optional header is too short to hold them.
  uint32_t section_alignment = 0;
  uint32_t file_alignment = 0;
  uint32_t size_of_headers = 0;

  // File offset of data directory `index` (check data_directory_count first).
  uint64_t DataDirectoryOffset(uint32_t index) const {
    return optional_header_offset + (pe32_plus ? 112 : 96) + uint64_t{8} * index;
  }
};

inline constexpr uint16_t kPeRcData = 10;
inline constexpr uint32_t kPeDirectoryResource = 2;
inline constexpr uint32_t kPeDirectorySecurity = 4;
// Upper bound on resource entries visited in one tree walk.
inline constexpr size_t kMaxPeResources = 65536;

// Parses the headers and the section table, not the resource tree.
// Raises Error("not a PE image: ...") or Error("malformed PE image: ...").
PeImageInfo ReadPeHeaders(std::span<const uint8_t> file);

// Walks the resource tree of an image whose headers ReadPeHeaders gave;
// the entries come without their bytes (`data` stays empty).
std::vector<PeResource> ReadPeResourceTree(std::span<const uint8_t> file, const PeImageInfo& headers);

// Parses the headers, the section table and the resource tree.
PeImageInfo ReadPeImage(std::span<const uint8_t> file);

// File offset of `length` bytes at `rva`, or -1 when they do not lie
// entirely inside one section's raw data within the file.
int64_t PeRvaToOffset(const PeImageInfo& image, uint64_t file_size, uint32_t rva, uint32_t length);

// The first language of the RCDATA resource named `name` (ASCII letters
// compared without case, as the Windows resource functions do), or null.
const PeResource* FindPeRcData(const PeImageInfo& image, std::string_view name);

// The bytes of RCDATA "LR5". Raises Error("Resource LR5 not found") when the
// image has no such resource, and a malformed-image error when its data
// lies outside the file.
std::vector<uint8_t> ReadLr5Resource(std::span<const uint8_t> file);

}  // namespace upkit::pack
