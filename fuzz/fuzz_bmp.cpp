// Feeds arbitrary bytes to the BMP decoder; a decoded picture must hold
// exactly width x height pixels.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "package/bitmap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  upkit::TBitmap bitmap;
  if (bitmap.LoadFromMemory(data, size)) {
    if (bitmap.Width() <= 0 || bitmap.Height() <= 0 ||
        bitmap.Pixels().size() != static_cast<size_t>(bitmap.Width()) * bitmap.Height())
      std::abort();
  } else if (!bitmap.Empty() || !bitmap.Pixels().empty()) {
    std::abort();
  }
  return 0;
}
