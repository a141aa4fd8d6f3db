#include "tools/upkit/cli.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "codec/error.h"
#include "pack/host_fs.h"

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

namespace {

uint32_t At32(const std::vector<uint8_t>& b, size_t at) {
  return at + 4 <= b.size() ? uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
                                  uint32_t(b[at + 3]) << 24
                            : 0;
}

// Where the sections of a PE file end (its overlay starts), from its first
// bytes; 0 when they do not hold PE headers.
uint64_t ImageEnd(const std::vector<uint8_t>& head) {
  if (head.size() < 64 || head[0] != 'M' || head[1] != 'Z') return 0;
  const size_t pe = At32(head, 0x3C);
  if (pe > head.size() || head.size() - pe < 24 || At32(head, pe) != 0x4550) return 0;
  const size_t sections = head[pe + 6] | head[pe + 7] << 8, optional = head[pe + 20] | head[pe + 21] << 8;
  const size_t table = pe + 24 + optional;
  if (table > head.size() || (head.size() - table) / 40 < sections) return 0;
  uint64_t end = 0;
  for (size_t i = 0; i < sections; ++i)
    end = std::max<uint64_t>(end, uint64_t{At32(head, table + 40 * i + 20)} + At32(head, table + 40 * i + 16));
  return end;
}

}  // namespace

std::vector<uint8_t> ReadImageOrFile(const std::string& path) {
#ifdef _WIN32
  std::FILE* f = _wfopen(pack::HostPath(path).c_str(), L"rb");  // UTF-8 names, as the other host files
#else
  std::FILE* f = std::fopen(path.c_str(), "rb");
#endif
  if (!f) throw Error("cannot open " + path + ": " + std::strerror(errno));
  std::vector<uint8_t> bytes(1 << 16);
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
  // An update executable's overlay may hold gigabytes of payloads: its
  // package lies in the image, so only the image is read.
  uint64_t end = ImageEnd(bytes);
  uint64_t want = end != 0 ? end : UINT64_MAX;
  uint8_t chunk[1 << 16];
  while (bytes.size() < want) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof chunk, want - bytes.size()));
    size_t got = std::fread(chunk, 1, n, f);
    if (got == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
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
