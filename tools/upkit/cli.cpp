#include "tools/upkit/cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "codec/error.h"

namespace upkit::cli {

static std::vector<Command>& Registry() {
  static std::vector<Command> commands;
  return commands;
}

Registrar::Registrar(const Command& command) { Registry().push_back(command); }

const std::vector<Command>& Commands() { return Registry(); }

int Fail(const std::string& message) {
  std::fprintf(stderr, "upkit: %s\n", message.c_str());
  return kFailure;
}

int UsageError(const Command& command, const std::string& message) {
  std::fprintf(stderr, "upkit %s: %s\n%s", command.name, message.c_str(), command.usage);
  return kUsage;
}

bool ParseJobs(const std::string& text, unsigned* jobs) {
  if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned n = unsigned(std::stoul(text));
  if (n < 1 || n > 1024) return false;
  *jobs = n;
  return true;
}

bool WantsHelp(const Args& args) {
  for (const auto& a : args)
    if (a == "-h" || a == "--help") return true;
  return false;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw Error("cannot open " + path + ": " + std::strerror(errno));
  std::vector<uint8_t> bytes;
  uint8_t chunk[1 << 16];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  bool failed = std::ferror(f);
  std::fclose(f);
  if (failed) throw Error("cannot read " + path);
  return bytes;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw Error("cannot create " + path + ": " + std::strerror(errno));
  bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) throw Error("cannot write " + path);
}

}  // namespace upkit::cli
