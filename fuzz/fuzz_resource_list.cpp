// Feeds arbitrary bytes to the resource-list reader of action 1. Every entry
// must lie inside the input, and the entries read must survive a round trip
// through the authoring side's writer unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "pack/package_writer.h"
#include "package/item_lists.h"

namespace {

upkit::pack::ResourceEntry Written(const upkit::ResourceListEntry& e) {
  upkit::pack::ResourceEntry out;
  out.type_is_name = e.type.is_text;
  out.type_id = e.type.number;
  out.type_name = e.type.text;
  out.name_is_text = e.name.is_text;
  out.name_id = e.name.number;
  out.name_text = e.name.text;
  out.language = e.language;
  out.data.assign(e.content, e.content + e.size);
  return out;
}

bool Same(const upkit::ResourceListEntry& a, const upkit::ResourceListEntry& b) {
  auto same_id = [](const upkit::ResourceListId& x, const upkit::ResourceListId& y) {
    return x.is_text == y.is_text && (x.is_text ? x.text == y.text : x.number == y.number);
  };
  return same_id(a.type, b.type) && same_id(a.name, b.name) && a.language == b.language &&
         a.size == b.size &&
         std::vector<uint8_t>(a.content, a.content + a.size) ==
             std::vector<uint8_t>(b.content, b.content + b.size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  upkit::ResourceList list = upkit::ReadResourceList(data, size);
  std::vector<upkit::pack::ResourceEntry> entries;
  for (const auto& e : list.entries) {
    if (e.size > size || e.content < data || static_cast<size_t>(e.content - data) > size - e.size)
      std::abort();
    entries.push_back(Written(e));
  }
  std::vector<uint8_t> again = upkit::pack::ResourceList(entries);
  upkit::ResourceList reread = upkit::ReadResourceList(again.data(), again.size());
  if (reread.error || reread.entries.size() != list.entries.size()) std::abort();
  for (size_t i = 0; i < list.entries.size(); ++i)
    if (!Same(list.entries[i], reread.entries[i])) std::abort();
  return 0;
}
