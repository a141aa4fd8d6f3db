// Feeds arbitrary bytes to the update description loader (container reader,
// store, decipher, expansion, BMP decoding, item checks, alternatives). Any outcome but a
// crash, a hang or a huge allocation is fine: failures raise upkit::Error.
#include <cstddef>
#include <cstdint>

#include "codec/error.h"
#include "container/lame_ini.h"
#include "package/update_file.h"

namespace {
// The input as lasting memory, as the installer's own resource is: read in place.
class LastingStream : public upkit::MemoryStream {
 public:
  using MemoryStream::MemoryStream;
  const uint8_t* LastingMemory() const override { return Memory(); }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LastingStream stream(data, size);
  upkit::TUpdateFile file;
  try {
    file.LoadFromStream(stream);
    // Every item's Data as its action would get it: every byte read.
    for (upkit::TFileItem& item : file.Items) {
      upkit::ItemDataInUse in_use(file, item);
      uint8_t sum = 0;
      for (uint8_t b : item.Data) sum = static_cast<uint8_t>(sum + b);
      if (item.DataSize > 0 && item.Data.size() != static_cast<size_t>(item.DataSize)) __builtin_trap();
      volatile uint8_t sink = sum;
      (void)sink;
      // Each alternative's payload range, as the engine makes it ready.
      for (size_t a = 0; a < item.Alternatives.list.size(); ++a) {
        upkit::TFileItem chosen = item;
        upkit::UseAlternative(chosen, a);
        upkit::ItemDataInUse chosen_in_use(file, chosen);
        if (chosen.DataSize > 0 && chosen.Data.size() != static_cast<size_t>(chosen.DataSize)) __builtin_trap();
      }
    }
  } catch (const upkit::Error&) {
  }
  // The store on its own: every binary value expanded, whatever its name.
  upkit::TLameIni ini;
  upkit::MemoryStream again(data, size);
  try {
    ini.LoadFromStream(again);
  } catch (const upkit::Error&) {
  }
  for (const auto& section : ini.Sections())
    for (const auto& value : section->Values) ini.UnpackBinary(*value);
  return 0;
}
