// upkit verify Setup.exe DIR: what the installer would do to DIR.
#include <cstdio>

#include "codec/error.h"
#include "container/stream.h"
#include "pack/build.h"
#include "pack/host_fs.h"
#include "pack/verify.h"
#include "tools/upkit/cli.h"

namespace upkit::cli {
namespace {

int RunVerify(const Args& args);

const Command kVerify{"verify", "dry-run an update executable's checks against a folder",
                      "usage: upkit verify Setup.exe DIR\n"
                      "\n"
                      "Runs the installer's item checks (existence, size, CRC-32; for a delta\n"
                      "also the old file's size and CRC-32 its stream was made for) of the\n"
                      "package in Setup.exe (or a bare container) against DIR without changing\n"
                      "anything, and prints per item what the installer would do or why it\n"
                      "would skip it. An item of a multi-release package says which release\n"
                      "the file is, \"already new\", or \"no known release\" (and whether the\n"
                      "package's whole-file fallback then replaces it). Exit status 0 when\n"
                      "every item would apply or is already new, 1 otherwise.\n",
                      &RunVerify};
UPKIT_COMMAND(kVerify);

int RunVerify(const Args& args) {
  if (args.size() != 2) return UsageError(kVerify, "needs Setup.exe and DIR");
  std::vector<uint8_t> bytes = ReadImageOrFile(args[0]);
  bool is_exe = bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z';
  std::vector<uint8_t> container = is_exe ? pack::ExtractPackage(bytes) : std::move(bytes);
  TUpdateFile update;
  BufferStream stream(std::move(container));
  try {
    update.LoadFromStream(stream);
  } catch (const Error& e) {
    throw Error(args[0] + ": package cannot be read: " + e.Message());
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(pack::HostPath(args[1]), ec)) throw Error(args[1] + ": not a folder");

  if (update.AllOrNothing) std::printf("all or nothing: any item that cannot apply stops the whole update\n");
  auto results = pack::VerifyUpdate(update, args[1]);
  int applying = 0;
  for (size_t i = 0; i < results.size(); ++i) {
    const auto& r = results[i];
    std::printf("%3zu  %-5s %s: %s\n", i, r.applies ? "ok" : "SKIP", r.name.c_str(), r.outcome.c_str());
    applying += r.applies;
  }
  std::printf("%d of %zu items would apply\n", applying, results.size());
  return applying == static_cast<int>(results.size()) ? 0 : kFailure;
}

}  // namespace
}  // namespace upkit::cli
