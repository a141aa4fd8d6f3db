#include "pack/host_fs.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
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
#include <fcntl.h>
#include <sys/stat.h>
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

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

#ifdef _WIN32
FileByteSource::FileByteSource(const std::string& utf8_path) : path_(utf8_path) {
  std::FILE* f = _wfopen(HostPath(utf8_path).c_str(), L"rb");
  if (!f) throw Error("cannot open " + utf8_path + ": " + std::strerror(errno));
  file_ = f;
  if (_fseeki64(f, 0, SEEK_END) != 0) {
    std::fclose(f);
    throw Error("cannot read " + utf8_path);
  }
  size_ = uint64_t(_ftelli64(f));
}

FileByteSource::~FileByteSource() { std::fclose(static_cast<std::FILE*>(file_)); }

void FileByteSource::Read(uint64_t offset, uint8_t* out, size_t length) const {
  std::lock_guard<std::mutex> hold(lock_);
  auto* f = static_cast<std::FILE*>(file_);
  if (length > size_ || offset > size_ - length || _fseeki64(f, int64_t(offset), SEEK_SET) != 0 ||
      std::fread(out, 1, length, f) != length)
    throw Error("cannot read " + path_);
}
#else
FileByteSource::FileByteSource(const std::string& utf8_path) : path_(utf8_path) {
  fd_ = ::open(HostPath(utf8_path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw Error("cannot open " + utf8_path + ": " + std::strerror(errno));
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    ::close(fd_);
    throw Error("cannot read " + utf8_path + ": " + std::strerror(errno));
  }
  size_ = uint64_t(st.st_size);
}

FileByteSource::~FileByteSource() { ::close(fd_); }

void FileByteSource::Read(uint64_t offset, uint8_t* out, size_t length) const {
  if (length > size_ || offset > size_ - length) throw Error("cannot read " + path_ + ": past its end");
  while (length) {
    ssize_t got = ::pread(fd_, out, length, off_t(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) throw Error("cannot read " + path_ + (got < 0 ? ": " + std::string(std::strerror(errno)) : ": it shrank"));
    out += got;
    offset += uint64_t(got);
    length -= size_t(got);
  }
}
#endif

ByteProgress::ByteProgress(std::string label, uint64_t total)
    : label_(std::move(label)), total_(total), start_ms_(NowMs()) {}

ByteProgress::~ByteProgress() {
  if (shown_ms_ >= 0) std::fprintf(stderr, "\r%s done\033[K\n", label_.c_str());
}

void ByteProgress::Add(uint64_t bytes) {
  static const bool tty = StderrIsTerminal();
  const uint64_t done = done_ += bytes;
  if (!tty) return;
  const int64_t now = NowMs();
  std::lock_guard<std::mutex> hold(lock_);
  if (shown_ms_ >= 0 && now - shown_ms_ < 250 && done < total_) return;
  shown_ms_ = now;
  const double mib = 1024.0 * 1024.0, seconds = std::max<int64_t>(now - start_ms_, 1) / 1000.0;
  std::fprintf(stderr, "\r%s %.1f of %.1f MiB, %.0f MB/s\033[K", label_.c_str(), double(done) / mib,
               double(total_) / mib, double(done) / 1e6 / seconds);
  std::fflush(stderr);
}

}  // namespace upkit::pack
