// Feeds arbitrary bytes to the patch-list reader of action 2. A list it
// accepts must have every record inside the input with a non-negative new
// size, and must survive a round trip through the authoring side's writer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "codec/error.h"
#include "pack/package_writer.h"
#include "package/item_lists.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  upkit::PatchList list;
  try {
    list = upkit::ReadPatchList(data, size);
  } catch (const upkit::Error&) {
    return 0;
  }
  if (list.new_size < 0) std::abort();
  std::vector<upkit::pack::PatchRun> runs;
  std::vector<std::pair<int32_t, uint8_t>> bytes;
  for (const upkit::PatchRecord& r : list.records) {
    if (r.count == 0 || r.count > size || r.bytes < data ||
        static_cast<size_t>(r.bytes - data) > size - r.count || r.offset > INT32_MAX)
      std::abort();
    if (list.kind == 0 && r.count != 1) std::abort();
    runs.push_back({static_cast<int32_t>(r.offset), std::vector<uint8_t>(r.bytes, r.bytes + r.count)});
    bytes.push_back({static_cast<int32_t>(r.offset), r.bytes[0]});
  }
  if (list.kind != 0 && list.kind != 1) {
    if (!list.records.empty()) std::abort();
    return 0;
  }
  std::vector<uint8_t> again = list.kind == 0 ? upkit::pack::PatchListBytes(list.new_size, bytes)
                                              : upkit::pack::PatchListRuns(list.new_size, runs);
  upkit::PatchList reread = upkit::ReadPatchList(again.data(), again.size());
  if (reread.new_size != list.new_size || reread.kind != list.kind ||
      reread.records.size() != list.records.size())
    std::abort();
  for (size_t i = 0; i < list.records.size(); ++i) {
    const upkit::PatchRecord &a = list.records[i], &b = reread.records[i];
    if (a.offset != b.offset || a.count != b.count ||
        std::vector<uint8_t>(a.bytes, a.bytes + a.count) != std::vector<uint8_t>(b.bytes, b.bytes + b.count))
      std::abort();
  }
  return 0;
}
