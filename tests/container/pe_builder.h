// Test helper: writes a minimal PE image (PE32 or PE32+) with one ".rsrc"
// section holding the given resources, laid out the usual way: directories,
// data entries, names, then the data. Offsets of interesting fields are
// returned so tests can damage them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/container/byte_writer.h"

namespace upkit::test {

struct PeId {
  bool is_name = false;
  uint16_t id = 0;
  std::u16string name;
  bool operator==(const PeId& o) const { return is_name == o.is_name && id == o.id && name == o.name; }
};
inline PeId Id(uint16_t id) { return {false, id, {}}; }
inline PeId Named(std::u16string name) { return {true, 0, std::move(name)}; }

struct PeBuildResource {
  PeId type, name;
  uint16_t language = 0;
  std::vector<uint8_t> data;
};

struct PeBuilt {
  std::vector<uint8_t> bytes;
  size_t rsrc_offset = 0;  // file offset of the resource table
  size_t rsrc_rva = 0;
};

inline PeBuilt MakePe(const std::vector<PeBuildResource>& resources, bool pe32_plus = false) {
  // Group: types in order of first appearance, names within types, languages.
  struct Name { PeId id; std::vector<size_t> langs; };
  struct Type { PeId id; std::vector<Name> names; };
  std::vector<Type> types;
  for (size_t i = 0; i < resources.size(); ++i) {
    const auto& r = resources[i];
    Type* t = nullptr;
    for (auto& x : types) if (x.id == r.type) t = &x;
    if (!t) { types.push_back({r.type, {}}); t = &types.back(); }
    Name* n = nullptr;
    for (auto& x : t->names) if (x.id == r.name) n = &x;
    if (!n) { t->names.push_back({r.name, {}}); n = &t->names.back(); }
    n->langs.push_back(i);
  }
  // Named entries precede numbered ones in every directory.
  auto named_first = [](auto& list) {
    std::stable_partition(list.begin(), list.end(), [](const auto& x) { return x.id.is_name; });
  };
  named_first(types);
  for (auto& t : types) named_first(t.names);
  const uint32_t kRva = 0x1000;
  // Sizes of each area.
  uint32_t dirs = 16 + 8 * static_cast<uint32_t>(types.size());
  for (auto& t : types) {
    dirs += 16 + 8 * static_cast<uint32_t>(t.names.size());
    for (auto& n : t.names) dirs += 16 + 8 * static_cast<uint32_t>(n.langs.size());
  }
  uint32_t data_entries = dirs;
  uint32_t strings = data_entries + 16 * static_cast<uint32_t>(resources.size());
  uint32_t data_start = strings;
  for (auto& t : types) {
    if (t.id.is_name) data_start += 2 + 2 * static_cast<uint32_t>(t.id.name.size());
    for (auto& n : t.names) if (n.id.is_name) data_start += 2 + 2 * static_cast<uint32_t>(n.id.name.size());
  }
  data_start = (data_start + 3) & ~3u;

  std::vector<uint8_t> rsrc(data_start, 0);
  auto put16 = [&](uint32_t at, uint32_t v) { rsrc[at] = uint8_t(v); rsrc[at + 1] = uint8_t(v >> 8); };
  auto put32 = [&](uint32_t at, uint32_t v) { put16(at, v & 0xFFFF); put16(at + 2, v >> 16); };
  uint32_t next_dir = 0, next_string = strings, next_entry = data_entries;
  auto id_field = [&](const PeId& id) -> uint32_t {
    if (!id.is_name) return id.id;
    uint32_t at = next_string;
    put16(at, static_cast<uint32_t>(id.name.size()));
    for (size_t i = 0; i < id.name.size(); ++i) put16(at + 2 + 2 * static_cast<uint32_t>(i), id.name[i]);
    next_string += 2 + 2 * static_cast<uint32_t>(id.name.size());
    return 0x80000000u | at;
  };
  auto directory = [&](uint32_t named, uint32_t ids) {
    uint32_t at = next_dir;
    put16(at + 12, named);
    put16(at + 14, ids);
    next_dir += 16 + 8 * (named + ids);
    return at;
  };
  auto count_named = [](const auto& list) {
    uint32_t n = 0;
    for (auto& x : list) n += x.id.is_name;
    return n;
  };
  std::vector<uint8_t> payload;
  uint32_t root = directory(count_named(types), static_cast<uint32_t>(types.size()) - count_named(types));
  for (size_t ti = 0; ti < types.size(); ++ti) {
    auto& t = types[ti];
    uint32_t tdir = directory(count_named(t.names), static_cast<uint32_t>(t.names.size()) - count_named(t.names));
    put32(root + 16 + 8 * static_cast<uint32_t>(ti), id_field(t.id));
    put32(root + 20 + 8 * static_cast<uint32_t>(ti), 0x80000000u | tdir);
    for (size_t ni = 0; ni < t.names.size(); ++ni) {
      auto& n = t.names[ni];
      uint32_t ndir = directory(0, static_cast<uint32_t>(n.langs.size()));
      put32(tdir + 16 + 8 * static_cast<uint32_t>(ni), id_field(n.id));
      put32(tdir + 20 + 8 * static_cast<uint32_t>(ni), 0x80000000u | ndir);
      for (size_t li = 0; li < n.langs.size(); ++li) {
        const auto& r = resources[n.langs[li]];
        uint32_t entry = next_entry;
        next_entry += 16;
        put32(ndir + 16 + 8 * static_cast<uint32_t>(li), r.language);
        put32(ndir + 20 + 8 * static_cast<uint32_t>(li), entry);
        put32(entry, kRva + data_start + static_cast<uint32_t>(payload.size()));
        put32(entry + 4, static_cast<uint32_t>(r.data.size()));
        payload.insert(payload.end(), r.data.begin(), r.data.end());
        while (payload.size() % 4) payload.push_back(0);
      }
    }
  }
  rsrc.insert(rsrc.end(), payload.begin(), payload.end());
  uint32_t raw_size = (static_cast<uint32_t>(rsrc.size()) + 0x1FF) & ~0x1FFu;

  ByteWriter w;
  w.Raw("MZ").Fill(0x3A, 0).U32(0x40);  // e_lfanew at 0x3C
  const uint16_t opt_size = pe32_plus ? 240 : 224;
  w.Raw(std::string("PE\0\0", 4)).U16(pe32_plus ? 0x8664 : 0x14C).U16(1).U32(0).U32(0).U32(0);
  w.U16(opt_size).U16(0x0102);
  size_t opt = w.Size();
  w.Fill(opt_size, 0);
  w.PatchU16(opt, pe32_plus ? 0x20B : 0x10B);
  w.PatchU16(opt + 68, 2);  // GUI subsystem
  size_t count_at = opt + (pe32_plus ? 108 : 92), dirs_at = opt + (pe32_plus ? 112 : 96);
  w.PatchU32(count_at, 16);
  w.PatchU32(dirs_at + 16, kRva);
  w.PatchU32(dirs_at + 20, static_cast<uint32_t>(rsrc.size()));
  w.Raw(std::string(".rsrc\0\0\0", 8)).U32(static_cast<uint32_t>(rsrc.size())).U32(kRva);
  w.U32(raw_size).U32(0x200).U32(0).U32(0).U16(0).U16(0).U32(0x40000040);
  w.Fill(0x200 - w.Size(), 0);
  w.Raw(rsrc).Fill(raw_size - rsrc.size(), 0);
  return {w.bytes, 0x200, kRva};
}

}  // namespace upkit::test
