// What the delta encoders share about the files they read: random access
// at 64-bit offsets through bounded reads, work spread over threads with the
// result of a loop in order, CRC-32s of pieces combined, and the check that
// a stream rebuilds a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace upkit::pack {

// Files are read in pieces of this many bytes where they are read in order.
inline constexpr size_t kReadPiece = size_t(16) << 20;

// Random access to a file being diffed, at 64-bit offsets. Read may be
// called from several threads at once.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Exactly `length` bytes at `offset`; the caller keeps inside Size().
  // Raises Error on a read failure.
  virtual void Read(uint64_t offset, uint8_t* out, size_t length) const = 0;
};

class SpanByteSource : public ByteSource {
 public:
  explicit SpanByteSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint64_t Size() const override { return bytes_.size(); }
  void Read(uint64_t offset, uint8_t* out, size_t length) const override;

 private:
  std::span<const uint8_t> bytes_;
};

// The number of threads for `jobs` (0: one per core, at least 1).
unsigned JobCount(unsigned jobs);

// Runs fn(0) .. fn(count - 1) on up to JobCount(jobs) threads, each index
// once. When calls raise, the others stop taking indices and the exception
// of the lowest index is raised again: the one a plain loop would raise.
void ParallelFor(size_t count, unsigned jobs, const std::function<void(size_t)>& fn);

// The CRC-32 of `b` bytes following bytes whose CRC-32 is `a`, from the
// CRC-32 of those b bytes alone (`crc_b`): pieces summed in any grouping.
uint32_t Crc32Combine(uint32_t a, uint32_t crc_b, uint64_t b);

// CRC-32 of the whole source, its pieces taken in parallel.
uint32_t SourceCrc(const ByteSource& source, unsigned jobs);

// True when both sources hold the same bytes.
bool SameBytes(const ByteSource& a, const ByteSource& b);

// Told how many more bytes of the work are done; Add may be called from
// several threads at once (pack/host_fs.h shows it on a terminal).
class ByteCounter {
 public:
  virtual ~ByteCounter() = default;
  virtual void Add(uint64_t bytes) = 0;
};

// Appends v as a varint (LEB128) / as `bytes` little-endian bytes.
void PutVarint(std::vector<uint8_t>& out, uint64_t v);
void PutLe(std::vector<uint8_t>& out, uint64_t v, int bytes);

// CRC-32 of a buffer of any length.
uint32_t BufferCrc(const uint8_t* p, size_t n);

// Whether a stream rebuilds a file (delta/delta_encode.h's DeltaRebuilds is this over spans): true
// when `stream` rebuilds exactly new_file from old_file.
bool DeltaRebuildsSources(std::span<const uint8_t> stream, const ByteSource& old_file, const ByteSource& new_file);

}  // namespace upkit::pack
