// A fresh temporary folder per test, removed afterwards. Paths are UTF-8.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "pack/host_fs.h"

namespace upkit::test {

class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    root_ = std::filesystem::temp_directory_path() /
            ("upkit-pack-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(root_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string Path(const std::string& relative = "") const {
    return pack::Utf8Path(relative.empty() ? root_ : root_ / pack::HostPath(relative));
  }
  void Write(const std::string& relative, const std::vector<uint8_t>& bytes) const {
    std::filesystem::path p = root_ / pack::HostPath(relative);
    std::filesystem::create_directories(p.parent_path());
    pack::WriteHostFile(pack::Utf8Path(p), bytes);
  }
  void WriteText(const std::string& relative, const std::string& text) const {
    Write(relative, std::vector<uint8_t>(text.begin(), text.end()));
  }

 private:
  std::filesystem::path root_;
};

}  // namespace upkit::test
