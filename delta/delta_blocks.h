// Delta streams for files of any size, in memory that does not grow with
// them. Pairs below a threshold go to EncodeDelta (delta/delta_encode.h),
// whose suffix array of the whole old file finds the best matches but takes
// about 16 bytes of memory per old byte. Larger pairs are matched by blocks:
// a hash table of the old file's aligned blocks (at most 2^23 of them, so
// the table stays near 130 MiB whatever the size), searched at every byte
// of the new file with a rolling hash; each hit is checked byte for byte
// and widened both ways as far as the files agree. Both files are read
// through bounded reads, never held whole; the new file is matched in
// parts of fixed size on several threads, so the stream is the same
// whatever the thread count. The stream is the ordinary delta stream
// (version 2, no reference prediction), which the decoder reads as any other.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace upkit::pack {

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

// Pairs where either file has this many bytes or more are matched by blocks.
inline constexpr uint64_t kBlockMatchThreshold = uint64_t(64) << 20;

struct BlockDeltaOptions {
  unsigned jobs = 0;  // threads (0: one per core); the stream does not depend on it
  uint64_t threshold = kBlockMatchThreshold;
  // The new file is matched in parts of this many bytes; the stream depends
  // on it (tests make it small to have many parts on small files).
  uint64_t part_size = uint64_t(16) << 20;
  ByteCounter* progress = nullptr;   // gets the old and then the new file's bytes
};

// The delta stream that rebuilds new_file from old_file by block matching,
// whatever their sizes.
std::vector<uint8_t> EncodeBlockDelta(const ByteSource& old_file, const ByteSource& new_file,
                                      const BlockDeltaOptions& options = {});

// EncodeDelta's stream (read whole into memory, today's exact matching)
// below options.threshold, EncodeBlockDelta's at or above it.
std::vector<uint8_t> EncodeFileDelta(const ByteSource& old_file, const ByteSource& new_file,
                                     const BlockDeltaOptions& options = {});

// DeltaRebuilds (delta/delta_encode.h) for files read through sources: true
// when `stream` rebuilds exactly new_file from old_file.
bool DeltaRebuildsSources(std::span<const uint8_t> stream, const ByteSource& old_file, const ByteSource& new_file);

}  // namespace upkit::pack
