#include "update/delta.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "codec/crc32.h"
#include "codec/error.h"
#include "update/delta_format.h"
#include "update/delta_predict.h"

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
  Section control, zeros, counts, diff, extra, maps;
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
  // Six section lengths, then the sections, which must fill the rest exactly.
  Section rest{data + kFixedHeadSize, data + size};
  uint64_t lengths[6];
  for (uint64_t& n : lengths) n = rest.Varint();
  Section* sections[6] = {&l.control, &l.zeros, &l.counts, &l.diff, &l.extra, &l.maps};
  for (int i = 0; i < 6; ++i) {
    const uint8_t* start = rest.Take(lengths[i]);
    *sections[i] = Section{start, rest.p};
  }
  if (!rest.Done()) Malformed();
  if (!(l.flags & kFlagReferences) && !l.maps.Done()) Malformed();  // maps only with the flag
  return l;
}

// The byte differences of all copies in order, coded as runs: a run of
// `zeros` zero differences (a varint of the zeros section), then `count`
// difference bytes from the diff section (a varint of the counts section).
class DiffRuns {
 public:
  DiffRuns(Section& zeros, Section& counts, Section& diff) : zero_runs_(zeros), counts_(counts), diff_(diff) {}

  void AddTo(uint8_t* bytes, size_t n) {
    size_t i = 0;
    while (i < n) {
      if (zeros_ == 0 && literals_ == 0) {
        zeros_ = zero_runs_.Varint();
        literals_ = counts_.Varint();
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

  bool Done() const {
    return zeros_ == 0 && literals_ == 0 && zero_runs_.Done() && counts_.Done() && diff_.Done();
  }

 private:
  Section& zero_runs_;
  Section& counts_;
  Section& diff_;
  uint64_t zeros_ = 0;
  uint64_t literals_ = 0;
};

// The old file as the copies see it: as stored, or with its references
// rewritten for the copy (each read then takes a few bytes around it).
class OldReader {
 public:
  OldReader(DeltaSource& source, uint64_t size, const delta::ReferenceMaps* maps)
      : source_(source), size_(size), maps_(maps) {}

  void Read(uint64_t offset, uint8_t* out, size_t length, int64_t copy_delta) {
    if (!maps_) {
      source_.ReadOld(offset, out, length);
      return;
    }
    uint64_t start = offset - std::min<uint64_t>(offset, delta::kPredictMarginBefore);
    uint64_t end = offset + length + std::min<uint64_t>(delta::kPredictMarginAfter, size_ - offset - length);
    window_.resize(size_t(end - start));
    source_.ReadOld(start, window_.data(), window_.size());
    size_t from = size_t(offset - start);
    delta::PredictCopy(window_.data(), window_.size(), start, from, from + length, copy_delta, *maps_, out);
  }

 private:
  DeltaSource& source_;
  uint64_t size_;
  const delta::ReferenceMaps* maps_;
  std::vector<uint8_t> window_;
};

// The new file as written, and the CRC of every byte given to the sink.
class NewWriter {
 public:
  explicit NewWriter(DeltaSink& sink) : sink_(sink) {}

  void Write(const uint8_t* bytes, size_t n) {
    sink_.WriteNew(bytes, n);
    crc_ = Crc32Update(crc_, bytes, uint32_t(n));
  }

  uint32_t Crc() const { return crc_; }

 private:
  DeltaSink& sink_;
  uint32_t crc_ = 0;
};

}  // namespace

DeltaHead ReadDeltaHead(const uint8_t* data, size_t size) { return ReadLayout(data, size).head; }

uint32_t ApplyDelta(const uint8_t* data, size_t size, DeltaSource& old_file, DeltaSink& new_file) {
  Layout l = ReadLayout(data, size);
  const uint64_t old_size = l.head.old_size, new_size = l.head.new_size;
  const bool predict = l.flags & delta::kFlagReferences;
  delta::ReferenceMaps maps;
  if (predict) maps = delta::ReadMaps(l.maps.p, size_t(l.maps.end - l.maps.p));
  DiffRuns diffs(l.zeros, l.counts, l.diff);
  OldReader reader(old_file, old_size, predict ? &maps : nullptr);
  NewWriter writer(new_file);
  // Predicting reads take margins around each piece: smaller pieces keep
  // every read within kChunk.
  const size_t chunk = predict ? kChunk - 16 : kChunk;
  std::vector<uint8_t> buffer(size_t(std::min<uint64_t>(chunk, new_size)));

  uint64_t pos = 0, written = 0;  // in the old file; of the new file
  while (written < new_size) {
    uint64_t copy = l.control.Varint();
    uint64_t extra = l.control.Varint();
    uint64_t seek = l.control.Varint();  // zigzag: even forward, odd backward
    // SAFETY_CHECK: the copy stays inside both files.
    if (copy > new_size - written || copy > old_size - pos) Malformed();
    while (copy) {
      size_t n = size_t(std::min<uint64_t>(copy, chunk));
      reader.Read(pos, buffer.data(), n, int64_t(written - pos));
      diffs.AddTo(buffer.data(), n);
      writer.Write(buffer.data(), n);
      pos += n;
      written += n;
      copy -= n;
    }
    // SAFETY_CHECK: new bytes stay inside the new file and the extra section.
    if (extra > new_size - written) Malformed();
    const uint8_t* bytes = l.extra.Take(extra);
    while (extra) {
      size_t n = size_t(std::min<uint64_t>(extra, chunk));
      writer.Write(bytes, n);
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
  return writer.Crc();
}

}  // namespace upkit
