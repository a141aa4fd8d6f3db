#include "delta/delta_blocks.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "codec/crc32.h"
#include "codec/error.h"
#include "codec/lzma.h"
#include "delta/delta_encode.h"
#include "delta/delta.h"
#include "delta/delta_format.h"

namespace upkit::pack {

using Bytes = std::vector<uint8_t>;

namespace {

// The rolling hash of a block: the sum of a random value per byte times
// powers of an odd multiplier (mod 2^64), so one byte out and one in is two
// multiplications.
struct RollingHash {
  uint64_t value[256];
  uint64_t out_weight = 1;  // kMultiplier^(block - 1)
  static constexpr uint64_t kMultiplier = 0x100000001B3ull;

  explicit RollingHash(uint32_t block) {
    uint64_t s = 0x243F6A8885A308D3ull;  // splitmix64
    for (uint64_t& v : value) {
      uint64_t z = (s += 0x9E3779B97F4A7C15ull);
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      v = z ^ (z >> 31);
    }
    for (uint32_t i = 1; i < block; ++i) out_weight *= kMultiplier;
  }
  uint64_t Of(const uint8_t* p, uint32_t n) const {
    uint64_t h = 0;
    for (uint32_t i = 0; i < n; ++i) h = h * kMultiplier + value[p[i]];
    return h;
  }
  uint64_t Roll(uint64_t h, uint8_t out, uint8_t in) const {
    return (h - value[out] * out_weight) * kMultiplier + value[in];
  }
};

// The old file's aligned blocks by hash: open addressing, one entry per
// distinct hash (the first block that has it), tagged with the hash's low
// 32 bits; a bit array in front answers most misses from cache.
class BlockIndex {
 public:
  BlockIndex(uint64_t blocks) {
    bits_ = 10;
    while ((uint64_t(1) << bits_) < 2 * blocks) ++bits_;
    slots_.assign(size_t(1) << bits_, 0);
    filter_.assign(size_t(1) << (bits_ + 2 - 6), 0);  // 4 bits per slot
  }

  void Insert(uint64_t hash, uint32_t block) {
    for (size_t at = Slot(hash);; at = (at + 1) & (slots_.size() - 1)) {
      if (slots_[at] == 0) {
        slots_[at] = uint64_t(uint32_t(hash)) << 32 | (uint64_t(block) + 1);
        const uint64_t f = Filter(hash);
        filter_[f >> 6] |= uint64_t(1) << (f & 63);
        return;
      }
      if (uint32_t(slots_[at] >> 32) == uint32_t(hash)) return;  // the first block keeps it
    }
  }

  // The block whose hash has the same tag, if any.
  bool Find(uint64_t hash, uint64_t* block) const {
    const uint64_t f = Filter(hash);
    if (!(filter_[f >> 6] >> (f & 63) & 1)) return false;
    for (size_t at = Slot(hash); slots_[at] != 0; at = (at + 1) & (slots_.size() - 1))
      if (uint32_t(slots_[at] >> 32) == uint32_t(hash)) {
        *block = uint32_t(slots_[at]) - 1;
        return true;
      }
    return false;
  }

 private:
  size_t Slot(uint64_t hash) const { return size_t((hash * 0x9E3779B97F4A7C15ull) >> (64 - bits_)); }
  uint64_t Filter(uint64_t hash) const { return (hash * 0xC2B2AE3D27D4EB4Full) >> (64 - (bits_ + 2)); }

  int bits_;
  std::vector<uint64_t> slots_;
  std::vector<uint64_t> filter_;
};

// A stretch of the new file equal to one of the old file.
struct Cover {
  uint64_t new_at, old_at, length;
};

// At most this many blocks: the index then takes about 130 MiB.
constexpr uint64_t kMaxBlocks = uint64_t(1) << 23;
constexpr uint32_t kMinBlock = 32;

uint32_t BlockSizeFor(uint64_t old_size) {
  uint32_t block = kMinBlock;
  while (old_size / block > kMaxBlocks) block <<= 1;
  return block;
}

// Finds the covers of one part of the new file (its bytes in `part`, from
// new offset `base`), in order and without overlap.
class PartMatcher {
 public:
  PartMatcher(const ByteSource& old_file, const BlockIndex& index, const RollingHash& hash, uint32_t block)
      : old_(old_file), index_(index), hash_(hash), block_(block), probe_(block), piece_(64 * 1024) {}

  std::vector<Cover> Match(const uint8_t* part, size_t size, uint64_t base) {
    std::vector<Cover> covers;
    const uint64_t old_size = old_.Size();
    const uint32_t b = block_;
    if (size < b || old_size < b) return covers;
    size_t p = 0, covered = 0;
    bool have_shift = false, fresh = true;
    int64_t shift = 0;  // old offset minus new offset of the last cover
    uint64_t h = 0;
    while (p + b <= size) {
      if (fresh) h = hash_.Of(part + p, b), fresh = false;
      uint64_t block, old_at = 0;
      bool found = false;
      if (index_.Find(h, &block)) {
        // The last cover's shift first: copies that keep it cost no seek.
        const int64_t same = int64_t(base + p) + shift;
        if (have_shift && same >= 0 && uint64_t(same) <= old_size - b && Equal(uint64_t(same), part + p))
          old_at = uint64_t(same), found = true;
        else if (Equal(block * b, part + p))
          old_at = block * b, found = true;
      }
      if (!found) {
        if (p + b < size) h = hash_.Roll(h, part[p], part[p + b]);
        ++p;
        continue;
      }
      const size_t back = size_t(Backward(old_at, part, p, std::min<uint64_t>(p - covered, old_at)));
      const size_t forward =
          size_t(Forward(old_at + b, part + p + b, std::min<uint64_t>(size - p - b, old_size - old_at - b)));
      covers.push_back({base + p - back, old_at - back, uint64_t(back) + b + forward});
      shift = int64_t(old_at) - int64_t(base + p);
      have_shift = true;
      covered = p = p + b + forward;
      fresh = true;
    }
    return covers;
  }

 private:
  bool Equal(uint64_t old_at, const uint8_t* bytes) {
    old_.Read(old_at, probe_.data(), block_);
    return std::memcmp(probe_.data(), bytes, block_) == 0;
  }

  // How many bytes before old_at and part[p] agree, at most `limit`.
  uint64_t Backward(uint64_t old_at, const uint8_t* part, size_t p, uint64_t limit) {
    uint64_t n = 0;
    while (n < limit) {
      const size_t k = size_t(std::min<uint64_t>(limit - n, 4096));
      old_.Read(old_at - n - k, piece_.data(), k);
      for (size_t i = 0; i < k; ++i)
        if (piece_[k - 1 - i] != part[p - n - 1 - i]) return n + i;
      n += k;
    }
    return n;
  }

  // How many bytes from old_at and `bytes` agree, at most `limit`.
  uint64_t Forward(uint64_t old_at, const uint8_t* bytes, uint64_t limit) {
    uint64_t n = 0;
    while (n < limit) {
      const size_t k = size_t(std::min<uint64_t>(limit - n, piece_.size()));
      old_.Read(old_at + n, piece_.data(), k);
      if (std::memcmp(piece_.data(), bytes + n, k) != 0) {
        size_t i = 0;
        while (piece_[i] == bytes[n + i]) ++i;
        return n + i;
      }
      n += k;
    }
    return n;
  }

  const ByteSource& old_;
  const BlockIndex& index_;
  const RollingHash& hash_;
  uint32_t block_;
  Bytes probe_, piece_;
};

// The byte differences of all copies, coded as runs of zeros and of the
// bytes between them, exactly as EncodeDelta codes them.
struct RunCoder {
  Bytes zero_runs, counts, literals;
  uint64_t zeros = 0, pending = 0;

  void Flush() {
    PutVarint(zero_runs, zeros);
    PutVarint(counts, pending);
    zeros = pending = 0;
  }
  void Zeros(uint64_t n) {
    if (n && pending) Flush();
    zeros += n;
  }
  void Add(const uint8_t* d, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (d[i] == 0) {
        if (pending) Flush();
        ++zeros;
      } else {
        ++pending;
        literals.push_back(d[i]);
      }
    }
  }
  void Finish() {
    if (zeros || pending) Flush();
  }
};

// Sections of a big stream are LZMA-coded with the literal model that codes
// their first MiB best, and stored when that MiB does not shrink by 1 %.
constexpr size_t kSample = size_t(1) << 20;

Bytes CodeSection(const Bytes& section) {
  if (section.size() < 16) return {};
  const std::span<const uint8_t> sample(section.data(), std::min(section.size(), kSample));
  Bytes best;
  lzma::EncodeOptions chosen{};
  for (lzma::EncodeOptions o : {lzma::EncodeOptions{3, 0, 0}, lzma::EncodeOptions{1, 0, 0}, lzma::EncodeOptions{0, 0, 0}}) {
    Bytes coded = lzma::Encode(sample, o);
    if (best.empty() || coded.size() < best.size()) best = std::move(coded), chosen = o;
  }
  if (sample.size() < section.size()) {
    if (best.size() >= sample.size() - sample.size() / 100) return {};
    best = lzma::Encode(section, chosen);
  }
  if (best.size() >= section.size()) return {};
  return best;
}

// Two covers whose gap has the old file's bytes at the same shift are one
// copy with differences when at least half the gap's bytes agree (or the gap
// is short): bsdiff's rule, which keeps small edits inside copies.
constexpr uint64_t kShortGap = 16;
constexpr uint64_t kMaxJoinedGap = 4096;

}  // namespace

std::vector<uint8_t> EncodeBlockDelta(const ByteSource& old_file, const ByteSource& new_file,
                                      const BlockDeltaOptions& options) {
  const uint64_t old_size = old_file.Size(), new_size = new_file.Size();
  const uint32_t b = BlockSizeFor(old_size);
  const uint64_t blocks = old_size / b;
  const RollingHash hash(b);

  // 1. Hash every aligned block of the old file (and take its CRC), in
  // pieces on all threads; then index them in order.
  const size_t piece_size = std::max<size_t>(kReadPiece / b * b, b);
  const size_t old_pieces = size_t((old_size + piece_size - 1) / piece_size);
  std::vector<uint32_t> old_crcs(old_pieces);
  uint32_t old_crc = 0;
  BlockIndex index(blocks);
  {
    std::vector<uint64_t> hashes(static_cast<size_t>(blocks));
    ParallelFor(old_pieces, options.jobs, [&](size_t i) {
      const uint64_t at = uint64_t(i) * piece_size;
      Bytes buffer(size_t(std::min<uint64_t>(piece_size, old_size - at)));
      old_file.Read(at, buffer.data(), buffer.size());
      old_crcs[i] = BufferCrc(buffer.data(), buffer.size());
      for (size_t k = 0; k + b <= buffer.size(); k += b) hashes[size_t(at / b + k / b)] = hash.Of(buffer.data() + k, b);
      if (options.progress) options.progress->Add(buffer.size());
    });
    for (uint64_t k = 0; k < blocks; ++k) index.Insert(hashes[size_t(k)], uint32_t(k));
    for (size_t i = 0; i < old_pieces; ++i)
      old_crc = Crc32Combine(old_crc, old_crcs[i], std::min<uint64_t>(piece_size, old_size - uint64_t(i) * piece_size));
  }

  // 2. Match the new file in parts of fixed size.
  const uint64_t part_size = std::max<uint64_t>(options.part_size, 1);
  const size_t parts = size_t((new_size + part_size - 1) / part_size);
  std::vector<std::vector<Cover>> found(parts);
  std::vector<uint32_t> new_crcs(parts);
  ParallelFor(parts, options.jobs, [&](size_t i) {
    const uint64_t at = uint64_t(i) * part_size;
    Bytes part(size_t(std::min<uint64_t>(part_size, new_size - at)));
    new_file.Read(at, part.data(), part.size());
    new_crcs[i] = BufferCrc(part.data(), part.size());
    PartMatcher matcher(old_file, index, hash, b);
    found[i] = matcher.Match(part.data(), part.size(), at);
    if (options.progress) options.progress->Add(part.size());
  });
  uint32_t new_crc = 0;
  for (size_t i = 0; i < parts; ++i)
    new_crc = Crc32Combine(new_crc, new_crcs[i], std::min<uint64_t>(part_size, new_size - uint64_t(i) * part_size));

  // 3. Join covers that continue each other across parts.
  std::vector<Cover> covers;
  for (std::vector<Cover>& part : found) {
    for (const Cover& c : part) {
      if (!covers.empty()) {
        Cover& last = covers.back();
        if (last.new_at + last.length == c.new_at && last.old_at + last.length == c.old_at) {
          last.length += c.length;
          continue;
        }
      }
      covers.push_back(c);
    }
    part = {};
  }

  // 4. The copies: runs of covers, each joined to the next through a gap
  // the old bytes at the same shift mostly agree with.
  Bytes control, extra, gap_new, gap_old;
  RunCoder diffs;
  auto put_triple = [&](uint64_t copy, uint64_t more, int64_t seek) {
    PutVarint(control, copy);
    PutVarint(control, more);
    PutVarint(control, seek >= 0 ? uint64_t(seek) << 1 : (uint64_t(-(seek + 1)) << 1) | 1);
  };
  auto put_extra = [&](uint64_t at, uint64_t n) {
    const size_t start = extra.size();
    extra.resize(start + size_t(n));
    for (uint64_t done = 0; done < n;) {
      const size_t k = size_t(std::min<uint64_t>(n - done, kReadPiece));
      new_file.Read(at + done, extra.data() + start + size_t(done), k);
      done += k;
    }
  };
  if (covers.empty()) {
    if (new_size) {
      put_triple(0, new_size, 0);
      put_extra(0, new_size);
    }
  } else if (covers[0].new_at != 0 || covers[0].old_at != 0) {
    put_triple(0, covers[0].new_at, int64_t(covers[0].old_at));
    put_extra(0, covers[0].new_at);
  }
  for (size_t i = 0; i < covers.size();) {
    // One copy from covers[i] through as many following covers as join.
    const Cover first = covers[i];
    uint64_t copy = first.length;
    diffs.Zeros(first.length);
    size_t j = i + 1;
    for (; j < covers.size(); ++j) {
      const Cover& c = covers[j];
      const uint64_t end_new = first.new_at + copy, end_old = first.old_at + copy;
      const uint64_t gap = c.new_at - end_new;
      if (c.old_at - c.new_at != first.old_at - first.new_at || gap > kMaxJoinedGap) break;
      gap_new.resize(size_t(gap));
      gap_old.resize(size_t(gap));
      new_file.Read(end_new, gap_new.data(), gap_new.size());
      old_file.Read(end_old, gap_old.data(), gap_old.size());
      uint64_t same = 0;
      for (size_t k = 0; k < gap; ++k) {
        same += gap_new[k] == gap_old[k];
        gap_new[k] = uint8_t(gap_new[k] - gap_old[k]);
      }
      if (gap > kShortGap && same * 2 < gap) break;
      diffs.Add(gap_new.data(), gap_new.size());
      diffs.Zeros(c.length);
      copy += gap + c.length;
    }
    const uint64_t end_new = first.new_at + copy, end_old = first.old_at + copy;
    const uint64_t next_new = j < covers.size() ? covers[j].new_at : new_size;
    const int64_t seek = j < covers.size() ? int64_t(covers[j].old_at) - int64_t(end_old) : 0;
    put_triple(copy, next_new - end_new, seek);
    put_extra(end_new, next_new - end_new);
    i = j;
  }
  diffs.Finish();

  // 5. The stream: head, then the sections, each coded on its own thread.
  const Bytes maps;
  const Bytes* sections[] = {&control, &diffs.zero_runs, &diffs.counts, &diffs.literals, &extra, &maps};
  Bytes coded[6];
  ParallelFor(5, options.jobs, [&](size_t i) { coded[i] = CodeSection(*sections[i]); });
  Bytes out(delta::kMagic, delta::kMagic + 4);
  out.push_back(delta::kVersionLzma);
  out.push_back(0);
  PutLe(out, old_size, 8);
  PutLe(out, old_crc, 4);
  PutLe(out, new_size, 8);
  PutLe(out, new_crc, 4);
  for (const Bytes* section : sections) PutVarint(out, section->size());
  for (const Bytes& c : coded) PutVarint(out, c.size());
  for (int i = 0; i < 6; ++i) {
    const Bytes& bytes = coded[i].empty() ? *sections[i] : coded[i];
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return out;
}

namespace {

Bytes ReadWhole(const ByteSource& source) {
  if (source.Size() > SIZE_MAX / 2) throw Error("file too large for this build's memory");
  Bytes bytes(size_t(source.Size()));
  for (uint64_t at = 0; at < bytes.size();) {
    const size_t k = size_t(std::min<uint64_t>(bytes.size() - at, kReadPiece));
    source.Read(at, bytes.data() + at, k);
    at += k;
  }
  return bytes;
}

}  // namespace

std::vector<uint8_t> EncodeFileDelta(const ByteSource& old_file, const ByteSource& new_file,
                                     const BlockDeltaOptions& options) {
  if (old_file.Size() >= options.threshold || new_file.Size() >= options.threshold)
    return EncodeBlockDelta(old_file, new_file, options);
  return EncodeDelta(ReadWhole(old_file), ReadWhole(new_file));
}

}  // namespace upkit::pack
