#include "pack/host_fs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "codec/error.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define RtlGenRandom SystemFunction036
extern "C" BOOLEAN NTAPI RtlGenRandom(PVOID buffer, ULONG length);
#else
#include <unistd.h>
#endif

namespace upkit::pack {

std::filesystem::path HostPath(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Path(const std::filesystem::path& path) {
  std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

std::vector<uint8_t> ReadHostFile(const std::string& utf8_path) {
  std::ifstream in(HostPath(utf8_path), std::ios::binary);
  if (!in) throw Error("cannot open " + utf8_path + ": " + std::strerror(errno));
  std::vector<uint8_t> bytes;
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  in.seekg(0, std::ios::beg);
  if (size > 0) {
    bytes.resize(static_cast<size_t>(size));
    in.read(reinterpret_cast<char*>(bytes.data()), size);
  }
  if (!in && size > 0) throw Error("cannot read " + utf8_path);
  return bytes;
}

void WriteHostFile(const std::string& utf8_path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(HostPath(utf8_path), std::ios::binary | std::ios::trunc);
  if (!out) throw Error("cannot create " + utf8_path + ": " + std::strerror(errno));
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw Error("cannot write " + utf8_path);
}

void SystemRandom(uint8_t* out, size_t size) {
#ifdef _WIN32
  if (!RtlGenRandom(out, static_cast<ULONG>(size))) throw Error("the system random source failed");
#else
  std::FILE* f = std::fopen("/dev/urandom", "rb");
  if (!f) throw Error(std::string("cannot open /dev/urandom: ") + std::strerror(errno));
  size_t got = std::fread(out, 1, size, f);
  std::fclose(f);
  if (got != size) throw Error("cannot read /dev/urandom");
#endif
}

bool StderrIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

Progress::Progress(std::string label) : label_(std::move(label)) {}

Progress::~Progress() {
  if (shown_) std::fprintf(stderr, "\r%s done\033[K\n", label_.c_str());
}

void Progress::Update(uint64_t done, uint64_t total) {
  static const bool tty = StderrIsTerminal();
  if (!tty || total == 0) return;
  int percent = static_cast<int>(done * 100 / total);
  if (percent == last_) return;
  last_ = percent;
  shown_ = true;
  std::fprintf(stderr, "\r%s %3d%%", label_.c_str(), percent);
  std::fflush(stderr);
}

void Progress::UpdateBytes(uint64_t done, uint64_t total) {
  static const bool tty = StderrIsTerminal();
  if (!tty || total == 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (start_ == std::chrono::steady_clock::time_point{}) start_ = now;
  if (done != total && now - shown_at_ < std::chrono::milliseconds(100)) return;
  shown_at_ = now;
  shown_ = true;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds / 1e6 : 0.0;
  std::fprintf(stderr, "\r%s %3d%% %llu/%llu MB %.1f MB/s\033[K", label_.c_str(), static_cast<int>(done * 100 / total),
               static_cast<unsigned long long>(done >> 20), static_cast<unsigned long long>(total >> 20), rate);
  std::fflush(stderr);
}

}  // namespace upkit::pack
