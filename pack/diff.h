// Plans an update from two folders (authoring side): which files change and
// how. `upkit diff OLD NEW` writes the plan as a manifest.
// - a changed file becomes a byte patch, a delta or a replacement, whichever
//   payload is smaller after compression at the manifest's level (a delta
//   needs a non-empty old file, whose size and CRC-32 it always checks);
// - a file only in NEW becomes a replacement (no checks: it does not exist);
// - a file only in OLD becomes a deletion;
// - every item that touches an existing file checks its size and CRC-32
//   against OLD (an empty old file checks only its size: the installer
//   cannot map an empty file, so its CRC check would always fail).
// Sub-folders become the item's Path ("a\b"); names keep their case and are
// converted to code page 1251 (a name it cannot hold is an error naming the
// file). Items come in byte order of their UTF-8 relative paths.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "delta/delta_blocks.h"
#include "pack/manifest.h"
#include "pack/package_writer.h"

namespace upkit::pack {

// Equal gaps up to this many bytes are folded into the surrounding run: a
// new run record would cost 8 bytes (offset and length).
inline constexpr size_t kPatchMergeGap = 8;

// Runs of differing bytes that turn `old_bytes` into `new_bytes` once the
// file has been resized to new_bytes.size(). Bytes past the old end always
// form (part of) a run, since an extended file's new bytes are undefined.
std::vector<PatchRun> DiffRuns(std::span<const uint8_t> old_bytes, std::span<const uint8_t> new_bytes);

// The patch list (run records) for the pair; raises Error when the new file
// is too large for a patch list (2 GiB).
std::vector<uint8_t> PatchListFor(std::span<const uint8_t> old_bytes, std::span<const uint8_t> new_bytes);

struct DiffOptions {
  int level = 9;
  bool compressed = true;
  bool full_fallback = false;  // DiffReleases: carry every changed file whole for unknown releases
  unsigned jobs = 0;           // threads (0: one per core); the result does not depend on it
  // Pairs where either file has this many bytes or more are never read
  // whole: they are compared, checked and matched by blocks through bounded
  // reads (delta/delta_blocks.h), and become a delta or a replacement.
  uint64_t block_threshold = kBlockMatchThreshold;
};

struct DiffResult {
  Manifest manifest;
  std::vector<std::string> notes;  // things the vendor should know
  // The delta stream of each delta item, by item index, so that the caller
  // can keep it for `upkit build` (see ManifestItem::stream_file).
  std::map<size_t, std::vector<uint8_t>> delta_streams;
  // DiffReleases: the same by item and alternative index.
  std::map<std::pair<size_t, size_t>, std::vector<uint8_t>> alternative_streams;
  int changed = 0, added = 0, removed = 0, unchanged = 0, patched = 0, deltas = 0;
  int renamed = 0;  // added files shipped as a delta from another file (pack/diff_rename.h)
};

// Compares the two folders (UTF-8 paths). Raises Error naming the file on
// unreadable files and unencodable names.
DiffResult DiffFolders(const std::string& old_dir, const std::string& new_dir, const DiffOptions& options);

// Plans one update that brings each of several old releases (UTF-8 folders,
// at most 32) to NEW, as multi-release items: per file, one alternative per
// distinct old content (told apart by size and CRC-32; releases with equal
// content share one), "replace" for releases without the file, "delete"
// where NEW has none; releases whose file already equals NEW need nothing.
// Files equal in every release and NEW get no item. With
// options.full_fallback every item also carries the whole new file (or its
// removal) for a file that is none of the known releases. The releases are
// named by their folders' names. Renamed files are not paired (that is
// DiffFolders' work for one old release): a file only in NEW is added whole
// wherever it is absent. Raises Error naming the file on unreadable
// files, unencodable names, files of 2 GiB or more (before reading them:
// a multi-release item keeps its payloads inside the package), and two
// different contents of equal size and CRC-32 (the installer could not
// tell them apart).
DiffResult DiffReleases(const std::vector<std::string>& old_dirs, const std::string& new_dir,
                        const DiffOptions& options);

}  // namespace upkit::pack
