// Multi-release items of a manifest, built into package items that carry
// "Alternatives" (package/alternatives.h): one alternative per [[item.from]],
// plus the whole-file fallback when the item asks for it.
//
// Payloads are stored once: an alternative whose payload equals one already
// placed (in this item or an earlier one, multi-release or not) refers to
// it; the item's own "Data" holds the rest, one after the other, so that
// they are compressed together. The item's ordinary fields describe its
// first alternative when that one's payload starts its own Data (or it has
// none), so that an installer that knows no alternatives still updates that
// release; otherwise they name no action.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pack/manifest.h"
#include "pack/package_writer.h"

namespace upkit::pack {

// The payloads placed so far, found again by content.
class PayloadPool {
 public:
  struct Place {
    int32_t item = -1;
    uint32_t offset = 0;
  };
  // Where `payload` already lies among `items` (and `own_data`, the Data of
  // item `own_index` being built); item -1 when nowhere.
  Place Find(std::span<const uint8_t> payload, const std::vector<PackageItem>& items, int32_t own_index,
             const std::vector<uint8_t>& own_data) const;
  // Records that `payload` lies at `offset` in the Data of item `item`.
  void Add(std::span<const uint8_t> payload, int32_t item, uint32_t offset);

 private:
  struct Entry {
    uint32_t crc, size;
    Place place;
  };
  std::vector<Entry> entries_;
};

// The package item for a multi-release manifest item at `index`; `items`
// holds the items built before it. Reads every old and new file, checks
// each kept delta stream, and raises Error naming the file on a problem.
PackageItem MultiItemFromManifest(const ManifestItem& item, int32_t index, const std::vector<std::string>& releases,
                                  const std::vector<PackageItem>& items, PayloadPool& pool);

}  // namespace upkit::pack
