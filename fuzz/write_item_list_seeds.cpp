// Writes the seed corpora of the item-list fuzz targets with the authoring
// side's writer: write_item_list_seeds <corpus folder> (fuzz/corpus).
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "pack/package_writer.h"

namespace {

void Put(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  namespace pack = upkit::pack;
  const std::string root = argv[1];
  pack::ResourceEntry number;
  number.type_id = 10;
  number.name_id = 7;
  number.data = {'h', 'e', 'l', 'l', 'o'};
  pack::ResourceEntry named;
  named.type_is_name = true;
  named.type_name = "MYTYPE";
  named.name_is_text = true;
  named.name_text = "THING";
  named.language = 1033;
  named.data = {1, 2, 3};
  pack::ResourceEntry removal;
  removal.name_id = 1;
  Put(root + "/resource_list/empty", pack::ResourceList({}));
  Put(root + "/resource_list/one_number", pack::ResourceList({number}));
  Put(root + "/resource_list/named_and_removal", pack::ResourceList({number, named, removal}));

  Put(root + "/patch_list/resize_only", pack::PatchListRuns(4096, {}));
  Put(root + "/patch_list/bytes", pack::PatchListBytes(64, {{16, 0x90}, {0, 0xEE}}));
  Put(root + "/patch_list/runs", pack::PatchListRuns(64, {{60, {'a', 'b', 'c'}}, {5, {}}, {70, {'y', 'z'}}}));
  return 0;
}
