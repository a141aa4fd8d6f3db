#include "pack/diff.h"

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <set>

#include "codec/compress.h"
#include "codec/crc32.h"
#include "codec/error.h"
#include "delta/delta_encode.h"
#include "pack/ansi_text.h"
#include "delta/delta_blocks.h"
#include "pack/diff_rename.h"
#include "pack/host_fs.h"
#include "delta/delta.h"

namespace upkit::pack {

std::vector<PatchRun> DiffRuns(std::span<const uint8_t> old_bytes, std::span<const uint8_t> new_bytes) {
  std::vector<PatchRun> runs;
  const size_t common = std::min(old_bytes.size(), new_bytes.size());
  size_t i = 0;
  while (i < new_bytes.size()) {
    if (i < common && old_bytes[i] == new_bytes[i]) {
      ++i;
      continue;
    }
    // A run starts at i; extend it while the next equal gap is short.
    size_t start = i, end = i + 1;
    for (;;) {
      while (end < new_bytes.size() && (end >= common || old_bytes[end] != new_bytes[end])) ++end;
      size_t gap = end;
      while (gap < common && old_bytes[gap] == new_bytes[gap] && gap - end <= kPatchMergeGap) ++gap;
      if (gap >= new_bytes.size() || gap - end > kPatchMergeGap) break;
      end = gap;  // the gap is short and more differences follow: fold it in
    }
    runs.push_back({static_cast<int32_t>(start),
                    std::vector<uint8_t>(new_bytes.begin() + start, new_bytes.begin() + end)});
    i = end;
  }
  return runs;
}

std::vector<uint8_t> PatchListFor(std::span<const uint8_t> old_bytes, std::span<const uint8_t> new_bytes) {
  if (new_bytes.size() > static_cast<size_t>(INT32_MAX)) throw Error("file too large for a patch (2 GiB or more)");
  return PatchListRuns(static_cast<int32_t>(new_bytes.size()), DiffRuns(old_bytes, new_bytes));
}

namespace {

// Regular files below `root`, keyed by their relative generic UTF-8 path.
std::map<std::string, std::filesystem::path> ListFiles(const std::string& root) {
  std::filesystem::path base = HostPath(root);
  std::error_code ec;
  if (!std::filesystem::is_directory(base, ec)) throw Error(root + ": not a folder");
  std::map<std::string, std::filesystem::path> files;
  std::filesystem::recursive_directory_iterator it(base, ec), end;
  if (ec) throw Error("cannot read " + root + ": " + ec.message());
  for (; it != end; it.increment(ec)) {
    if (ec) throw Error("cannot read " + root + ": " + ec.message());
    if (!it->is_regular_file(ec)) continue;
    std::u8string rel = it->path().lexically_relative(base).generic_u8string();
    files.emplace(std::string(rel.begin(), rel.end()), it->path());
  }
  if (ec) throw Error("cannot read " + root + ": " + ec.message());
  return files;
}

// Splits "a/b/name" into Path "a\b" and OriginName "name", in code page 1251.
void NameItem(const std::string& rel, const std::string& shown, ManifestItem& item) {
  auto ansi = Utf8ToCp1251(rel);
  if (!ansi) throw Error(shown + ": the name cannot be written in code page 1251");
  size_t slash = ansi->rfind('/');
  item.origin_name = slash == std::string::npos ? *ansi : ansi->substr(slash + 1);
  item.path = slash == std::string::npos ? "" : ansi->substr(0, slash);
  std::replace(item.path.begin(), item.path.end(), '/', '\\');
  item.update_name = item.origin_name;
}

// The item checks the old file's size (all 64 bits from 4 GiB on) and, when
// it is not empty, its CRC-32.
void CheckAgainst(ManifestItem& item, uint64_t size, const std::function<uint32_t()>& crc) {
  item.check_size = true;
  item.size = static_cast<int64_t>(size);
  if (size) {
    item.check_crc = true;
    item.crc = static_cast<int32_t>(crc());
  }
}

uint32_t BytesCrc(const std::vector<uint8_t>& bytes) {
  return Crc32Block(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// A pair that goes to the block matcher, read through bounded reads.
bool IsBig(const std::filesystem::path& old_path, const std::filesystem::path& new_path, const DiffOptions& options) {
  std::error_code ec;
  const uint64_t a = std::filesystem::file_size(old_path, ec);
  if (ec) return false;  // reading it reports the cause
  const uint64_t b = std::filesystem::file_size(new_path, ec);
  if (ec) return false;
  return a >= options.block_threshold || b >= options.block_threshold;
}

// The smallest of replace, patch and delta once stored at the package's
// compression; a tie goes to the simpler action (replace, then patch). A
// payload larger than the new file never wins, so it is not compressed.
//
// Compressing a whole file at a high level is the slow part of planning, so
// the delta (usually the smallest) is sized first and every larger payload
// is first sized at level 1: the highest level saves a few per cent over
// that on real files, never a fifth, so a level-1 size a quarter above the
// best so far cannot win. Each sizing also stops as soon as its output is
// past what could still win, which for a whole executable beside a small
// delta is after its first few hundred kilobytes.
// The delta stream is left in `delta_stream`.
//
// The patch and the replacement are each sized against the delta alone, on
// two threads when there are (each takes seconds on a big file that changed
// throughout): a size is exact wherever it could win, so the choice is the
// one of sizing them in turn, and the same whatever the thread count.
int32_t PlanChange(const std::vector<uint8_t>& old_bytes, const std::vector<uint8_t>& new_bytes,
                   const DiffOptions& options, std::vector<uint8_t>& delta_stream) {
  constexpr size_t kCannotWin = SIZE_MAX;
  const size_t raw_limit = new_bytes.size() + 64;
  auto stored_size = [&](const std::vector<uint8_t>& payload, size_t best) {
    if (payload.size() >= raw_limit && &payload != &new_bytes) return kCannotWin;
    if (best != kCannotWin && options.compressed && options.level > 1) {
      // Past this, quick - quick / 5 >= best.
      size_t quick = StoredSize(payload, true, 1, best + best / 4 + 2);
      if (quick - quick / 5 >= best) return kCannotWin;
    }
    return StoredSize(payload, options.compressed, options.level, best);
  };
  // A delta checks the old file's CRC, which the installer cannot take of an
  // empty file; rebuilding from nothing is a replacement anyway.
  DeltaOptions delta_options;
  delta_options.jobs = options.jobs;
  if (!old_bytes.empty()) delta_stream = EncodeDelta(old_bytes, new_bytes, delta_options);
  const size_t delta = old_bytes.empty() ? kCannotWin : stored_size(delta_stream, kCannotWin);
  size_t patch = kCannotWin, replace = kCannotWin;
  ParallelFor(2, options.jobs, [&](size_t k) {
    if (k == 1)
      replace = stored_size(new_bytes, delta);
    else if (new_bytes.size() <= static_cast<size_t>(INT32_MAX))
      patch = stored_size(PatchListFor(old_bytes, new_bytes), delta);
  });
  if (replace <= patch && replace <= delta) return kActionReplace;
  return patch <= delta ? kActionPatch : kActionDelta;
}

// PlanChange for a big pair, which is never read whole: a delta from the
// block matcher unless the old file is empty or the stream would not be
// smaller than the new file (then a replacement). Compressing the whole new
// file to compare would take minutes on gigabytes, and the stream's new
// bytes are LZMA-coded already. False when the files are equal. The item
// checks the old file's size and CRC-32 whatever its size.
bool PlanBigChange(const std::filesystem::path& old_path, const std::filesystem::path& new_path,
                   const std::string& shown, const DiffOptions& options, ManifestItem& item,
                   std::vector<uint8_t>& delta_stream) {
  FileByteSource old_source(Utf8Path(old_path)), new_source(Utf8Path(new_path));
  if (SameBytes(old_source, new_source)) return false;
  item.action = kActionReplace;
  if (old_source.Size() == 0) return true;
  ByteProgress progress("diff " + shown, old_source.Size() + new_source.Size());
  BlockDeltaOptions blocks;
  blocks.jobs = options.jobs;
  blocks.progress = &progress;
  delta_stream = EncodeBlockDelta(old_source, new_source, blocks);
  if (delta_stream.size() >= new_source.Size()) {
    delta_stream.clear();
    CheckAgainst(item, old_source.Size(), [&] { return SourceCrc(old_source, options.jobs); });
    return true;
  }
  item.action = kActionDelta;
  // The stream's head holds the old file's CRC: no second pass over it.
  const DeltaHead head = ReadDeltaHead(delta_stream.data(), delta_stream.size());
  CheckAgainst(item, old_source.Size(), [&] { return head.old_crc; });
  return true;
}

// The renamed files (pack/diff_rename.h): added files, and the removed and
// unchanged files they may come from.
std::map<std::string, RenameBase> PlanRenames(const std::map<std::string, std::filesystem::path>& old_files,
                                              const std::map<std::string, std::filesystem::path>& new_files,
                                              const DiffOptions& options) {
  // Pairing reads every candidate whole: big files take no part (an added
  // one is a replacement, a removed one a deletion).
  auto small = [&](const std::filesystem::path& path) { return !IsBig(path, path, options); };
  std::map<std::string, std::filesystem::path> added, removed, unchanged;
  for (const auto& [rel, path] : new_files)
    if (!old_files.count(rel) && small(path)) added.emplace(rel, path);
  if (added.empty()) return {};
  for (const auto& [rel, path] : old_files) {
    if (!small(path)) continue;
    auto n = new_files.find(rel);
    if (n == new_files.end()) removed.emplace(rel, path);
    else if (SameBytes(FileByteSource(Utf8Path(path)), FileByteSource(Utf8Path(n->second)))) unchanged.emplace(rel, path);
  }
  return PairRenamedFiles(added, removed, unchanged, options.level, options.compressed);
}

}  // namespace

DiffResult DiffFolders(const std::string& old_dir, const std::string& new_dir, const DiffOptions& options) {
  auto old_files = ListFiles(old_dir);
  auto new_files = ListFiles(new_dir);

  std::set<std::string> all;
  for (const auto& [rel, _] : old_files) all.insert(rel);
  for (const auto& [rel, _] : new_files) all.insert(rel);

  DiffResult result;
  Manifest& m = result.manifest;
  m.level = options.level;
  m.compressed = options.compressed;
  m.all_or_nothing = true;  // the whole product moves from OLD to NEW, or stays
  std::string folder_name = Utf8Path(HostPath(new_dir).lexically_normal().parent_path().filename());
  if (HostPath(new_dir).has_filename()) folder_name = Utf8Path(HostPath(new_dir).filename());
  m.name = Utf8ToCp1251(folder_name).value_or("");
  m.caption = m.name.empty() ? "Update" : m.name + " update";
  m.button = "Update";

  // Windows folders ignore letter case: two NEW names that differ only in
  // case end up as one file on the customer's machine.
  std::map<std::string, std::string> folded;
  for (const auto& [rel, _] : new_files) {
    auto ansi = Utf8ToCp1251(rel);
    if (!ansi) continue;  // reported by name below
    std::string key = *ansi;
    for (char& c : key) {
      auto b = static_cast<unsigned char>(c);
      if ((b >= 'A' && b <= 'Z') || (b >= 0xC0 && b <= 0xDF)) c = static_cast<char>(b + 32);
      else if (b == 0xA8) c = static_cast<char>(0xB8);  // Ё
    }
    auto [it, fresh] = folded.emplace(key, rel);
    if (!fresh)
      result.notes.push_back(it->second + " and " + rel +
                             " differ only in letter case; Windows keeps one file for both");
  }

  std::map<std::string, RenameBase> renames = PlanRenames(old_files, new_files, options);
  std::set<std::string> moved_bases;
  for (const auto& [rel, base] : renames)
    if (base.removed) moved_bases.insert(base.rel);

  // Each file is planned on its own (in parallel: reading, comparing and
  // encoding are the slow part), then the items are put in order.
  struct Planned {
    bool keep = false, has_stream = false;
    ManifestItem item;
    std::vector<uint8_t> stream;
    int* count = nullptr;  // the result's counter this file adds to
    int* kind = nullptr;   // patched or deltas, for changed files
    bool renamed = false;
  };
  const std::vector<std::string> rels(all.begin(), all.end());
  std::vector<Planned> planned(rels.size());
  Progress progress("diff");
  std::mutex progress_lock;
  size_t done = 0;
  auto plan = [&](size_t i) {
    const std::string& rel = rels[i];
    Planned& out = planned[i];
    auto o = old_files.find(rel);
    auto n = new_files.find(rel);
    std::string shown = Utf8Path(o != old_files.end() ? o->second : n->second);
    ManifestItem& item = out.item;
    NameItem(rel, shown, item);
    out.keep = true;
    if (o == old_files.end() && renames.count(rel)) {
      RenameBase& base = renames.find(rel)->second;
      ManifestItem named;
      NameItem(base.rel, Utf8Path(base.path), named);
      item.action = kActionDelta;
      item.old_file = Utf8Path(base.path);
      item.new_file = Utf8Path(n->second);
      item.base_name = named.origin_name;
      item.base_path = named.path;
      item.base_moves = base.removed;
      out.stream = std::move(base.stream);
      out.has_stream = true;
      out.count = &result.added;
      out.renamed = true;
    } else if (o == old_files.end()) {
      item.action = kActionReplace;
      item.file = Utf8Path(n->second);
      out.count = &result.added;
    } else if (n == new_files.end() && moved_bases.count(rel)) {
      out.keep = false;  // the delta item that is made from it deletes it
      out.count = &result.removed;
    } else if (n == new_files.end()) {
      item.action = kActionDelete;
      if (IsBig(o->second, o->second, options)) {
        FileByteSource old_source(Utf8Path(o->second));
        CheckAgainst(item, old_source.Size(), [&] { return SourceCrc(old_source, options.jobs); });
      } else {
        std::vector<uint8_t> old_bytes = ReadHostFile(Utf8Path(o->second));
        CheckAgainst(item, old_bytes.size(), [&] { return BytesCrc(old_bytes); });
      }
      out.count = &result.removed;
    } else {
      if (IsBig(o->second, n->second, options)) {
        if (!PlanBigChange(o->second, n->second, shown, options, out.item, out.stream)) {
          out.keep = false;
          out.count = &result.unchanged;
          return;
        }
      } else {
        std::vector<uint8_t> old_bytes = ReadHostFile(Utf8Path(o->second));
        std::vector<uint8_t> new_bytes = ReadHostFile(Utf8Path(n->second));
        if (old_bytes == new_bytes) {
          out.keep = false;
          out.count = &result.unchanged;
          return;
        }
        CheckAgainst(item, old_bytes.size(), [&] { return BytesCrc(old_bytes); });
        item.action = PlanChange(old_bytes, new_bytes, options, out.stream);
      }
      out.has_stream = item.action == kActionDelta;
      if (item.action == kActionReplace) {
        item.file = Utf8Path(n->second);
      } else {
        item.old_file = Utf8Path(o->second);
        item.new_file = Utf8Path(n->second);
        out.kind = item.action == kActionPatch ? &result.patched : &result.deltas;
      }
      out.count = &result.changed;
    }
  };
  // Small files on all threads at once; a big one at a time, on all threads.
  std::vector<size_t> small, big;
  for (size_t i = 0; i < rels.size(); ++i) {
    auto o = old_files.find(rels[i]);
    auto n = new_files.find(rels[i]);
    const bool heavy = o != old_files.end() && (n != new_files.end() || !moved_bases.count(rels[i]));
    (heavy && IsBig(o->second, n != new_files.end() ? n->second : o->second, options) ? big : small).push_back(i);
  }
  auto tick = [&] {
    std::lock_guard<std::mutex> hold(progress_lock);
    progress.Update(++done, rels.size());
  };
  ParallelFor(small.size(), options.jobs, [&](size_t k) {
    plan(small[k]);
    tick();
  });
  for (size_t i : big) {
    plan(i);
    tick();
  }
  for (Planned& p : planned) {
    if (p.count) ++*p.count;
    if (p.kind) ++*p.kind;
    if (p.renamed) ++result.renamed;
    if (!p.keep) continue;
    if (p.has_stream) result.delta_streams[m.items.size()] = std::move(p.stream);
    m.items.push_back(std::move(p.item));
  }
  return result;
}

namespace {

// A release's name: its folder's name, or the path as given when two
// releases would share a name.
std::vector<std::string> ReleaseNames(const std::vector<std::string>& dirs) {
  std::vector<std::string> names;
  for (const std::string& dir : dirs) {
    std::filesystem::path p = HostPath(dir).lexically_normal();
    names.push_back(Utf8Path(p.has_filename() ? p.filename() : p.parent_path().filename()));
  }
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i].empty() || std::count(names.begin(), names.end(), names[i]) > 1) names[i] = dirs[i];
  return names;
}

// LZMA codes each delta stream alone, so the streams of one file share
// nothing of what they have in common (mostly the new bytes). The item's
// delta streams are tried three ways, and the form whose payloads compress
// smallest together is kept:
//  - every section coded, each stream alone;
//  - the bytes copies add and the new bytes (literals and extra) stored, for
//    the package compressor to share (every section stored never won in the
//    bench: the controls and maps code well and share little);
//  - chained: each stream that follows another delta alternative has its
//    coders primed with that one's sections (PrimedStream), and its payload
//    is the one before's payload followed by it, so that the item's Data
//    holds every stream once. The first stays an ordinary stream.
void ShareNewBytes(size_t index, const ManifestItem& item, const std::vector<uint8_t>& new_bytes,
                   const DiffOptions& options, DiffResult& result) {
  std::vector<std::vector<uint8_t>*> streams;
  std::vector<size_t> alts;
  for (size_t a = 0; a < item.from.size(); ++a) {
    auto s = result.alternative_streams.find({index, a});
    if (s != result.alternative_streams.end()) streams.push_back(&s->second), alts.push_back(a);
  }
  if (streams.empty() || streams.size() + item.full_fallback < 2) return;
  // The chained form: each alternative's own bytes, and its whole payload.
  std::vector<std::vector<uint8_t>> own(streams.size()), chained(streams.size());
  bool any_primed = false;
  for (size_t k = 0; k < streams.size(); ++k) {
    own[k] = *streams[k];
    if (k > 0 && alts[k] == alts[k - 1] + 1) own[k] = PrimedStream(*streams[k - 1], *streams[k]);
    const bool primed = own[k] != *streams[k];
    any_primed = any_primed || primed;
    if (primed) chained[k] = chained[k - 1];
    chained[k].insert(chained[k].end(), own[k].begin(), own[k].end());
  }
  constexpr unsigned kChained = ~0u;
  size_t best = SIZE_MAX;
  unsigned best_form = 0;
  for (unsigned form : {0u, (1u << kSectionLiterals) | (1u << kSectionExtra), kChained}) {
    if (form == kChained && !any_primed) continue;
    std::vector<uint8_t> data;
    for (size_t k = 0; k < streams.size(); ++k) {
      std::vector<uint8_t> one = form == kChained ? own[k] : StoreSections(*streams[k], form);
      data.insert(data.end(), one.begin(), one.end());
    }
    if (item.full_fallback) data.insert(data.end(), new_bytes.begin(), new_bytes.end());
    size_t size = StoredSize(data, options.compressed, options.level, best);
    if (size < best) best = size, best_form = form;
  }
  if (best_form == kChained) {
    for (size_t k = 0; k < streams.size(); ++k) *streams[k] = std::move(chained[k]);
  } else if (best_form != 0) {
    for (std::vector<uint8_t>* s : streams) *s = StoreSections(*s, best_form);
  }
}

// A file of one release, read whole. A multi-release item holds every
// payload inside the package, where a file of 2 GiB or more cannot go:
// refused before it is read, not after memory runs out.
std::vector<uint8_t> ReadReleaseFile(const std::filesystem::path& path) {
  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(path, ec);
  if (!ec && size > static_cast<uint64_t>(INT32_MAX))
    throw Error(Utf8Path(path) + ": " + std::to_string(size) +
                " bytes; with several old folders files stay below 2 GiB (diff one old folder for this product)");
  return ReadHostFile(Utf8Path(path));
}

}  // namespace

DiffResult DiffReleases(const std::vector<std::string>& old_dirs, const std::string& new_dir,
                        const DiffOptions& options) {
  if (old_dirs.empty() || old_dirs.size() > 32) throw Error("diff takes 1 to 32 old folders");
  DiffResult result;
  Manifest& m = result.manifest;
  m.level = options.level;
  m.compressed = options.compressed;
  m.all_or_nothing = true;  // every file moves to NEW, or none does
  std::filesystem::path new_path = HostPath(new_dir).lexically_normal();
  m.name = Utf8ToCp1251(Utf8Path(new_path.has_filename() ? new_path.filename() : new_path.parent_path().filename()))
               .value_or("");
  m.caption = m.name.empty() ? "Update" : m.name + " update";
  m.button = "Update";
  m.releases = ReleaseNames(old_dirs);

  std::vector<std::map<std::string, std::filesystem::path>> olds;
  for (const std::string& dir : old_dirs) olds.push_back(ListFiles(dir));
  auto news = ListFiles(new_dir);
  std::set<std::string> all;
  for (const auto& files : olds)
    for (const auto& [rel, _] : files) all.insert(rel);
  for (const auto& [rel, _] : news) all.insert(rel);

  // Each file on its own, in parallel, into a result of its own (its item
  // at index 0); then the items in order.
  struct Planned {
    bool keep = false;
    DiffResult local;
    int* count = nullptr;
  };
  const std::vector<std::string> rels(all.begin(), all.end());
  std::vector<Planned> planned(rels.size());
  Progress progress("diff");
  std::mutex progress_lock;
  size_t done = 0;
  auto plan = [&](size_t i) {
    const std::string& rel = rels[i];
    Planned& out = planned[i];
    DiffResult& local = out.local;
    auto n = news.find(rel);
    const bool removed = n == news.end();
    std::vector<uint8_t> new_bytes;
    if (!removed) new_bytes = ReadReleaseFile(n->second);
    ManifestItem& item = local.manifest.items.emplace_back();
    std::string shown;
    // One alternative per distinct old content, in the order of the releases.
    struct Known { std::vector<uint8_t> bytes; size_t alt; };
    std::vector<Known> known;
    int absent_alt = -1;
    for (size_t r = 0; r < olds.size(); ++r) {
      auto o = olds[r].find(rel);
      if (o == olds[r].end()) {
        if (removed) continue;  // absent before and after
        if (absent_alt < 0) {
          absent_alt = static_cast<int>(item.from.size());
          ManifestAlternative add;
          add.absent = true;
          add.action = kActionReplace;
          item.from.push_back(std::move(add));
        }
        item.from[static_cast<size_t>(absent_alt)].releases.push_back(m.releases[r]);
        continue;
      }
      if (shown.empty()) shown = Utf8Path(o->second);
      std::vector<uint8_t> old_bytes = ReadReleaseFile(o->second);
      if (!removed && old_bytes == new_bytes) continue;  // already new in this release
      auto same = std::find_if(known.begin(), known.end(), [&](const Known& k) { return k.bytes == old_bytes; });
      if (same != known.end()) {
        item.from[same->alt].releases.push_back(m.releases[r]);
        continue;
      }
      for (const Known& k : known)
        if (k.bytes.size() == old_bytes.size() &&
            Crc32Block(k.bytes.data(), static_cast<uint32_t>(k.bytes.size())) ==
                Crc32Block(old_bytes.data(), static_cast<uint32_t>(old_bytes.size())))
          throw Error(shown + ": two releases hold different contents of equal size and CRC-32");
      ManifestAlternative alt;
      alt.old_file = Utf8Path(o->second);
      alt.releases.push_back(m.releases[r]);
      if (removed) {
        alt.action = kActionDelete;
      } else {
        std::vector<uint8_t> stream;
        alt.action = PlanChange(old_bytes, new_bytes, options, stream);
        if (alt.action == kActionDelta) local.alternative_streams[{0, item.from.size()}] = std::move(stream);
        if (alt.action == kActionPatch) ++local.patched;
        if (alt.action == kActionDelta) ++local.deltas;
      }
      known.push_back({std::move(old_bytes), item.from.size()});
      item.from.push_back(std::move(alt));
    }
    if (item.from.empty()) {
      out.count = &result.unchanged;
      return;
    }
    if (shown.empty()) shown = Utf8Path(n->second);
    NameItem(rel, shown, item);
    if (!removed) item.new_file = Utf8Path(n->second);
    item.full_fallback = options.full_fallback;
    if (!removed) ShareNewBytes(0, item, new_bytes, options, local);
    out.count = &(removed ? result.removed : absent_alt >= 0 && known.empty() ? result.added : result.changed);
    out.keep = true;
  };
  ParallelFor(rels.size(), options.jobs, [&](size_t i) {
    plan(i);
    std::lock_guard<std::mutex> hold(progress_lock);
    progress.Update(++done, rels.size());
  });
  for (Planned& p : planned) {
    if (p.count) ++*p.count;
    result.patched += p.local.patched;
    result.deltas += p.local.deltas;
    if (!p.keep) continue;
    for (auto& [at, stream] : p.local.alternative_streams)
      result.alternative_streams[{m.items.size(), at.second}] = std::move(stream);
    m.items.push_back(std::move(p.local.manifest.items[0]));
  }
  return result;
}

}  // namespace upkit::pack
