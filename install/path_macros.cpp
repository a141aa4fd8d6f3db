#include "install/path_macros.h"

#include <windows.h>

#include <cstddef>

namespace upkit {

namespace {

constexpr char kDriveMacro[] = "$DRIVE$\\";
constexpr char kSetDirMacro[] = "$SETDIR$\\";
constexpr char kPathMacro[] = "$PATH$\\";
constexpr char kProgramFiles[] = "Program Files\\";

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// True when `text` starts with `macro` (a lower-case literal); only A..Z fold.
template <size_t N>
bool StartsWith(const std::string& text, const char (&macro)[N]) {
  constexpr size_t length = N - 1;
  if (text.size() < length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (LowerAscii(text[i]) != LowerAscii(macro[i])) return false;
  }
  return true;
}

// "C:\": the first three characters of the system folder with a final "\".
std::string SystemRoot() {
  char buffer[261];
  UINT length = ::GetSystemDirectoryA(buffer, sizeof buffer);
  std::string folder = length < sizeof buffer ? std::string(buffer, length) : std::string();
  if (folder.empty() || folder.back() != '\\') folder += '\\';
  return folder.substr(0, 3);
}

// The running program's folder, up to and including its last "\".
std::string ProgramFolder() {
  char buffer[260];
  DWORD length = ::GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  if (length >= sizeof buffer) length = 0;
  std::string name(buffer, length);
  size_t slash = name.rfind('\\');
  return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

}  // namespace

bool StartsWithPathMacro(const std::string& text) {
  return StartsWith(text, kDriveMacro) || StartsWith(text, kSetDirMacro) ||
         StartsWith(text, kPathMacro);
}

std::string ExpandPathMacros(const std::string& text) {
  if (StartsWith(text, kDriveMacro)) return SystemRoot() + text.substr(sizeof kDriveMacro - 1);
  if (StartsWith(text, kSetDirMacro)) {
    return SystemRoot() + kProgramFiles + text.substr(sizeof kSetDirMacro - 1);
  }
  if (StartsWith(text, kPathMacro)) return ProgramFolder() + text.substr(sizeof kPathMacro - 1);
  return text;
}

}  // namespace upkit
