// The two files a delta stream joins, as the decoder and the PE tables
// reader (delta/delta_pe.h) see them: the old file by bounded random-access
// reads, the new file written once, in order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace upkit {

// Random access to the old file through bounded reads. The decoder guarantees offset + length <= old_size. Raises Error on a read failure.
class DeltaSource { public: virtual ~DeltaSource() = default;
  virtual void ReadOld(uint64_t offset, uint8_t* out, size_t length) = 0; };

// The new file, written once from start to end. Raises Error on failure.
class DeltaSink { public: virtual ~DeltaSink() = default;
  virtual void WriteNew(const uint8_t* bytes, size_t length) = 0; };

}  // namespace upkit
