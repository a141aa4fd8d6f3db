// Delta decoder on arbitrary bytes: the first 2 bytes give the old file's
// length (little-endian), then the old file, then the stream (or a chained
// payload: streams back to back, each after the first primed by the one
// before; seed11-primed-chain). No input may crash, read outside the old
// file, write past the new size or in pieces over 64 KiB, or fail with any
// message but "Stream read error".
#include <cstdint>
#include <cstdlib>
#include <string>

#include "codec/error.h"
#include "delta/delta.h"

namespace {

struct Source : upkit::DeltaSource {
  const uint8_t* old;
  uint64_t size;
  void ReadOld(uint64_t offset, uint8_t* out, size_t length) override {
    if (offset > size || length > size - offset || length > 64 * 1024) std::abort();
    for (size_t i = 0; i < length; ++i) out[i] = old[offset + i];
  }
};

struct Sink : upkit::DeltaSink {
  uint64_t written = 0, limit = 0;
  void WriteNew(const uint8_t* bytes, size_t length) override {
    if (length > 64 * 1024 || length > limit - written) std::abort();
    volatile uint8_t touch = length ? bytes[length - 1] : 0;  // the bytes must be readable
    (void)touch;
    written += length;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t old_size = data[0] | size_t(data[1]) << 8;
  if (old_size > size - 2) return 0;
  Source source;
  source.old = data + 2;
  source.size = old_size;
  const uint8_t* stream = data + 2 + old_size;
  size_t stream_size = size - 2 - old_size;
  try {
    upkit::DeltaHead head = upkit::ReadDeltaHead(stream, stream_size);
    if (head.old_size != old_size) return 0;  // the caller checks the old file first
    Sink sink;
    sink.limit = head.new_size;
    upkit::ApplyDelta(stream, stream_size, source, sink);
    if (sink.written != head.new_size) std::abort();
  } catch (const upkit::Error& e) {
    if (e.Message() != upkit::kStreamReadError) std::abort();
  }
  return 0;
}
