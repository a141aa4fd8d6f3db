#include "delta/byte_source.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include "codec/crc32.h"
#include "codec/error.h"
#include "delta/delta.h"

namespace upkit::pack {

using Bytes = std::vector<uint8_t>;

void SpanByteSource::Read(uint64_t offset, uint8_t* out, size_t length) const {
  if (offset > bytes_.size() || length > bytes_.size() - offset) throw Error("read past the end of the file");
  std::memcpy(out, bytes_.data() + offset, length);
}

unsigned JobCount(unsigned jobs) {
  if (jobs) return jobs;
  return std::max(1u, std::thread::hardware_concurrency());
}

void ParallelFor(size_t count, unsigned jobs, const std::function<void(size_t)>& fn) {
  const size_t threads = std::min<size_t>(JobCount(jobs), count);
  if (threads <= 1) {
    for (size_t i = 0; i < count; ++i) fn(i);
    return;
  }
  // Indices are handed out in order and every one handed out runs to its
  // end, so the failure of the lowest index is the one a loop in order
  // would have raised first.
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr first;
  size_t first_index = count;
  std::mutex lock;
  auto work = [&] {
    for (size_t i; !failed && (i = next++) < count;) {
      try {
        fn(i);
      } catch (...) {
        std::lock_guard<std::mutex> hold(lock);
        if (i < first_index) first = std::current_exception(), first_index = i;
        failed = true;
      }
    }
  };
  std::vector<std::thread> pool;
  for (size_t t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
  if (first) std::rethrow_exception(first);
}

namespace {

constexpr uint32_t kCrcPoly = 0xEDB88320;  // reflected

// a * b modulo the CRC polynomial, both reflected (bit 31 is x^0).
uint32_t MultModP(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t m = 1u << 31; m; m >>= 1) {
    if (a & m) product ^= b;
    b = b & 1 ? (b >> 1) ^ kCrcPoly : b >> 1;
  }
  return product;
}

}  // namespace

uint32_t Crc32Combine(uint32_t a, uint32_t crc_b, uint64_t b) {
  // Appending b bytes multiplies the first CRC by x^(8b); the pre- and
  // post-conditioning of both CRCs cancel out.
  uint32_t power = 1u << 31;     // x^0
  uint32_t square = 1u << 23;    // x^8: one byte
  for (; b; b >>= 1) {
    if (b & 1) power = MultModP(power, square);
    square = MultModP(square, square);
  }
  return MultModP(power, a) ^ crc_b;
}

void PutVarint(std::vector<uint8_t>& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(uint8_t(v) | 0x80);
    v >>= 7;
  }
  out.push_back(uint8_t(v));
}

void PutLe(std::vector<uint8_t>& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

uint32_t BufferCrc(const uint8_t* p, size_t n) {
  uint32_t crc = 0;
  for (size_t at = 0; at < n;) {
    size_t k = std::min<size_t>(n - at, size_t(1) << 30);
    crc = Crc32Update(crc, p + at, uint32_t(k));
    at += k;
  }
  return crc;
}

uint32_t SourceCrc(const ByteSource& source, unsigned jobs) {
  const uint64_t size = source.Size();
  const size_t pieces = size_t((size + kReadPiece - 1) / kReadPiece);
  std::vector<uint32_t> crcs(pieces);
  ParallelFor(pieces, jobs, [&](size_t i) {
    const uint64_t at = uint64_t(i) * kReadPiece;
    Bytes buffer(size_t(std::min<uint64_t>(kReadPiece, size - at)));
    source.Read(at, buffer.data(), buffer.size());
    crcs[i] = BufferCrc(buffer.data(), buffer.size());
  });
  uint32_t crc = 0;
  for (size_t i = 0; i < pieces; ++i) crc = Crc32Combine(crc, crcs[i], std::min<uint64_t>(kReadPiece, size - uint64_t(i) * kReadPiece));
  return crc;
}

bool SameBytes(const ByteSource& a, const ByteSource& b) {
  if (a.Size() != b.Size()) return false;
  Bytes x(size_t(std::min<uint64_t>(a.Size(), 1u << 20))), y(x.size());
  for (uint64_t at = 0; at < a.Size();) {
    size_t n = size_t(std::min<uint64_t>(x.size(), a.Size() - at));
    a.Read(at, x.data(), n);
    b.Read(at, y.data(), n);
    if (std::memcmp(x.data(), y.data(), n) != 0) return false;
    at += n;
  }
  return true;
}

namespace {

struct SourceOld : DeltaSource {
  const ByteSource& source;
  explicit SourceOld(const ByteSource& s) : source(s) {}
  void ReadOld(uint64_t offset, uint8_t* out, size_t length) override { source.Read(offset, out, length); }
};

// Compares what the decoder writes with the expected file as it comes.
struct CompareSink : DeltaSink {
  const ByteSource& expected;
  uint64_t at = 0;
  bool same = true;
  Bytes buffer;
  explicit CompareSink(const ByteSource& e) : expected(e) {}
  void WriteNew(const uint8_t* bytes, size_t length) override {
    if (!same || length > expected.Size() - at) {
      same = false;
      return;
    }
    buffer.resize(length);
    expected.Read(at, buffer.data(), length);
    same = std::memcmp(buffer.data(), bytes, length) == 0;
    at += length;
  }
};

}  // namespace

bool DeltaRebuildsSources(std::span<const uint8_t> stream, const ByteSource& old_file, const ByteSource& new_file) {
  try {
    DeltaHead head = ReadDeltaHead(stream.data(), stream.size());
    if (head.old_size != old_file.Size() || head.new_size != new_file.Size() || head.old_crc != SourceCrc(old_file, 0))
      return false;
    SourceOld source(old_file);
    CompareSink sink(new_file);
    uint32_t crc = ApplyDelta(stream.data(), stream.size(), source, sink);
    return sink.same && sink.at == new_file.Size() && crc == head.new_crc;
  } catch (const Error&) {
    return false;
  }
}

}  // namespace upkit::pack
