// Host file access for the authoring side with UTF-8 path strings, so the
// same code handles Cyrillic names on Linux and (through wide paths) on
// Windows. Failures raise upkit::Error naming the file and the cause.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

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

}  // namespace upkit::pack
