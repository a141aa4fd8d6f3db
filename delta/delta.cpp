#include "delta/delta.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "codec/crc32.h"
#include "codec/error.h"
#include "codec/lzma.h"
#include "delta/delta_format.h"
#include "delta/delta_pe.h"
#include "delta/delta_predict.h"
#include "delta/delta_relocs.h"
#include "delta/delta_targets.h"

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

// Where a section lies in the stream: `coded` bytes at `at`, which hold its
// `size` bytes as they are or LZMA-coded (version 2).
struct Extent {
  const uint8_t* at = nullptr;
  size_t coded = 0;
  uint64_t size = 0;
  bool lzma = false;
};

// One section of the stream: a cursor that never passes its end. A coded
// section is decoded as it is read, through a buffer of kChunk bytes.
class Section {
 public:
  Section() = default;
  // `preset`: the bytes a primed coder starts with (none: not primed).
  explicit Section(const Extent& e, const std::vector<uint8_t>& preset = {})
      : p_(e.at), end_(e.at + (e.lzma ? 0 : e.coded)) {
    if (e.lzma) {
      decoder_ = std::make_unique<lzma::Decoder>(e.at, e.coded, e.size, preset.data(), preset.size());
      left_ = e.size;
      buffer_.resize(size_t(std::min<uint64_t>(kChunk, e.size)));
      p_ = end_ = buffer_.data();
    }
  }

  bool Done() const { return p_ == end_ && left_ == 0 && (!decoder_ || decoder_->Done()); }

  uint64_t Varint() {
    uint64_t v = 0;
    for (int shift = 0;; shift += 7) {
      uint8_t b = *Take(1);
      if (shift == 63 && b > 1) Malformed();  // SAFETY_CHECK: more than 64 bits
      v |= uint64_t(b & 0x7F) << shift;
      if (!(b & 0x80)) return v;
    }
  }

  // The next n bytes, n at most kChunk.
  const uint8_t* Take(uint64_t n) {
    if (n > uint64_t(end_ - p_)) Refill(n);
    const uint8_t* r = p_;
    p_ += n;
    return r;
  }

 private:
  // Moves what is left of the buffer to its start and decodes behind it.
  void Refill(uint64_t n) {
    size_t have = size_t(end_ - p_);
    // SAFETY_CHECK: section too short (a stored one never refills).
    if (!decoder_ || n - have > left_) Malformed();
    std::memmove(buffer_.data(), p_, have);
    size_t more = size_t(std::min<uint64_t>(buffer_.size() - have, left_));
    decoder_->Read(buffer_.data() + have, more);
    left_ -= more;
    p_ = buffer_.data();
    end_ = p_ + have + more;
  }

  const uint8_t* p_ = nullptr;
  const uint8_t* end_ = nullptr;
  std::unique_ptr<lzma::Decoder> decoder_;
  uint64_t left_ = 0;  // bytes still to decode into the buffer
  std::vector<uint8_t> buffer_;
};

// A cursor over the head's bytes.
struct HeadCursor {
  const uint8_t* p;
  const uint8_t* end;
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
};

// control, zero runs, counts, diff, extra, maps; with flag bit 4 the relocs too
constexpr int kSections = 6;
constexpr int kMostSections = 7;

struct Layout {
  DeltaHead head;
  uint8_t flags = 0;
  uint8_t primed = 0;  // bit i: section i's coder starts primed
  int count = kSections;
  Extent sections[kMostSections];
};

// Reads the stream that starts at data and ends at or before `end`; *next
// is where it ends.
Layout ReadOne(const uint8_t* data, const uint8_t* end, const uint8_t** next) {
  using namespace delta;
  const size_t size = size_t(end - data);
  if (size < kFixedHeadSize) Malformed();
  const uint8_t version = data[4];
  if (!std::equal(kMagic, kMagic + 4, data) || (version != kVersionPlain && version != kVersionLzma) ||
      (data[5] & ~kKnownFlags))
    Malformed();
  Layout l;
  l.flags = data[5];
  l.head.old_size = Le(data + 6, 8);
  l.head.old_crc = uint32_t(Le(data + 14, 4));
  l.head.new_size = Le(data + 18, 8);
  l.head.new_crc = uint32_t(Le(data + 26, 4));
  HeadCursor rest{data + kFixedHeadSize, end};
  if (l.flags & kFlagPrimed) {
    // SAFETY_CHECK: a primed stream names which of its coders are primed.
    if (version != kVersionLzma || rest.p == rest.end) Malformed();
    l.primed = *rest.p++;
    if (l.primed & ~kPrimableSections) Malformed();
  }
  // Six section lengths (seven with flag bit 4; version 2: then as many
  // coded lengths), then the sections.
  if (l.flags & kFlagRelocTable) l.count = kMostSections;
  std::span<Extent> sections(l.sections, size_t(l.count));
  for (Extent& e : sections) e.size = rest.Varint();
  for (Extent& e : sections) {
    uint64_t coded = version == kVersionPlain ? 0 : rest.Varint();
    e.lzma = coded != 0;
    if (e.lzma && e.size == 0) Malformed();  // SAFETY_CHECK: nothing to code
    if (!e.lzma) coded = e.size;
    e.coded = size_t(coded);
    if (coded > uint64_t(rest.end - rest.p)) Malformed();  // SAFETY_CHECK: past the stream
  }
  for (int i = 0; i < l.count; ++i) {
    Extent& e = l.sections[i];
    if (e.coded > size_t(rest.end - rest.p)) Malformed();
    if ((l.primed >> i & 1) && !e.lzma) Malformed();  // only a coder can be primed
    e.at = rest.p;
    rest.p += e.coded;
  }
  *next = rest.p;
  if (!(l.flags & kFlagReferences) && l.sections[5].size) Malformed();  // maps only with the flag
  // SAFETY_CHECK: coded maps are decoded into memory whole: bound them.
  if (l.sections[5].lzma && l.sections[5].size > kMaxCodedMaps) Malformed();
  // PE tables only in version 2 and with the maps.
  if ((l.flags & kFlagPeTables) && (version == kVersionPlain || !(l.flags & kFlagReferences))) Malformed();
  // Further kinds of references only with the tables.
  if ((l.flags & (kFlagJumpIf | kFlagRipRelative | kFlagRelocTable)) && !(l.flags & kFlagPeTables)) Malformed();
  // New bytes naming targets only in version 2 and with the maps.
  if ((l.flags & kFlagNewBytesTargets) && (version == kVersionPlain || !(l.flags & kFlagReferences))) Malformed();
  // SAFETY_CHECK: the relocs section is read whole too.
  if (l.sections[6].size > kMaxRelocPlan) Malformed();
  return l;
}

// The streams of a payload, back to back: one ordinary stream, then each
// further one primed by the one before it; the last is the one applied.
// The streams must fill the payload exactly.
std::vector<Layout> ReadChain(const uint8_t* data, size_t size) {
  if (!data) Malformed();
  std::vector<Layout> chain;
  const uint8_t* at = data;
  const uint8_t* const end = data + size;
  do {
    // SAFETY_CHECK: only streams after the first are primed, and a payload
    // holds at most kMaxChain.
    if (chain.size() == delta::kMaxChain) Malformed();
    chain.push_back(ReadOne(at, end, &at));
    if (bool(chain.back().flags & delta::kFlagPrimed) != (chain.size() > 1)) Malformed();
  } while (at != end);
  return chain;
}

// The bytes section `i` of chain[k] holds, as decoded, keeping the last
// lzma::kMaxDictionary of them (all a primed coder can use); earlier streams
// of the chain prime it where it says so. Memory: this many bytes and one
// decoder at a time.
std::vector<uint8_t> SectionTail(const std::vector<Layout>& chain, size_t k, int i) {
  size_t first = k;  // the last stream from which on each one is primed by the one before
  while (first > 0 && (chain[first].primed >> i & 1)) --first;
  std::vector<uint8_t> tail;
  for (size_t j = first; j <= k; ++j) {
    const Extent& e = chain[j].sections[i];
    const size_t keep = size_t(std::min<uint64_t>(e.size, lzma::kMaxDictionary));
    if (!e.lzma) {
      tail.assign(e.at + (e.coded - keep), e.at + e.coded);
      continue;
    }
    // The decoder copies its preset: that goes before the next tail comes.
    lzma::Decoder decoder(e.at, e.coded, e.size, tail.data(), tail.size());
    tail = std::vector<uint8_t>(keep);
    // Decoded into a ring of `keep` bytes, then turned to start at its oldest.
    size_t pos = 0;
    for (uint64_t left = e.size; left;) {
      const size_t n = size_t(std::min<uint64_t>(left, keep - pos));
      decoder.Read(tail.data() + pos, n);
      left -= n;
      pos = (pos + n) % keep;
    }
    if (!decoder.Done()) Malformed();
    std::rotate(tail.begin(), tail.begin() + pos, tail.end());
  }
  return tail;
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
    if (table_ && at_ + n > table_start_ && at_ < table_end_) return WriteOverTable(bytes, n);
    sink_.WriteNew(bytes, n);
    crc_ = Crc32Update(crc_, bytes, uint32_t(n));
    at_ += n;
  }

  // From here on, the bytes written over [start, end) add to `table`'s.
  void AddTable(delta::RelocTableBytes* table, uint64_t start, uint64_t end) {
    table_ = table, table_start_ = start, table_end_ = end;
  }

  uint32_t Crc() const { return crc_; }

 private:
  // The part of the piece over the table gets the table's bytes added, in
  // order: pieces come in order, so the table's next byte is always the one due.
  void WriteOverTable(const uint8_t* bytes, size_t n) {
    scratch_.resize(n);
    std::memcpy(scratch_.data(), bytes, n);
    const uint64_t from = std::max(at_, table_start_), to = std::min(at_ + n, table_end_);
    table_->AddTo(scratch_.data() + (from - at_), size_t(to - from));
    sink_.WriteNew(scratch_.data(), n);
    crc_ = Crc32Update(crc_, scratch_.data(), uint32_t(n));
    at_ += n;
  }

  DeltaSink& sink_;
  uint32_t crc_ = 0;
  uint64_t at_ = 0;  // bytes written
  delta::RelocTableBytes* table_ = nullptr;
  uint64_t table_start_ = 0, table_end_ = 0;
  std::vector<uint8_t> scratch_;
};

// The maps or relocs section, read whole: a coded one is decoded into memory first.
const uint8_t* WholeSection(const Extent& e, std::vector<uint8_t>& decoded) {
  if (!e.lzma) return e.at;
  decoded.resize(size_t(e.size));
  lzma::Decoder decoder(e.at, e.coded, e.size);
  decoder.Read(decoded.data(), decoded.size());
  if (!decoder.Done()) Malformed();
  return decoded.data();
}

// The new file's relocation table rebuilt (flag bit 4) from the old file's
// listed addresses through the offset map and the stream's corrections.
void RebuildTable(const Extent& e, const delta::PeTables& tables, const delta::ShiftMap& offsets, uint64_t new_size,
                  delta::RelocTableBytes& table, NewWriter& writer) {
  std::vector<uint8_t> decoded;
  const uint8_t* bytes = WholeSection(e, decoded);
  const delta::RelocPlan plan = delta::ReadRelocPlan(bytes, size_t(e.size));
  // SAFETY_CHECK: the table lies inside the new file.
  if (plan.start > new_size || plan.length > new_size - plan.start) Malformed();
  table.Reset(delta::PlannedRelocs(delta::MappedRelocs(tables, offsets, plan), plan), tables.width);
  writer.AddTable(&table, plan.start, plan.start + plan.length);
}

}  // namespace

DeltaHead ReadDeltaHead(const uint8_t* data, size_t size) { return ReadChain(data, size).back().head; }

uint32_t ApplyDelta(const uint8_t* data, size_t size, DeltaSource& old_file, DeltaSink& new_file) {
  const std::vector<Layout> chain = ReadChain(data, size);
  const Layout& l = chain.back();
  const uint64_t old_size = l.head.old_size, new_size = l.head.new_size;
  const bool predict = l.flags & delta::kFlagReferences;
  delta::ReferenceMaps maps;
  if (predict) {
    std::vector<uint8_t> decoded;
    const uint8_t* bytes = WholeSection(l.sections[5], decoded);
    maps = delta::ReadMaps(bytes, size_t(l.sections[5].size));
  }
  delta::PeTables tables;
  if (l.flags & delta::kFlagPeTables) {
    if (!delta::ReadPeTables(old_file, old_size, &tables)) Malformed();
    maps.tables = &tables;
    maps.kinds = (l.flags & delta::kFlagJumpIf ? delta::kJumpIfRel32 : 0) |
                 (l.flags & delta::kFlagRipRelative ? delta::kRipRelative : 0);
  }
  // A primed coder starts with the stream before's section decoded; each
  // is made (and its preset dropped) before the next.
  auto preset = [&](int i) { return l.primed >> i & 1 ? SectionTail(chain, chain.size() - 2, i) : std::vector<uint8_t>(); };
  Section control(l.sections[0], preset(0)), zeros(l.sections[1], preset(1)), counts(l.sections[2], preset(2)),
      diff(l.sections[3], preset(3)), extra_bytes(l.sections[4], preset(4));
  DiffRuns diffs(zeros, counts, diff);
  OldReader reader(old_file, old_size, predict ? &maps : nullptr);
  NewWriter writer(new_file);
  delta::RelocTableBytes table;
  if (l.flags & delta::kFlagRelocTable) RebuildTable(l.sections[6], tables, maps.offsets, new_size, table, writer);
  // Predicting reads take margins around each piece: smaller pieces keep
  // every read within kChunk.
  const size_t chunk = predict ? kChunk - 16 : kChunk;
  std::vector<uint8_t> buffer(size_t(std::min<uint64_t>(chunk, new_size)));
  static_assert(delta::kTargetPiece <= kChunk - 16);
  const bool targets = l.flags & delta::kFlagNewBytesTargets;
  const bool rip_targets = l.flags & delta::kFlagRipRelative;

  uint64_t pos = 0, written = 0;  // in the old file; of the new file
  while (written < new_size) {
    uint64_t copy = control.Varint();
    uint64_t extra = control.Varint();
    uint64_t seek = control.Varint();  // zigzag: even forward, odd backward
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
    while (extra) {
      // New bytes naming targets are turned back a piece at a time (from
      // the run's start), in the copy buffer: it holds a piece.
      size_t n = size_t(std::min<uint64_t>(extra, targets ? delta::kTargetPiece : chunk));
      const uint8_t* bytes = extra_bytes.Take(n);
      if (targets) {
        std::memcpy(buffer.data(), bytes, n);
        delta::ConvertTargets(buffer.data(), n, written, rip_targets, false);
        bytes = buffer.data();
      }
      writer.Write(bytes, n);
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
  if (!control.Done() || !extra_bytes.Done() || !diffs.Done()) Malformed();
  return writer.Crc();
}

}  // namespace upkit
