#include "pack/pe_reader.h"

#include <algorithm>
#include <cstring>

#include "codec/error.h"
#include "pack/ansi_text.h"

namespace upkit::pack {

namespace {

[[noreturn]] void Malformed(const std::string& what) { throw Error("malformed PE image: " + what); }

class Bytes {
 public:
  explicit Bytes(std::span<const uint8_t> file) : f_(file) {}
  size_t Size() const { return f_.size(); }
  // True when `length` bytes at `offset` lie in the file.
  bool Has(uint64_t offset, uint64_t length) const {
    return offset <= f_.size() && length <= f_.size() - offset;
  }
  void Need(uint64_t offset, uint64_t length, const char* what) const {
    if (!Has(offset, length)) Malformed(std::string(what) + " lies outside the file");
  }
  uint16_t U16(uint64_t at) const { return static_cast<uint16_t>(f_[at] | (f_[at + 1] << 8)); }
  uint32_t U32(uint64_t at) const {
    return static_cast<uint32_t>(f_[at]) | (static_cast<uint32_t>(f_[at + 1]) << 8) |
           (static_cast<uint32_t>(f_[at + 2]) << 16) | (static_cast<uint32_t>(f_[at + 3]) << 24);
  }
  const uint8_t* At(uint64_t at) const { return f_.data() + at; }

 private:
  std::span<const uint8_t> f_;
};

// Walks the resource tree inside the bytes of the resource table.
class TreeWalker {
 public:
  TreeWalker(const Bytes& file, const PeImageInfo& image, uint64_t base, uint64_t available)
      : file_(file), image_(image), base_(base), available_(available) {}

  void Walk(std::vector<PeResource>& out) {
    PeResource entry;
    Directory(0, 0, entry, out);
  }

 private:
  // Offset (relative to the table) of `length` bytes, checked to lie inside it.
  uint64_t At(uint32_t relative, uint64_t length, const char* what) const {
    if (relative > available_ || length > available_ - relative)
      Malformed(std::string(what) + " lies outside the resource table");
    return base_ + relative;
  }

  PeNameOrId Id(uint32_t raw) const {
    PeNameOrId id;
    if (!(raw & 0x80000000u)) {
      id.id = static_cast<uint16_t>(raw);
      return id;
    }
    id.is_name = true;
    uint64_t at = At(raw & 0x7FFFFFFFu, 2, "resource name");
    uint16_t length = file_.U16(at);
    at = At(raw & 0x7FFFFFFFu, 2 + uint64_t{length} * 2, "resource name");
    for (uint16_t i = 0; i < length; ++i) id.name += static_cast<char16_t>(file_.U16(at + 2 + 2 * i));
    return id;
  }

  void Directory(uint32_t relative, int level, PeResource& entry, std::vector<PeResource>& out) {
    uint64_t at = At(relative, 16, "resource directory");
    uint32_t count = uint32_t{file_.U16(at + 12)} + file_.U16(at + 14);
    At(relative, 16 + uint64_t{count} * 8, "resource directory entries");
    for (uint32_t i = 0; i < count; ++i) {
      if (++visited_ > kMaxPeResources) Malformed("more than 65536 resource entries");
      uint64_t e = at + 16 + uint64_t{i} * 8;
      uint32_t id = file_.U32(e);
      uint32_t target = file_.U32(e + 4);
      bool subdirectory = (target & 0x80000000u) != 0;
      if (level < 2) {
        // Types and names lead to subdirectories; the depth bound keeps
        // self-referencing trees finite.
        if (!subdirectory) Malformed("resource data entry above the language level");
        (level == 0 ? entry.type : entry.name) = Id(id);
        Directory(target & 0x7FFFFFFFu, level + 1, entry, out);
      } else {
        if (subdirectory) Malformed("resource directory below the language level");
        uint64_t d = At(target, 16, "resource data entry");
        entry.language = static_cast<uint16_t>(id);
        entry.data_rva = file_.U32(d);
        entry.size = file_.U32(d + 4);
        entry.codepage = file_.U32(d + 8);
        entry.file_offset = PeRvaToOffset(image_, file_.Size(), entry.data_rva, entry.size);
        out.push_back(entry);
      }
    }
  }

  const Bytes& file_;
  const PeImageInfo& image_;
  uint64_t base_;
  uint64_t available_;
  size_t visited_ = 0;
};

bool SameAsciiNoCase(std::u16string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i];
    char16_t y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<char16_t>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char16_t>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::string PeNameOrId::Text() const {
  if (!is_name) return std::to_string(id);
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    uint32_t c = name[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
        name[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate
    }
    AppendUtf8(out, c);
  }
  return out;
}

int64_t PeRvaToOffset(const PeImageInfo& image, uint64_t file_size, uint32_t rva, uint32_t length) {
  for (const PeSectionInfo& s : image.sections) {
    if (rva < s.virtual_address) continue;
    uint64_t into = rva - s.virtual_address;
    // Only the section's raw bytes that the file really holds count.
    uint64_t span = std::max<uint64_t>(s.virtual_size, s.raw_size);
    if (into >= span) continue;
    if (s.raw_offset > file_size) return -1;
    uint64_t raw = std::min<uint64_t>(s.raw_size, file_size - s.raw_offset);
    if (into > raw || length > raw - into) return -1;
    return static_cast<int64_t>(s.raw_offset + into);
  }
  return -1;
}

PeImageInfo ReadPeHeaders(std::span<const uint8_t> data) {
  Bytes file(data);
  if (!file.Has(0, 64) || data[0] != 'M' || data[1] != 'Z') throw Error("not a PE image: no MZ header");
  uint32_t pe = file.U32(0x3C);
  if (!file.Has(pe, 24) || std::memcmp(file.At(pe), "PE\0\0", 4) != 0)
    throw Error("not a PE image: no PE signature");

  PeImageInfo image;
  image.pe_offset = pe;
  image.machine = file.U16(pe + 4);
  uint16_t section_count = file.U16(pe + 6);
  uint16_t optional_size = file.U16(pe + 20);
  image.characteristics = file.U16(pe + 22);

  uint64_t opt = uint64_t{pe} + 24;
  image.optional_header_offset = opt;
  image.optional_header_size = optional_size;
  file.Need(opt, optional_size, "optional header");
  if (optional_size < 2) Malformed("optional header too small");
  uint16_t magic = file.U16(opt);
  uint64_t count_at, dirs_at;
  if (magic == 0x10b) {
    count_at = 92;
    dirs_at = 96;
  } else if (magic == 0x20b) {
    image.pe32_plus = true;
    count_at = 108;
    dirs_at = 112;
  } else {
    Malformed("unknown optional header magic");
  }
  if (optional_size >= 64) {
    image.section_alignment = file.U32(opt + 32);
    image.file_alignment = file.U32(opt + 36);
    image.size_of_headers = file.U32(opt + 60);
  }
  if (optional_size >= 70) image.subsystem = file.U16(opt + 68);
  if (optional_size >= count_at + 4) {
    uint64_t room = optional_size >= dirs_at ? (optional_size - dirs_at) / 8 : 0;
    image.data_directory_count = static_cast<uint32_t>(std::min<uint64_t>(file.U32(opt + count_at), room));
    if (image.data_directory_count > kPeDirectoryResource) {
      image.resource_rva = file.U32(image.DataDirectoryOffset(kPeDirectoryResource));
      image.resource_size = file.U32(image.DataDirectoryOffset(kPeDirectoryResource) + 4);
    }
  }

  uint64_t table = opt + optional_size;
  image.section_table_offset = table;
  file.Need(table, uint64_t{section_count} * 40, "section table");
  for (uint16_t i = 0; i < section_count; ++i) {
    uint64_t s = table + uint64_t{i} * 40;
    PeSectionInfo section;
    const char* name = reinterpret_cast<const char*>(file.At(s));
    size_t length = 0;
    while (length < 8 && name[length]) ++length;
    section.name.assign(name, length);
    section.virtual_size = file.U32(s + 8);
    section.virtual_address = file.U32(s + 12);
    section.raw_size = file.U32(s + 16);
    section.raw_offset = file.U32(s + 20);
    section.characteristics = file.U32(s + 36);
    section.header_offset = s;
    image.sections.push_back(std::move(section));
  }
  return image;
}

std::vector<PeResource> ReadPeResourceTree(std::span<const uint8_t> data, const PeImageInfo& image) {
  Bytes file(data);
  std::vector<PeResource> resources;
  if (image.resource_rva != 0) {
    // The table's bytes: from its start to the end of its section's raw data.
    int64_t base = PeRvaToOffset(image, file.Size(), image.resource_rva, 16);
    if (base < 0) Malformed("resource table lies outside the file");
    uint64_t available = 0;
    for (const PeSectionInfo& s : image.sections) {
      if (uint64_t(base) >= s.raw_offset && uint64_t(base) - s.raw_offset < s.raw_size) {
        uint64_t end = std::min<uint64_t>(uint64_t{s.raw_offset} + s.raw_size, file.Size());
        available = end - uint64_t(base);
        break;
      }
    }
    TreeWalker(file, image, static_cast<uint64_t>(base), available).Walk(resources);
  }
  return resources;
}

PeImageInfo ReadPeImage(std::span<const uint8_t> file) {
  PeImageInfo image = ReadPeHeaders(file);
  image.resources = ReadPeResourceTree(file, image);
  return image;
}

const PeResource* FindPeRcData(const PeImageInfo& image, std::string_view name) {
  for (const PeResource& r : image.resources) {
    if (!r.type.is_name && r.type.id == kPeRcData && r.name.is_name && SameAsciiNoCase(r.name.name, name))
      return &r;  // the first language listed
  }
  return nullptr;
}

std::vector<uint8_t> ReadLr5Resource(std::span<const uint8_t> file) {
  PeImageInfo image = ReadPeImage(file);
  const PeResource* r = FindPeRcData(image, "LR5");
  if (!r) throw Error("Resource LR5 not found");
  if (r->file_offset < 0) Malformed("data of resource LR5 lies outside the file");
  const uint8_t* p = file.data() + r->file_offset;
  return std::vector<uint8_t>(p, p + r->size);
}

}  // namespace upkit::pack
