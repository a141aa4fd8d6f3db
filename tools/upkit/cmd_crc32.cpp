// upkit crc32 FILE...: the CRC-32 of each file, as the installer computes it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "codec/crc32.h"
#include "tools/upkit/cli.h"

namespace upkit::cli {
namespace {

int RunCrc32(const Args& args);

const Command kCrc32{"crc32", "print the CRC-32 of files",
                     "usage: upkit crc32 FILE...\n"
                     "\n"
                     "Prints one line per file: the CRC-32 (zlib/PKZIP form) as eight\n"
                     "lowercase hex digits, two blanks and the file name. Files are read in\n"
                     "pieces, so any size works. A file that cannot be read is reported on\n"
                     "stderr; the others are still printed, and the status is then 1.\n"
                     "Use -- before file names that start with '-'.\n",
                     &RunCrc32};
UPKIT_COMMAND(kCrc32);

// Returns an empty string on success, else the message naming the file.
std::string FileCrc(const std::string& path, uint32_t& crc) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return "cannot open " + path + ": " + std::strerror(errno);
  std::vector<uint8_t> chunk(1 << 20);
  crc = 0;
  size_t got;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), f)) > 0)
    crc = Crc32Update(crc, chunk.data(), static_cast<uint32_t>(got));
  bool failed = std::ferror(f) != 0;
  std::fclose(f);
  return failed ? "cannot read " + path : std::string();
}

int RunCrc32(const Args& args) {
  std::vector<std::string> files;
  bool options_done = false;
  for (const auto& a : args) {
    if (!options_done && a == "--") {
      options_done = true;
    } else if (!options_done && a.size() > 1 && a[0] == '-') {
      return UsageError(kCrc32, "unknown option " + a);
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) return UsageError(kCrc32, "expected at least one FILE");

  int status = 0;
  for (const auto& path : files) {
    uint32_t crc = 0;
    std::string problem = FileCrc(path, crc);
    if (!problem.empty()) {
      std::fflush(stdout);  // keep the report in order with the lines before it
      status = Fail(problem);
      continue;
    }
    std::printf("%08x  %s\n", crc, path.c_str());
  }
  return status;
}

}  // namespace
}  // namespace upkit::cli
