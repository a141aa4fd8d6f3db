#include "install/file_install.h"

#include <windows.h>

#include <cstring>

#include "codec/error.h"
#include "install/item_report.h"
#include "install/win32_error.h"
#include "texts/texts.h"

namespace upkit {

namespace {

// The longest path the ANSI file functions take, without its terminating zero.
constexpr size_t kLongestPath = MAX_PATH - 1;

bool IsFolder(const std::string& path) {
  DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

void CreateFolders(const std::string& folder) {
  if (folder.empty() || IsFolder(folder)) return;
  // Every prefix that ends before a separator, then the whole folder. The
  // drive or server parts cannot be created and need not be: their failures
  // count only if the folder is still missing at the end.
  DWORD code = ERROR_PATH_NOT_FOUND;
  for (size_t end = 1; end <= folder.size(); ++end) {
    if (end != folder.size() && folder[end] != '\\' && folder[end] != '/') continue;
    std::string part = folder.substr(0, end);
    if (part.back() == ':' || part.back() == '\\' || IsFolder(part)) continue;
    code = ::CreateDirectoryA(part.c_str(), nullptr) ? 0 : ::GetLastError();
  }
  if (!IsFolder(folder)) RaiseSystemError(code != 0 ? code : ERROR_PATH_NOT_FOUND);
}

bool FileInUse(uint32_t code, const std::string& file) {
  if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) return true;
  if (code != ERROR_ACCESS_DENIED) return false;
  // Someone else's handle shows as a sharing violation when we ask for the
  // same access: deletion for an open file, writing for a running program
  // (whose image may be renamed but not written).
  for (DWORD access : {static_cast<DWORD>(DELETE), static_cast<DWORD>(GENERIC_WRITE)}) {
    FileHandle probe(::CreateFileA(file.c_str(), access,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!probe && ::GetLastError() == ERROR_SHARING_VIOLATION) return true;
  }
  return false;
}

bool OnLocalFixedVolume(const std::string& path) {
  std::string full = AbsoluteFileName(path);
  // A share (\\server\share, \\?\UNC\...) is never local; a drive letter is,
  // when its type is fixed and it is not a SUBST of a folder.
  if (full.size() < 3 || full[1] != ':' || full[2] != '\\') return false;
  char root[4] = {full[0], ':', '\\', 0};
  if (::GetDriveTypeA(root) != DRIVE_FIXED) return false;
  char device[MAX_PATH] = {};
  root[2] = 0;
  return ::QueryDosDeviceA(root, device, MAX_PATH) == 0 || std::string(device).rfind("\\??\\", 0) != 0;
}

void ScheduleAtRestart(const std::string& from, const std::string& to) {
  if (!OnLocalFixedVolume(from)) throw Error(PickText(text::kFileInUse));
  // Windows carries out the request at boot, from another current folder:
  // both names must be absolute.
  std::string source = AbsoluteFileName(from);
  std::string destination = to.empty() ? std::string() : AbsoluteFileName(to);
  DWORD flags = MOVEFILE_DELAY_UNTIL_REBOOT | (to.empty() ? 0 : MOVEFILE_REPLACE_EXISTING);
  if (!::MoveFileExA(source.c_str(), to.empty() ? nullptr : destination.c_str(), flags)) {
    RaiseLastSystemError();
  }
}

PlaceOutcome DeleteItemFile(const std::string& file_name) {
  if (::DeleteFileA(file_name.c_str())) return PlaceOutcome::kPlaced;
  DWORD code = ::GetLastError();
  // A file that is not there is already what the action wants.
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return PlaceOutcome::kPlaced;
  if (!FileInUse(code, file_name)) RaiseSystemError(code);
  ScheduleAtRestart(file_name, std::string());
  return PlaceOutcome::kScheduledForRestart;
}

void WriteAll(HANDLE file, const void* data, size_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  while (size != 0) {
    DWORD want = size < (1u << 30) ? static_cast<DWORD>(size) : (1u << 30), written = 0;
    if (!::WriteFile(file, bytes, want, &written, nullptr)) RaiseLastSystemError();
    // A short write is a full disk or quota: the next write says which.
    if (written == 0) RaiseSystemError(ERROR_WRITE_FAULT);
    bytes += written;
    size -= written;
  }
}

void FlushToDisk(HANDLE file) {
  if (!::FlushFileBuffers(file)) RaiseLastSystemError();
}

void CopyContent(const std::string& from, HANDLE to) {
  FileHandle source(::CreateFileA(from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!source) {
    DWORD code = ::GetLastError();
    if (code == ERROR_SHARING_VIOLATION) throw Error(PickText(text::kFileInUse));
    RaiseSystemError(code);
  }
  std::string buffer(64 * 1024, '\0');
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(source.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      RaiseLastSystemError();
    }
    if (got == 0) return;
    WriteAll(to, buffer.data(), got);
  }
}

namespace {

bool IsTempFileName(const char* name) {
  if (std::strlen(name) != 16 || std::strncmp(name, "~upk", 4) != 0 || std::strcmp(name + 12, ".tmp") != 0) {
    return false;
  }
  for (int i = 4; i < 12; ++i) {
    if (!((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'a' && name[i] <= 'f'))) return false;
  }
  return true;
}

// The restart-time moves Windows has been asked for: the registry's list of
// names, each ended by a zero (empty when there are none).
std::string PendingRestartNames() {
  std::string value;
  HKEY key;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return value;
  }
  DWORD type = 0, size = 0;
  if (::RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      type == REG_MULTI_SZ) {
    value.resize(size + 1);  // one more zero, in case the value lacks its own
    if (::RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, nullptr,
                           reinterpret_cast<BYTE*>(value.data()), &size) != ERROR_SUCCESS) {
      value.clear();
    }
  }
  ::RegCloseKey(key);
  return value;
}

// True when `full` is one of the names ("!" and "\\??\\" in front removed).
bool NamedIn(const std::string& names, const std::string& full) {
  for (const char* name = names.c_str(); name < names.c_str() + names.size(); name += std::strlen(name) + 1) {
    const char* bare = name + (*name == '!');
    if (std::strncmp(bare, "\\??\\", 4) == 0) bare += 4;
    if (::lstrcmpiA(bare, full.c_str()) == 0) return true;
  }
  return false;
}

}  // namespace

void RemoveLeftoverTempFiles(const std::string& folder) {
  WIN32_FIND_DATAA found;
  FindHandle search(::FindFirstFileA((folder + "~upk*.tmp").c_str(), &found));
  if (!search) return;
  const std::string pending = PendingRestartNames();
  do {
    if (!IsTempFileName(found.cFileName) || (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    std::string name = folder + found.cFileName;
    if (NamedIn(pending, AbsoluteFileName(name))) continue;
    // Opening without sharing fails while anyone else holds the file; when
    // it succeeds the file goes as the handle closes.
    FileHandle file(::CreateFileA(name.c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  } while (::FindNextFileA(search.Get(), &found));
}

std::string TempFileName(size_t room, uint32_t serial) {
  static const char kHex[] = "0123456789abcdef";
  char digits[8];
  for (int i = 7; i >= 0; --i, serial >>= 4) digits[i] = kHex[serial & 15];
  if (room >= 16) return "~upk" + std::string(digits, 8) + ".tmp";
  if (room < 2) return std::string(1, digits[7]);
  size_t count = room - 1 < 8 ? room - 1 : 8;
  return "~" + std::string(digits + 8 - count, count);
}

TempFileBeside::TempFileBeside(const std::string& target) {
  std::string folder = FolderPart(target);
  CreateFolders(folder);
  // The name may be as long as the target's own name, or longer where the
  // folder leaves room: a deep folder takes no "~upk....tmp" beside a short
  // name, but the target's name length always fits.
  size_t own = target.size() - folder.size();
  size_t room = folder.size() < kLongestPath ? kLongestPath - folder.size() : 0;
  if (room < own) room = own;
  static uint32_t counter = 0;
  const uint32_t base = ::GetTickCount() ^ (::GetCurrentProcessId() << 16);
  // Short names have few values: try each of them once before giving up.
  DWORD code = ERROR_FILE_EXISTS;
  for (uint32_t attempt = 0; attempt < 4096 && code == ERROR_FILE_EXISTS; ++attempt) {
    std::string name = folder + TempFileName(room, base + counter++);
    FileHandle file(::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
      name_ = name;
      file_ = std::move(file);
      return;
    }
    code = ::GetLastError();
    // A folder of that name, or a file waiting to be deleted, also holds it.
    bool taken = code == ERROR_ALREADY_EXISTS ||
                 (code == ERROR_ACCESS_DENIED &&
                  ::GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES);
    if (taken) code = ERROR_FILE_EXISTS;
  }
  RaiseSystemError(code);
}

TempFileBeside::~TempFileBeside() {
  file_.Reset();
  if (!placed_) ::DeleteFileA(name_.c_str());
}

PlaceOutcome TempFileBeside::MoveOver(const std::string& target) {
  // Flushed first: after a power cut the moved file must hold its content.
  if (file_) FlushToDisk(file_.Get());
  file_.Reset();
  if (::MoveFileExA(name_.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    placed_ = true;
    return PlaceOutcome::kPlaced;
  }
  DWORD code = ::GetLastError();
  if (!FileInUse(code, target)) RaiseSystemError(code);
  ScheduleAtRestart(name_, target);
  placed_ = true;
  return PlaceOutcome::kScheduledForRestart;
}

}  // namespace upkit
