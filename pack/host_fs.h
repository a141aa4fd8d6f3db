// Host file access for the authoring side with UTF-8 path strings, so the
// same code handles Cyrillic names on Linux and (through wide paths) on
// Windows. Failures raise upkit::Error naming the file and the cause.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "delta/delta_blocks.h"

namespace upkit::pack {

std::filesystem::path HostPath(std::string_view utf8);
std::string Utf8Path(const std::filesystem::path& path);

std::vector<uint8_t> ReadHostFile(const std::string& utf8_path);
void WriteHostFile(const std::string& utf8_path, const std::vector<uint8_t>& bytes);

// Fills `out` with 32 bytes from the system's cryptographic random source.
void SystemRandom(uint8_t* out, size_t size);

// True when stderr is a terminal (progress lines are shown only then).
bool StderrIsTerminal();

// A progress line on stderr ("\r<label> <percent>%"), only on a terminal.
class Progress {
 public:
  explicit Progress(std::string label);
  ~Progress();
  void Update(uint64_t done, uint64_t total);
  // The same with the bytes done of all and the rate since the first call
  // ("\r<label> 37% 1200/3200 MB 45.1 MB/s"), shown at most ten times a second.
  void UpdateBytes(uint64_t done, uint64_t total);
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

 private:
  std::string label_;
  bool shown_ = false;
  int last_ = -1;
  std::chrono::steady_clock::time_point start_{}, shown_at_{};
};

// A host file (UTF-8 path), opened for reading; raises Error naming it.
class FileByteSource : public ByteSource {
 public:
  explicit FileByteSource(const std::string& utf8_path);
  ~FileByteSource() override;
  FileByteSource(const FileByteSource&) = delete;
  FileByteSource& operator=(const FileByteSource&) = delete;
  uint64_t Size() const override { return size_; }
  void Read(uint64_t offset, uint8_t* out, size_t length) const override;

 private:
  std::string path_;
  uint64_t size_ = 0;
#ifdef _WIN32
  void* file_ = nullptr;  // std::FILE*, whose seek and read go under the lock
  mutable std::mutex lock_;
#else
  int fd_ = -1;
#endif
};

// Bytes done and the rate on stderr ("\r<label> 1.5 of 6.0 GiB, 210 MB/s"),
// redrawn at most four times a second, only on a terminal. Add may be
// called from several threads.
class ByteProgress : public ByteCounter {
 public:
  ByteProgress(std::string label, uint64_t total);
  ~ByteProgress();
  void Add(uint64_t bytes) override;
  ByteProgress(const ByteProgress&) = delete;
  ByteProgress& operator=(const ByteProgress&) = delete;

 private:
  std::string label_;
  uint64_t total_;
  std::atomic<uint64_t> done_{0};
  std::mutex lock_;
  int64_t start_ms_, shown_ms_ = -1;
};

}  // namespace upkit::pack
