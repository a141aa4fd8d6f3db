// Decoder on arbitrary bytes: the first 3 bytes choose the destination
// capacity (up to 1 MiB), the rest is the packed value / bare stream. No
// input may crash, hang or write outside the capacity.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codec/unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  uint32_t capacity = (uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16) & 0xFFFFF;
  data += 3;
  size -= 3;
  std::vector<uint8_t> dest(capacity + 1);  // never empty, so data() is a valid pointer

  int32_t n = upkit::UnpackStream(data, uint32_t(size), dest.data(), capacity);
  if (n > int32_t(capacity)) std::abort();

  n = upkit::UnpackChecked(data, uint32_t(size), dest.data(), capacity);
  if (n > int32_t(capacity)) std::abort();

  int32_t header = upkit::UnpackedSizeFromHeader(data, int32_t(size));
  if (header <= (1 << 20)) {  // keep the allocation bounded
    int32_t s = int32_t(size);
    auto buf = upkit::DecompressBuffer(data, s);
    if ((buf != nullptr) != (s > 0)) std::abort();
    if (buf && s != header) std::abort();
  }
  return 0;
}
