#include "update/delta.h"

#include <algorithm>
#include <vector>

#include "codec/crc32.h"
#include "codec/error.h"
#include "update/delta_format.h"

namespace upkit {
namespace {

// Reads and writes of either file go in pieces of at most this many bytes.
constexpr size_t kChunk = 64 * 1024;

[[noreturn]] void Malformed() { throw Error(kStreamReadError); }

uint64_t Le(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

// One section of the stream: a cursor that never passes its end.
struct Section {
  const uint8_t* p = nullptr;
  const uint8_t* end = nullptr;

  bool Done() const { return p == end; }

  uint64_t Varint() {
    uint64_t v = 0;
    for (int shift = 0;; shift += 7) {
      if (p == end) Malformed();
      uint8_t b = *p++;
      if (shift == 63 && b > 1) Malformed();  // SAFETY_CHECK: more than 64 bits
      v |= uint64_t(b & 0x7F) << shift;
      if (!(b & 0x80)) return v;
    }
  }

  const uint8_t* Take(uint64_t n) {
    if (n > uint64_t(end - p)) Malformed();  // SAFETY_CHECK: section too short
    const uint8_t* r = p;
    p += n;
    return r;
  }
};

struct Layout {
  DeltaHead head;
  uint8_t flags = 0;
  Section control, runs, diff, extra;
};

Layout ReadLayout(const uint8_t* data, size_t size) {
  using namespace delta;
  if (!data || size < kFixedHeadSize) Malformed();
  if (!std::equal(kMagic, kMagic + 4, data) || data[4] != kVersion || (data[5] & ~kKnownFlags)) Malformed();
  Layout l;
  l.flags = data[5];
  l.head.old_size = Le(data + 6, 8);
  l.head.old_crc = uint32_t(Le(data + 14, 4));
  l.head.new_size = Le(data + 18, 8);
  l.head.new_crc = uint32_t(Le(data + 26, 4));
  // Four section lengths, then the sections, which must fill the rest exactly.
  Section rest{data + kFixedHeadSize, data + size};
  uint64_t lengths[4];
  for (uint64_t& n : lengths) n = rest.Varint();
  Section* sections[4] = {&l.control, &l.runs, &l.diff, &l.extra};
  for (int i = 0; i < 4; ++i) {
    const uint8_t* start = rest.Take(lengths[i]);
    *sections[i] = Section{start, rest.p};
  }
  if (!rest.Done()) Malformed();
  return l;
}

// The byte differences of all copies in order, coded as runs: (zeros, count)
// pairs, each followed by `count` difference bytes from the diff section.
class DiffRuns {
 public:
  DiffRuns(Section& runs, Section& diff) : runs_(runs), diff_(diff) {}

  void AddTo(uint8_t* bytes, size_t n) {
    size_t i = 0;
    while (i < n) {
      if (zeros_ == 0 && literals_ == 0) {
        zeros_ = runs_.Varint();
        literals_ = runs_.Varint();
        if (zeros_ == 0 && literals_ == 0) Malformed();
      }
      if (zeros_) {
        uint64_t k = std::min<uint64_t>(zeros_, n - i);
        zeros_ -= k;
        i += size_t(k);
        continue;
      }
      size_t k = size_t(std::min<uint64_t>(literals_, n - i));
      const uint8_t* d = diff_.Take(k);
      for (size_t j = 0; j < k; ++j) bytes[i + j] = uint8_t(bytes[i + j] + d[j]);
      literals_ -= k;
      i += k;
    }
  }

  bool Done() const { return zeros_ == 0 && literals_ == 0 && runs_.Done() && diff_.Done(); }

 private:
  Section& runs_;
  Section& diff_;
  uint64_t zeros_ = 0;
  uint64_t literals_ = 0;
};

}  // namespace

DeltaHead ReadDeltaHead(const uint8_t* data, size_t size) { return ReadLayout(data, size).head; }

uint32_t ApplyDelta(const uint8_t* data, size_t size, DeltaSource& old_file, DeltaSink& new_file) {
  Layout l = ReadLayout(data, size);
  const uint64_t old_size = l.head.old_size, new_size = l.head.new_size;
  DiffRuns diffs(l.runs, l.diff);
  std::vector<uint8_t> buffer(size_t(std::min<uint64_t>(kChunk, new_size)));
  uint32_t crc = 0;
  auto emit = [&](const uint8_t* bytes, size_t n) {
    new_file.WriteNew(bytes, n);
    crc = Crc32Update(crc, bytes, uint32_t(n));
  };

  uint64_t pos = 0, written = 0;  // in the old file; of the new file
  while (written < new_size) {
    uint64_t copy = l.control.Varint();
    uint64_t extra = l.control.Varint();
    uint64_t seek = l.control.Varint();  // zigzag: even forward, odd backward
    // SAFETY_CHECK: the copy stays inside both files.
    if (copy > new_size - written || copy > old_size - pos) Malformed();
    while (copy) {
      size_t n = size_t(std::min<uint64_t>(copy, kChunk));
      old_file.ReadOld(pos, buffer.data(), n);
      diffs.AddTo(buffer.data(), n);
      emit(buffer.data(), n);
      pos += n;
      written += n;
      copy -= n;
    }
    // SAFETY_CHECK: new bytes stay inside the new file and the extra section.
    if (extra > new_size - written) Malformed();
    const uint8_t* bytes = l.extra.Take(extra);
    while (extra) {
      size_t n = size_t(std::min<uint64_t>(extra, kChunk));
      emit(bytes, n);
      bytes += n;
      written += n;
      extra -= n;
    }
    // SAFETY_CHECK: the next copy starts inside [0, old_size].
    if (seek & 1) {
      uint64_t back = (seek >> 1) + 1;
      if (back > pos) Malformed();
      pos -= back;
    } else {
      if ((seek >> 1) > old_size - pos) Malformed();
      pos += seek >> 1;
    }
  }
  // SAFETY_CHECK: every section used up exactly.
  if (!l.control.Done() || !l.extra.Done() || !diffs.Done()) Malformed();
  return crc;
}

}  // namespace upkit
