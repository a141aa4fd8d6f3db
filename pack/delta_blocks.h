// Delta streams for files of any size, in memory that does not grow with
// them. Pairs below a threshold go to EncodeDelta (pack/delta_encode.h),
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

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
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

// A host file (UTF-8 path), opened for reading; raises Error naming it.
class FileByteSource : public ByteSource {
 public:
  explicit FileByteSource(const std::string& utf8_path);
  ~FileByteSource() override;
  FileByteSource(const FileByteSource&) = delete;
  FileByteSource& operator=(const FileByteSource&) = delete;
  uint64_t Size() const override { return size_; }
  void Read(uint64_t offset, uint8_t* out, size_t length) const override;

 private:
  std::string path_;
  uint64_t size_ = 0;
#ifdef _WIN32
  void* file_ = nullptr;  // std::FILE*, whose seek and read go under the lock
  mutable std::mutex lock_;
#else
  int fd_ = -1;
#endif
};

// The number of threads for `jobs` (0: one per core, at least 1).
unsigned JobCount(unsigned jobs);

// Runs fn(0) .. fn(count - 1) on up to JobCount(jobs) threads, each index
// once; the first exception any call raises is raised again after all stop.
void ParallelFor(size_t count, unsigned jobs, const std::function<void(size_t)>& fn);

// The CRC-32 of `b` bytes following bytes whose CRC-32 is `a`, from the
// CRC-32 of those b bytes alone (`crc_b`): pieces summed in any grouping.
uint32_t Crc32Combine(uint32_t a, uint32_t crc_b, uint64_t b);

// CRC-32 of the whole source, its pieces taken in parallel.
uint32_t SourceCrc(const ByteSource& source, unsigned jobs);

// True when both sources hold the same bytes.
bool SameBytes(const ByteSource& a, const ByteSource& b);

// Bytes done and the rate on stderr ("\r<label> 1.5 of 6.0 GiB, 210 MB/s"),
// redrawn at most four times a second, only on a terminal. Add may be
// called from several threads.
class ByteProgress {
 public:
  ByteProgress(std::string label, uint64_t total);
  ~ByteProgress();
  void Add(uint64_t bytes);
  ByteProgress(const ByteProgress&) = delete;
  ByteProgress& operator=(const ByteProgress&) = delete;

 private:
  std::string label_;
  uint64_t total_;
  std::atomic<uint64_t> done_{0};
  std::mutex lock_;
  int64_t start_ms_, shown_ms_ = -1;
};

// Pairs where either file has this many bytes or more are matched by blocks.
inline constexpr uint64_t kBlockMatchThreshold = uint64_t(64) << 20;

struct BlockDeltaOptions {
  unsigned jobs = 0;  // threads (0: one per core); the stream does not depend on it
  uint64_t threshold = kBlockMatchThreshold;
  // The new file is matched in parts of this many bytes; the stream depends
  // on it (tests make it small to have many parts on small files).
  uint64_t part_size = uint64_t(16) << 20;
  ByteProgress* progress = nullptr;  // gets the old and then the new file's bytes
};

// The delta stream that rebuilds new_file from old_file by block matching,
// whatever their sizes.
std::vector<uint8_t> EncodeBlockDelta(const ByteSource& old_file, const ByteSource& new_file,
                                      const BlockDeltaOptions& options = {});

// EncodeDelta's stream (read whole into memory, today's exact matching)
// below options.threshold, EncodeBlockDelta's at or above it.
std::vector<uint8_t> EncodeFileDelta(const ByteSource& old_file, const ByteSource& new_file,
                                     const BlockDeltaOptions& options = {});

// DeltaRebuilds (pack/delta_encode.h) for files read through sources: true
// when `stream` rebuilds exactly new_file from old_file.
bool DeltaRebuildsSources(std::span<const uint8_t> stream, const ByteSource& old_file, const ByteSource& new_file);

}  // namespace upkit::pack
