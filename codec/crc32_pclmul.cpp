// CRC-32 by carry-less multiplication folding (to be written; until then the
// folding entry point hands the work to slicing-by-16).
#include "codec/crc32_paths.h"

namespace upkit::crc32 {

bool HasPclmul() { return false; }

uint32_t UpdatePclmul(uint32_t crc, const uint8_t* data, uint32_t length) {
  return UpdateSlice16(crc, data, length);
}

}  // namespace upkit::crc32
