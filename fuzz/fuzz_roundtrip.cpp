// Compressor against decoder: the first byte picks the level, the rest is
// compressed and must come back byte for byte within an exact-size buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/compress.h"
#include "codec/unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  int level = data[0] % 9 + 1;
  data += 1;
  size -= 1;

  std::vector<uint8_t> packed = upkit::pack::CompressPacked(data, size, level);
  int32_t n = int32_t(packed.size());
  auto out = upkit::DecompressBuffer(packed.data(), n);
  if (n != int32_t(size)) std::abort();
  if (size != 0 && (!out || std::memcmp(out.get(), data, size) != 0)) std::abort();
  return 0;
}
