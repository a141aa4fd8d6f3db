// upkit diff OLD_DIR NEW_DIR -o upkit.toml: plans the update from OLD to NEW.
#include <cstdio>
#include <filesystem>

#include "codec/error.h"
#include "pack/diff.h"
#include "pack/host_fs.h"
#include "pack/manifest.h"
#include "tools/upkit/cli.h"

namespace upkit::cli {
namespace {

int RunDiff(const Args& args);

const Command kDiff{"diff", "plan an update from two folders into a manifest",
                    "usage: upkit diff OLD_DIR... NEW_DIR -o upkit.toml [--level N] [--stored]\n"
                    "                  [--full-fallback] [--jobs N]\n"
                    "\n"
                    "Compares the two folders and writes a manifest whose items turn OLD into\n"
                    "NEW: changed files become byte patches, deltas or replacements\n"
                    "(whichever is smaller once compressed), new files replacements, removed\n"
                    "files deletions. A new file that resembles a removed or unchanged one\n"
                    "(by its name without digits, then by content) becomes a delta from that\n"
                    "file when smaller; a removed base is deleted once the new file is in place. Every item that touches an existing file checks its size and\n"
                    "CRC-32. Payloads are referenced by path; `upkit build` reads them.\n"
                    "The delta streams are kept beside the manifest (FILE.deltas/N.upkd) so\n"
                    "that `upkit build` need not compute them again.\n"
                    "\n"
                    "With several old folders (releases; the last folder is NEW), one package\n"
                    "updates each of them: per file, one item with an alternative per distinct\n"
                    "old content (the installer applies the one whose size and CRC-32 match),\n"
                    "additions where a release lacks the file, deletions where NEW does.\n"
                    "\n"
                    "  -o FILE     the manifest to write (\"-\" for standard output)\n"
                    "  --level N   compression level 1..9 used to compare payloads (default 9)\n"
                    "  --stored    the package will not be compressed; compare raw sizes\n"
                    "  --full-fallback  also carry each changed file whole: a file that is no\n"
                    "              known release is replaced (or removed) instead of failing\n"
                    "  --jobs N    plan at most N files at once, and match a big file on at\n"
                    "              most N threads (default: one per core); the manifest and\n"
                    "              the streams are the same for any N\n"
                    "\n"
                    "Files of 64 MiB or more are never read whole: they are matched by blocks\n"
                    "in bounded memory and become a delta (or a replacement when the delta\n"
                    "would not be smaller), with the bytes done and the rate shown on a\n"
                    "terminal.\n",
                    &RunDiff};
UPKIT_COMMAND(kDiff);

int RunDiff(const Args& args) {
  std::vector<std::string> dirs;
  std::string out;
  pack::DiffOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-o" || a == "--output") {
      if (++i == args.size()) return UsageError(kDiff, "-o needs a file name");
      out = args[i];
    } else if (a == "--level") {
      if (++i == args.size()) return UsageError(kDiff, "--level needs a number");
      if (args[i].size() != 1 || args[i][0] < '1' || args[i][0] > '9')
        return UsageError(kDiff, "--level must be 1..9");
      options.level = args[i][0] - '0';
    } else if (a == "--stored") {
      options.compressed = false;
    } else if (a == "--jobs") {
      if (++i == args.size() || !ParseJobs(args[i], &options.jobs))
        return UsageError(kDiff, "--jobs needs a number of threads (1 or more)");
    } else if (a == "--full-fallback") {
      options.full_fallback = true;
    } else if (!a.empty() && a[0] == '-') {
      return UsageError(kDiff, "unknown option " + a);
    } else {
      dirs.push_back(a);
    }
  }
  if (dirs.size() < 2) return UsageError(kDiff, "needs OLD_DIR and NEW_DIR");
  if (dirs.size() > 33) return UsageError(kDiff, "takes at most 32 old folders");
  if (out.empty()) return UsageError(kDiff, "needs -o FILE");

  // One old folder without a fallback: the plain form, one action per file.
  const std::string new_dir = dirs.back();
  dirs.pop_back();
  pack::DiffResult result = dirs.size() == 1 && !options.full_fallback
                                ? pack::DiffFolders(dirs[0], new_dir, options)
                                : pack::DiffReleases(dirs, new_dir, options);
  // Payload paths are written relative to the manifest's folder.
  std::string parent = out == "-" ? std::string() : pack::Utf8Path(pack::HostPath(out).parent_path());
  const std::string base = parent.empty() ? std::string(".") : parent;
  if (out != "-" && !result.delta_streams.empty()) {
    const std::string folder = out + ".deltas";
    std::error_code ec;
    std::filesystem::create_directories(pack::HostPath(folder), ec);
    if (ec) throw Error("cannot create " + folder + ": " + ec.message());
    for (auto& [index, stream] : result.delta_streams) {
      std::string path = folder + "/" + std::to_string(index) + ".upkd";
      pack::WriteHostFile(path, stream);
      result.manifest.items[index].stream_file = path;
    }
  }
  if (out != "-" && !result.alternative_streams.empty()) {
    const std::string folder = out + ".deltas";
    std::error_code ec;
    std::filesystem::create_directories(pack::HostPath(folder), ec);
    if (ec) throw Error("cannot create " + folder + ": " + ec.message());
    for (auto& [at, stream] : result.alternative_streams) {
      std::string path = folder + "/" + std::to_string(at.first) + "-" + std::to_string(at.second) + ".upkd";
      pack::WriteHostFile(path, stream);
      result.manifest.items[at.first].from[at.second].stream_file = path;
    }
  }
  std::string text = pack::FormatManifest(result.manifest, base);
  if (out == "-") {
    std::fwrite(text.data(), 1, text.size(), stdout);
  } else {
    pack::WriteHostFile(out, std::vector<uint8_t>(text.begin(), text.end()));
  }
  for (const std::string& note : result.notes) std::fprintf(stderr, "upkit: note: %s\n", note.c_str());
  std::fprintf(stderr, "%d changed (%d as patches, %d as deltas), %d added, %d removed, %d unchanged\n",
               result.changed, result.patched, result.deltas, result.added, result.removed, result.unchanged);
  if (result.renamed) std::fprintf(stderr, "%d added as deltas from another file\n", result.renamed);
  return 0;
}

}  // namespace
}  // namespace upkit::cli
