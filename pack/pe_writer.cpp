#include "pack/pe_writer.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "codec/error.h"

namespace upkit::pack {
namespace {

// Header field offsets, relative to the optional header (PE32).
constexpr uint32_t kOptSizeOfInitializedData = 8;
constexpr uint32_t kOptSizeOfImage = 56;
constexpr uint32_t kOptCheckSum = 64;
constexpr uint32_t kOptDataDirectories = 96;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kScnInitializedData = 0x00000040;
constexpr uint32_t kScnMemRead = 0x40000000;

[[noreturn]] void Bad(const std::string& what) { throw Error("not a usable PE image: " + what); }

uint32_t Get32(std::span<const uint8_t> b, size_t at) {
  if (at > b.size() || 4 > b.size() - at) Bad("header runs past the end of the file");
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t AlignUp(uint32_t v, uint32_t a) {
  uint32_t r = v % a;
  if (r == 0) return v;
  if (a - r > UINT32_MAX - v) Bad("size overflows 32 bits");
  return v + (a - r);
}

// File offsets of an optional-header field and of a data directory; both
// lie inside the headers WritableHeaders has checked.
size_t OptAt(const PeImageInfo& l, uint32_t field) {
  return static_cast<size_t>(l.optional_header_offset) + field;
}
size_t DirAt(const PeImageInfo& l, uint32_t index) { return static_cast<size_t>(l.DataDirectoryOffset(index)); }

// The headers of a PE32 or PE32+ image, with what rewriting it needs on top
// of what the reader checks: sane alignments and sections whose raw data
// lies in the file.
PeImageInfo WritableHeaders(std::span<const uint8_t> img) {
  PeImageInfo l = ReadPeHeaders(img);
  if (l.optional_header_size < kOptDataDirectories) Bad("optional header too short");
  // Powers of two; a file alignment beyond 64 KiB would make padding a
  // huge allocation.
  auto power_of_two = [](uint32_t v) { return v != 0 && (v & (v - 1)) == 0; };
  if (!power_of_two(l.file_alignment) || l.file_alignment > 0x10000) Bad("bad file alignment");
  if (!power_of_two(l.section_alignment)) Bad("bad section alignment");
  for (const PeSectionInfo& s : l.sections)
    if (s.raw_size != 0 && (s.raw_offset > img.size() || s.raw_size > img.size() - s.raw_offset))
      Bad("section data runs past the end of the file");
  return l;
}

// ---- writing the resource tree ----

// Windows looks names up by binary search over upper-case text.
bool IdLess(const PeNameOrId& a, const PeNameOrId& b) {
  if (a.is_name != b.is_name) return a.is_name;  // named entries come first
  if (!a.is_name) return a.id < b.id;
  auto up = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
  return std::lexicographical_compare(a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
                                      [&](char16_t x, char16_t y) { return up(x) < up(y); });
}
struct IdOrder {
  bool operator()(const PeNameOrId& a, const PeNameOrId& b) const { return IdLess(a, b); }
};

using LangMap = std::map<uint16_t, const PeResource*>;
using NameMap = std::map<PeNameOrId, LangMap, IdOrder>;
using TypeMap = std::map<PeNameOrId, NameMap, IdOrder>;

void PutDirHeader(std::vector<uint8_t>& b, size_t at, uint16_t named, uint16_t ids) {
  Put16(b, at + 12, named);
  Put16(b, at + 14, ids);
}

template <class M>
std::pair<uint16_t, uint16_t> CountIds(const M& m) {
  uint16_t named = 0, ids = 0;
  for (const auto& [id, _] : m) (id.is_name ? named : ids)++;
  return {named, ids};
}

// Lays out the tree for a section at `section_rva` at the end of `b`:
// directories, data entries, names, then the data, each resource's bytes
// copied once, straight into place. Returns the tree's size.
uint32_t AppendTree(std::vector<uint8_t>& out, const std::vector<PeResource>& resources,
                    uint32_t section_rva) {
  TypeMap tree;
  for (const PeResource& r : resources) {
    if (r.type.is_name && r.type.name.size() > 0xFFFF) throw Error("resource type name too long");
    if (r.name.is_name && r.name.name.size() > 0xFFFF) throw Error("resource name too long");
    tree[r.type][r.name][r.language] = &r;
  }
  if (tree.size() > 0xFFFF) throw Error("too many resource types");

  // Pass 1: offsets.
  uint32_t dirs = 16 + 8 * static_cast<uint32_t>(tree.size());
  uint32_t entries = 0;
  std::vector<uint32_t> type_dir, name_dir;
  for (const auto& [type, names] : tree) {
    type_dir.push_back(dirs);
    dirs += 16 + 8 * static_cast<uint32_t>(names.size());
  }
  for (const auto& [type, names] : tree)
    for (const auto& [name, langs] : names) {
      name_dir.push_back(dirs);
      dirs += 16 + 8 * static_cast<uint32_t>(langs.size());
      entries += static_cast<uint32_t>(langs.size());
    }
  uint32_t entry_base = dirs;
  uint32_t strings = entry_base + 16 * entries;
  std::map<std::u16string, uint32_t> string_at;
  uint32_t cursor = strings;
  auto add_string = [&](const PeNameOrId& id) {
    if (id.is_name && !string_at.count(id.name)) {
      string_at[id.name] = cursor;
      cursor += 2 + 2 * static_cast<uint32_t>(id.name.size());
    }
  };
  for (const auto& [type, names] : tree) {
    add_string(type);
    for (const auto& [name, langs] : names) add_string(name);
  }
  uint32_t data_cursor = AlignUp(cursor, 8);
  // Offsets below are relative to the tree's start in `out`.
  const size_t base = out.size();
  out.resize(base + data_cursor, 0);
  auto put16 = [&](uint32_t at, uint16_t v) { Put16(out, base + at, v); };
  auto put32 = [&](uint32_t at, uint32_t v) { Put32(out, base + at, v); };
  auto put_dir = [&](uint32_t at, uint16_t named, uint16_t ids) { PutDirHeader(out, base + at, named, ids); };

  auto id_field = [&](const PeNameOrId& id) -> uint32_t {
    return id.is_name ? (0x80000000u | string_at.at(id.name)) : id.id;
  };

  // Pass 2: contents.
  auto [root_named, root_ids] = CountIds(tree);
  put_dir(0, root_named, root_ids);
  size_t ti = 0, ni = 0;
  uint32_t entry = entry_base;
  for (const auto& [type, names] : tree) {
    uint32_t root_entry = 16 + 8 * static_cast<uint32_t>(ti);
    put32(root_entry, id_field(type));
    put32(root_entry + 4, 0x80000000u | type_dir[ti]);
    auto [tn, tid] = CountIds(names);
    put_dir(type_dir[ti], tn, tid);
    size_t k = 0;
    for (const auto& [name, langs] : names) {
      uint32_t te = type_dir[ti] + 16 + 8 * static_cast<uint32_t>(k++);
      put32(te, id_field(name));
      put32(te + 4, 0x80000000u | name_dir[ni]);
      put_dir(name_dir[ni], 0, static_cast<uint16_t>(langs.size()));
      size_t li = 0;
      for (const auto& [lang, res] : langs) {
        uint32_t le = name_dir[ni] + 16 + 8 * static_cast<uint32_t>(li++);
        put32(le, lang);
        put32(le + 4, entry);
        if (res->data.size() > UINT32_MAX - data_cursor - 8) throw Error("resource data too large");
        uint32_t size = static_cast<uint32_t>(res->data.size());
        put32(entry, section_rva + data_cursor);
        put32(entry + 4, size);
        put32(entry + 8, res->codepage);
        out.insert(out.end(), res->data.begin(), res->data.end());
        data_cursor = AlignUp(data_cursor + size, 8);
        out.resize(base + data_cursor, 0);
        entry += 16;
      }
      ++ni;
    }
    ++ti;
  }
  for (const auto& [text, at] : string_at) {
    put16(at, static_cast<uint16_t>(text.size()));
    for (size_t i = 0; i < text.size(); ++i) put16(at + 2 + 2 * i, text[i]);
  }
  return data_cursor;
}

}  // namespace

void CheckGuiExecutable(std::span<const uint8_t> image) {
  if (image.size() < 64 || image[0] != 'M' || image[1] != 'Z') throw Error("not a Windows executable (no MZ header)");
  PeImageInfo l = WritableHeaders(image);
  // The shipped stub is PE32 (x86); an x86-64 build of the same stub is
  // accepted too, which is how the Windows tests run where Wine can run
  // only 64-bit programs.
  bool x86 = l.machine == 0x14c && !l.pe32_plus, x64 = l.machine == 0x8664 && l.pe32_plus;
  if (!x86 && !x64) throw Error("not an x86 or x86-64 executable (machine " + std::to_string(l.machine) + ")");
  if (l.characteristics & 0x2000) throw Error("a DLL, not an executable");
  if (!(l.characteristics & 0x0002)) throw Error("not marked executable");
  if (l.subsystem != 2) throw Error("not a Windows GUI executable (subsystem " + std::to_string(l.subsystem) + ")");
  if (l.data_directory_count <= kPeDirectoryResource) throw Error("no resource data directory");
}

std::vector<PeResource> ReadPeResources(std::span<const uint8_t> image) {
  PeImageInfo l = WritableHeaders(image);
  std::vector<PeResource> out = ReadPeResourceTree(image, l);
  // Overlapping data entries could make a small image expand enormously:
  // bound the bytes copied by the image's own size.
  uint64_t copied = 0;
  for (PeResource& r : out) {
    if (r.size == 0) continue;
    if (r.file_offset < 0) Bad("resource data lies outside the sections");
    copied += r.size;
    if (copied > image.size()) Bad("resource data entries overlap");
    auto from = image.begin() + static_cast<ptrdiff_t>(r.file_offset);
    r.data.assign(from, from + r.size);
  }
  return out;
}

uint32_t PeChecksum(std::span<const uint8_t> image) {
  PeImageInfo l = WritableHeaders(image);
  size_t skip = OptAt(l, kOptCheckSum);
  uint64_t sum = 0;
  for (size_t i = 0; i < image.size(); i += 2) {
    if (i == skip || i == skip + 2) continue;
    uint32_t word = image[i];
    if (i + 1 < image.size()) word |= static_cast<uint32_t>(image[i + 1]) << 8;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + image.size());
}

void StorePeChecksum(std::vector<uint8_t>& image, uint32_t checksum) {
  PeImageInfo l = WritableHeaders(image);
  Put32(image, OptAt(l, kOptCheckSum), checksum);
}

uint32_t StoredPeChecksum(std::span<const uint8_t> image) {
  PeImageInfo l = WritableHeaders(image);
  return Get32(image, OptAt(l, kOptCheckSum));
}

std::vector<uint8_t> WritePeResources(std::span<const uint8_t> image,
                                      const std::vector<PeResource>& resources,
                                      PeWriteReport* report) {
  PeWriteReport local;
  PeWriteReport& rep = report ? *report : local;
  rep = {};
  PeImageInfo l = WritableHeaders(image);
  if (l.data_directory_count <= kPeDirectoryResource) Bad("no resource data directory");
  if (l.sections.empty()) Bad("no sections");

  // Where the sections end in the file and in memory.
  uint32_t raw_end = 0, last_va = 0;
  size_t last = 0;
  for (size_t i = 0; i < l.sections.size(); ++i) {
    const PeSectionInfo& s = l.sections[i];
    if (s.raw_size) raw_end = std::max(raw_end, s.raw_offset + s.raw_size);
    if (s.virtual_address >= last_va) {
      last_va = s.virtual_address;
      last = i;
    }
  }
  raw_end = std::max(raw_end, l.size_of_headers);
  if (raw_end > image.size()) Bad("headers run past the end of the file");

  // The certificate table is addressed by file offset; drop it.
  uint32_t cert_offset = 0, cert_size = 0;
  if (l.data_directory_count > kPeDirectorySecurity) {
    cert_offset = Get32(image, DirAt(l, kPeDirectorySecurity));
    cert_size = Get32(image, DirAt(l, kPeDirectorySecurity) + 4);
  }
  size_t overlay_end = image.size();
  if (cert_size) {
    rep.certificate_dropped = true;
    if (cert_offset < raw_end || cert_offset > image.size() || cert_size > image.size() - cert_offset)
      Bad("certificate table lies outside the overlay");
    if (static_cast<size_t>(cert_offset) + cert_size == image.size()) overlay_end = cert_offset;
  }
  std::vector<uint8_t> overlay(image.begin() + raw_end, image.begin() + overlay_end);
  if (cert_size && overlay_end == image.size()) {
    // A signature in the middle of the overlay: blank it out in place.
    size_t from = cert_offset - raw_end;
    std::fill(overlay.begin() + from, overlay.begin() + from + cert_size, 0);
  }

  // Is the current resource section the last one (in memory and in the file)?
  uint32_t old_rva = Get32(image, DirAt(l, kPeDirectoryResource));
  bool in_place = false;
  if (old_rva) {
    const PeSectionInfo& s = l.sections[last];
    bool holds = old_rva == s.virtual_address;
    bool last_in_file = s.raw_size == 0 || s.raw_offset + s.raw_size == raw_end;
    in_place = holds && last_in_file;
  }

  std::vector<uint8_t> out(image.begin(), image.begin() + raw_end);
  PeSectionInfo target;
  uint32_t old_raw_size = 0;
  if (in_place) {
    target = l.sections[last];
    old_raw_size = target.raw_size;
    if (target.raw_offset == 0) target.raw_offset = AlignUp(raw_end, l.file_alignment);
  } else {
    size_t header = static_cast<size_t>(l.section_table_offset) + l.sections.size() * kSectionHeaderSize;
    uint32_t first_raw = l.size_of_headers;
    for (const PeSectionInfo& s : l.sections)
      if (s.raw_size) first_raw = std::min(first_raw, s.raw_offset);
    if (header + kSectionHeaderSize > first_raw)
      throw Error("the stub has no room for another section header; link it with its resources last");
    const PeSectionInfo& s = l.sections[last];
    target.header_offset = header;
    target.virtual_address =
        AlignUp(s.virtual_address + std::max(s.virtual_size, s.raw_size), l.section_alignment);
    target.raw_offset = AlignUp(raw_end, l.file_alignment);
    target.characteristics = kScnInitializedData | kScnMemRead;
    static const char kName[8] = {'.', 'r', 's', 'r', 'c', '2', 0, 0};
    std::copy(kName, kName + 8, out.begin() + header);
    Put16(out, l.pe_offset + 6, static_cast<uint16_t>(l.sections.size() + 1));
    rep.section_appended = true;
  }

  // Section data, then whatever followed the sections before. Room for
  // all of it first, so that a package of a gigabyte is never moved.
  uint64_t room = uint64_t{target.raw_offset} + overlay.size() + l.file_alignment + 65536;
  for (const PeResource& r : resources) room += r.data.size() + 8 + 16 + 2 * (r.name.name.size() + r.type.name.size());
  if (room < SIZE_MAX) out.reserve(static_cast<size_t>(room));
  out.resize(target.raw_offset, 0);
  uint32_t tree_size = AppendTree(out, resources, target.virtual_address);
  uint32_t raw_size = AlignUp(tree_size, l.file_alignment);
  out.resize(target.raw_offset + static_cast<size_t>(raw_size), 0);
  uint32_t new_overlay = static_cast<uint32_t>(out.size());
  out.insert(out.end(), overlay.begin(), overlay.end());

  size_t th = static_cast<size_t>(target.header_offset);
  Put32(out, th + 8, tree_size);
  Put32(out, th + 12, target.virtual_address);
  Put32(out, th + 16, raw_size);
  Put32(out, th + 20, target.raw_offset);
  Put32(out, th + 36, target.characteristics);
  Put32(out, DirAt(l, kPeDirectoryResource), target.virtual_address);
  Put32(out, DirAt(l, kPeDirectoryResource) + 4, tree_size);
  if (cert_size) {
    Put32(out, DirAt(l, kPeDirectorySecurity), 0);
    Put32(out, DirAt(l, kPeDirectorySecurity) + 4, 0);
  }

  // A COFF symbol table after the sections moves with the overlay.
  uint32_t symbols = Get32(image, l.pe_offset + 12);
  if (symbols >= raw_end && symbols < overlay_end) Put32(out, l.pe_offset + 12, symbols - raw_end + new_overlay);

  // The rewritten section counts with its new size; the others as they are.
  uint32_t image_size = AlignUp(target.virtual_address + std::max(tree_size, 1u), l.section_alignment);
  for (size_t i = 0; i < l.sections.size(); ++i) {
    if (in_place && i == last) continue;
    const PeSectionInfo& s = l.sections[i];
    image_size = std::max(image_size, AlignUp(s.virtual_address + std::max(s.virtual_size, s.raw_size),
                                              l.section_alignment));
  }
  Put32(out, OptAt(l, kOptSizeOfImage), image_size);
  uint32_t initialized = Get32(image, OptAt(l, kOptSizeOfInitializedData));
  initialized = initialized - std::min(initialized, old_raw_size) + raw_size;
  Put32(out, OptAt(l, kOptSizeOfInitializedData), initialized);

  Put32(out, OptAt(l, kOptCheckSum), PeChecksum(out));
  return out;
}

std::vector<uint8_t> SetPeResource(std::span<const uint8_t> image, PeResource resource,
                                   PeWriteReport* report) {
  std::vector<PeResource> resources = ReadPeResources(image);
  std::erase_if(resources, [&](const PeResource& r) {
    return r.type == resource.type && r.name == resource.name;
  });
  resources.push_back(std::move(resource));
  return WritePeResources(image, resources, report);
}

}  // namespace upkit::pack
