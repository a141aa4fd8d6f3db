// Feeds arbitrary bytes to the update description loader (container reader,
// store, decipher, expansion, BMP decoding, item checks). Any outcome but a
// crash, a hang or a huge allocation is fine: failures raise upkit::Error.
#include <cstddef>
#include <cstdint>

#include "codec/error.h"
#include "container/lame_ini.h"
#include "update/update_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  upkit::MemoryStream stream(data, size);
  upkit::TUpdateFile file;
  try {
    file.LoadFromStream(stream);
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
