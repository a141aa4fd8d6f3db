#include "tests/install/support.h"

#include "codec/crc32.h"
#include "codec/error.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>

namespace upkit::test {

namespace {

void RemoveTree(const std::string& folder) {
  WIN32_FIND_DATAA data;
  HANDLE find = ::FindFirstFileA((folder + "*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      std::string full = folder + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(full + "\\");
      } else {
        ::SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileA(full.c_str());
      }
    } while (::FindNextFileA(find, &data));
    ::FindClose(find);
  }
  ::RemoveDirectoryA(folder.c_str());
}

}  // namespace

TempFolder::TempFolder() {
  static std::atomic<int> counter{0};
  char temp[MAX_PATH];
  DWORD length = ::GetTempPathA(sizeof temp, temp);
  std::string base(temp, length);
  for (;;) {
    path_ = base + "upkit-engine-" + std::to_string(::GetCurrentProcessId()) + "-" +
            std::to_string(counter++) + "\\";
    if (::CreateDirectoryA(path_.c_str(), nullptr)) break;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) {
      ADD_FAILURE() << "cannot create " << path_;
      break;
    }
  }
}

TempFolder::~TempFolder() { RemoveTree(path_); }

std::vector<std::string> TempFolder::Names() const { return NamesIn(path_); }

std::vector<std::string> NamesIn(const std::string& folder) {
  std::string pattern = folder;
  if (pattern.empty() || pattern.back() != '\\') pattern += '\\';
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE find = ::FindFirstFileA((pattern + "*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = data.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (::FindNextFileA(find, &data));
  ::FindClose(find);
  return names;
}

void ClearPendingRenames() {
  ::RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager",
                       "PendingFileRenameOperations");
}

void WriteBytes(const std::string& file_name, const Bytes& bytes) {
  HANDLE file = ::CreateFileA(file_name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << file_name;
  DWORD written = 0;
  if (!bytes.empty()) ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(file);
  ASSERT_EQ(written, bytes.size());
}

void WriteText(const std::string& file_name, const std::string& text) {
  WriteBytes(file_name, Bytes(text.begin(), text.end()));
}

Bytes ReadBytes(const std::string& file_name) {
  HANDLE file = ::CreateFileA(file_name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  Bytes bytes(::GetFileSize(file, nullptr));
  DWORD read = 0;
  if (!bytes.empty()) ::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  ::CloseHandle(file);
  bytes.resize(read);
  return bytes;
}

bool Exists(const std::string& file_name) {
  return ::GetFileAttributesA(file_name.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& e) {
    return e.Message();
  }
  return "(nothing raised)";
}

std::string ProgramFolder() {
  char buffer[MAX_PATH];
  DWORD length = ::GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  std::string name(buffer, length);
  return name.substr(0, name.rfind('\\') + 1);
}

bool RunningOnWine() {
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

Writer& Writer::U8(uint8_t v) {
  bytes.push_back(v);
  return *this;
}
Writer& Writer::U16(uint16_t v) { return U8(v & 0xFF).U8(v >> 8); }
Writer& Writer::I32(int32_t v) {
  uint32_t u = static_cast<uint32_t>(v);
  return U16(u & 0xFFFF).U16(u >> 16);
}
Writer& Writer::Raw(const std::string& text) {
  bytes.insert(bytes.end(), text.begin(), text.end());
  return *this;
}
Writer& Writer::Raw(const Bytes& data) {
  bytes.insert(bytes.end(), data.begin(), data.end());
  return *this;
}

TFileItem MakeItem(const std::string& name, int32_t action, const Bytes& data) {
  TFileItem item;
  item.OriginName = name;
  item.Action = action;
  item.Data = data;
  item.DataSize = static_cast<int32_t>(data.size());
  return item;
}

std::vector<std::string> RecordingLog::Lines() const {
  std::vector<std::string> lines;
  std::string current;
  for (const LogRun& run : runs) {
    current += run.text;
    if (run.line_end) {
      lines.push_back(current);
      current.clear();
    }
  }
  if (!current.empty()) lines.push_back(current);
  return lines;
}

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

int32_t Crc(const Bytes& bytes) {
  return static_cast<int32_t>(Crc32Block(bytes.data(), static_cast<uint32_t>(bytes.size())));
}

}  // namespace upkit::test
