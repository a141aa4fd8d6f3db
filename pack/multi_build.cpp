#include "pack/multi_build.h"

#include <algorithm>
#include <filesystem>

#include "codec/crc32.h"
#include "codec/error.h"
#include "delta/delta_encode.h"
#include "pack/diff.h"
#include "pack/host_fs.h"
#include "package/alternatives.h"

namespace upkit::pack {
namespace {

uint32_t Crc(std::span<const uint8_t> bytes) {
  return Crc32Block(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

std::vector<uint8_t> ReadFile2G(const std::string& path) {
  std::vector<uint8_t> bytes = ReadHostFile(path);
  if (bytes.size() > static_cast<size_t>(INT32_MAX)) throw Error(path + ": file too large (2 GiB or more)");
  return bytes;
}

// The payload of one alternative: what its action needs to turn `old_bytes`
// into `new_bytes`.
std::vector<uint8_t> PayloadFor(const ManifestAlternative& a, const std::vector<uint8_t>& old_bytes,
                                const std::vector<uint8_t>& new_bytes) {
  switch (a.action) {
    case kActionReplace: return new_bytes;
    case kActionPatch: return PatchListFor(old_bytes, new_bytes);
    case kActionDelta: {
      if (old_bytes.empty()) throw Error(a.old_file + ": a delta needs a non-empty old file; use replace");
      // A stream made earlier is taken only when it rebuilds this very pair.
      std::error_code missing;
      if (!a.stream_file.empty() && std::filesystem::is_regular_file(HostPath(a.stream_file), missing)) {
        std::vector<uint8_t> kept = ReadFile2G(a.stream_file);
        if (DeltaRebuilds(kept, old_bytes, new_bytes)) return kept;
      }
      return EncodeDelta(old_bytes, new_bytes);
    }
    default: return {};  // delete
  }
}

uint32_t ReleaseBits(const ManifestAlternative& a, const std::vector<std::string>& releases) {
  uint32_t bits = 0;
  for (const std::string& name : a.releases) {
    auto at = std::find(releases.begin(), releases.end(), name);
    if (at != releases.end() && at - releases.begin() < 32) bits |= 1u << (at - releases.begin());
  }
  return bits;
}

}  // namespace

PayloadPool::Place PayloadPool::Find(std::span<const uint8_t> payload, const std::vector<PackageItem>& items,
                                     int32_t own_index, const std::vector<uint8_t>& own_data) const {
  const uint32_t crc = Crc(payload), size = static_cast<uint32_t>(payload.size());
  for (const Entry& e : entries_) {
    if (e.crc != crc || e.size != size) continue;
    const std::vector<uint8_t>& data =
        e.place.item == own_index ? own_data : items[static_cast<size_t>(e.place.item)].Data;
    if (std::equal(payload.begin(), payload.end(), data.begin() + e.place.offset)) return e.place;
  }
  return {};
}

void PayloadPool::Add(std::span<const uint8_t> payload, int32_t item, uint32_t offset) {
  if (!payload.empty()) entries_.push_back({Crc(payload), static_cast<uint32_t>(payload.size()), {item, offset}});
}

PackageItem MultiItemFromManifest(const ManifestItem& it, int32_t index, const std::vector<std::string>& releases,
                                  const std::vector<PackageItem>& items, PayloadPool& pool) {
  PackageItem p;
  p.OriginName = it.origin_name;
  p.UpdateName = it.update_name;
  p.Path = it.path;
  ItemAlternatives table;
  std::vector<uint8_t> new_bytes;
  table.new_present = !it.new_file.empty();
  if (table.new_present) {
    new_bytes = ReadFile2G(it.new_file);
    table.new_size = new_bytes.size();
    table.new_crc = Crc(new_bytes);
  }
  // Places a payload (or finds it placed) and gives its alternative's range.
  auto place = [&](const std::vector<uint8_t>& payload, ItemAlternative& alt) {
    alt.data_item = index;
    alt.length = static_cast<uint32_t>(payload.size());
    if (payload.empty()) return;
    PayloadPool::Place at = pool.Find(payload, items, index, p.Data);
    if (at.item >= 0) {
      alt.data_item = at.item;
      alt.offset = at.offset;
      return;
    }
    // A chained delta payload (PrimedStream) starts with the payload of
    // the alternative before it: where that one ends this Data, only the
    // rest is added.
    size_t shared = 0;
    if (!table.list.empty()) {
      const ItemAlternative& before = table.list.back();
      if (before.data_item == index && before.length != 0 && static_cast<size_t>(before.offset) + before.length == p.Data.size() &&
          before.length < payload.size() &&
          std::equal(p.Data.begin() + before.offset, p.Data.end(), payload.begin()))
        shared = before.length;
    }
    if (payload.size() - shared > static_cast<size_t>(INT32_MAX) - p.Data.size())
      throw Error(it.new_file + ": the payloads of one item pass 2 GiB");
    alt.offset = static_cast<uint32_t>(p.Data.size() - shared);
    p.Data.insert(p.Data.end(), payload.begin() + static_cast<std::ptrdiff_t>(shared), payload.end());
    pool.Add(payload, index, alt.offset);
  };

  for (const ManifestAlternative& a : it.from) {
    ItemAlternative alt;
    alt.action = a.action;
    alt.releases = ReleaseBits(a, releases);
    std::vector<uint8_t> old_bytes;
    if (!a.absent) {
      old_bytes = ReadFile2G(a.old_file);
      alt.base = kBasePresent;
      alt.base_size = old_bytes.size();
      alt.base_crc = Crc(old_bytes);
    }
    place(PayloadFor(a, old_bytes, new_bytes), alt);
    table.list.push_back(alt);
  }
  if (it.full_fallback) {
    ItemAlternative alt;
    alt.base = kBaseAny;
    alt.action = table.new_present ? kActionReplace : kActionDelete;
    place(table.new_present ? new_bytes : std::vector<uint8_t>(), alt);
    table.list.push_back(alt);
  }

  // The ordinary fields: the first alternative, where an installer without
  // alternatives finds its payload at the start of Data.
  const ItemAlternative& first = table.list.front();
  if (first.length == 0 || (first.data_item == index && first.offset == 0)) {
    p.Action = first.action;
    p.DataSize = static_cast<int32_t>(first.length);
    p.CheckSize = first.base == kBasePresent ? 1 : 0;
    p.CheckCRC = first.base == kBasePresent && first.base_size != 0 ? 1 : 0;
    p.Size = static_cast<int32_t>(first.base_size);
    p.CRC = static_cast<int32_t>(first.base_crc);
  } else {
    p.DataSize = 0;  // Action 0: such an installer changes nothing
  }
  p.Alternatives = WriteAlternatives(table);
  return p;
}

}  // namespace upkit::pack
