// upkit compress: wraps a file into a packed "AP32" value (header + stream).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "codec/compress.h"
#include "tools/upkit/cli.h"

namespace upkit::cli {
namespace {

int RunCompress(const Args& args);

UPKIT_COMMAND("compress", "compress a file into an AP32 packed value",
              "usage: upkit compress [--level N] IN OUT\n"
              "  Writes IN as a packed value: the 24-byte \"AP32\" header (sizes and\n"
              "  CRC-32s) followed by the compressed stream.\n"
              "  --level N  1 (fastest) to 9 (smallest, default)\n",
              &RunCompress);

const Command& Self() {
  for (const Command& c : Commands())
    if (std::string(c.name) == "compress") return c;
  std::abort();
}

int RunCompress(const Args& args) {
  int level = 9;
  Args files;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--level") {
      if (i + 1 == args.size()) return UsageError(Self(), "--level needs a number");
      const std::string& v = args[++i];
      if (v.size() != 1 || v[0] < '1' || v[0] > '9') return UsageError(Self(), "level must be 1 to 9");
      level = v[0] - '0';
    } else {
      files.push_back(args[i]);
    }
  }
  if (files.size() != 2) return UsageError(Self(), "expected IN and OUT");
  std::vector<uint8_t> in = ReadFile(files[0]);
  WriteFile(files[1], pack::CompressPacked(in.data(), in.size(), level));
  return 0;
}

}  // namespace
}  // namespace upkit::cli
