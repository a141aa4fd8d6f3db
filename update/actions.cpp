#include "update/actions.h"

#include <windows.h>
#include <shellapi.h>

#include <cstring>
#include <exception>
#include <vector>

#include "codec/error.h"
#include "container/stream.h"
#include "texts/texts.h"
#include "update/delta_action.h"
#include "update/engine.h"
#include "update/file_install.h"
#include "update/win32_error.h"
#include "update/win32_handle.h"

namespace upkit {

namespace {

// The item's payload as a stream. A negative DataSize has no Data to copy
// ("Stream write error", as copying a negative count fails); a DataSize
// beyond the bytes held cannot be read ("Stream read error").
MemoryStream PayloadStream(const TFileItem& item) {
  if (item.DataSize < 0) throw Error(kStreamWriteError);
  if (static_cast<size_t>(item.DataSize) > item.Data.size()) throw Error(kStreamReadError);
  return MemoryStream(item.Data.data(), static_cast<size_t>(item.DataSize));
}

template <typename T>
T ReadValue(Stream& stream) {
  unsigned char bytes[sizeof(T)];
  stream.ReadExact(bytes, sizeof bytes);
  uint32_t value = 0;  // little-endian
  for (size_t i = sizeof(T); i-- > 0;) value = (value << 8) | bytes[i];
  return static_cast<T>(value);
}

// A resource type or name: a number, or a text kept zero-terminated.
struct ResourceId {
  bool is_text = false;
  uint16_t number = 0;
  std::string text;
  const char* Pointer() const { return is_text ? text.c_str() : MAKEINTRESOURCEA(number); }
};

ResourceId ReadResourceId(Stream& stream) {
  ResourceId id;
  id.is_text = ReadValue<uint8_t>(stream) != 0;
  uint16_t value = ReadValue<uint16_t>(stream);
  if (!id.is_text) {
    id.number = value;
  } else {
    if (value > stream.Remaining()) throw Error(kStreamReadError);
    id.text.resize(value);
    stream.ReadExact(id.text.data(), value);
  }
  return id;
}

void WriteResourceEntries(HANDLE update, Stream& list) {
  int32_t count = ReadValue<int32_t>(list);
  for (int32_t i = 0; i < count; ++i) {
    ResourceId type = ReadResourceId(list);
    ResourceId name = ReadResourceId(list);
    uint16_t language = ReadValue<uint16_t>(list);
    uint32_t size = ReadValue<uint32_t>(list);
    // Check before allocating: the content must be there in full.
    if (size > list.Remaining()) throw Error(kStreamReadError);
    std::vector<unsigned char> content(size);
    list.ReadExact(content.data(), size);
    // Size 0 passes no content, which removes the resource. The outcome is
    // not looked at: the end step reports a failed update.
    ::UpdateResourceA(update, type.Pointer(), name.Pointer(), language,
                      size != 0 ? content.data() : nullptr, size);
  }
}

// Creates (or empties) the file and writes `size` bytes in one request.
// Returns the system error code of the failing call, 0 on success.
DWORD CreateAndWrite(const std::string& file_name, const void* data, DWORD size, DWORD* written) {
  *written = 0;
  FileHandle file(::CreateFileA(file_name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return ::GetLastError();
  if (size != 0 && !::WriteFile(file.Get(), data, size, written, nullptr)) return ::GetLastError();
  if (*written != size) return ERROR_WRITE_FAULT;
  return 0;
}

bool MoveTo(HANDLE file, int64_t position) {
  LARGE_INTEGER distance;
  distance.QuadPart = position;
  return ::SetFilePointerEx(file, distance, nullptr, FILE_BEGIN) != 0;
}

// Writes `count` bytes at `offset`; a negative offset has no defined place.
void WriteAt(HANDLE file, int32_t offset, const void* bytes, DWORD count) {
  if (offset < 0) throw Error(kStreamWriteError);
  DWORD written = 0;
  if (!MoveTo(file, offset) || !::WriteFile(file, bytes, count, &written, nullptr) ||
      written != count) {
    throw Error(kStreamWriteError);
  }
}

// The code the shell's ShellExecuteA result (32 or less) stands for.
DWORD ShellResultCode(INT_PTR result) {
  switch (result) {
    case 0: return ERROR_OUTOFMEMORY;
    case SE_ERR_SHARE: return ERROR_SHARING_VIOLATION;
    case SE_ERR_ASSOCINCOMPLETE:
    case SE_ERR_NOASSOC: return ERROR_NO_ASSOCIATION;
    case SE_ERR_DDETIMEOUT:
    case SE_ERR_DDEFAIL:
    case SE_ERR_DDEBUSY: return ERROR_DDE_FAIL;
    case SE_ERR_DLLNOTFOUND: return ERROR_DLL_NOT_FOUND;
    default: return static_cast<DWORD>(result);  // 2, 3, 5, 8, 11 are system codes already
  }
}

}  // namespace

void WriteResourceList(const std::string& file_name, const TFileItem& item, ResultsLog& log) {
  HANDLE update = nullptr;
  std::exception_ptr failure;
  try {
    MemoryStream list = PayloadStream(item);
    update = ::BeginUpdateResourceA(file_name.c_str(), FALSE);
    if (update == nullptr) RaiseLastSystemError();
    WriteResourceEntries(update, list);
  } catch (...) {
    failure = std::current_exception();
  }
  // Always end and commit, also after a failure: entries already passed are
  // kept. When the update was never begun this fails, and says so in red.
  ::SetLastError(0);
  BOOL ended = ::EndUpdateResourceA(update, FALSE);
  DWORD code = ended ? 0 : ::GetLastError();
  if (code != 0) {
    log.AppendLogLine(std::string(PickText(text::kResourcesErrorWriting)) + SystemMessage(code),
                      kLogRed);
  }
  if (failure) std::rethrow_exception(failure);
}

void ApplyPatchList(const std::string& file_name, const TFileItem& item) {
  MemoryStream list = PayloadStream(item);
  ReadValue<uint32_t>(list);  // reserved
  int32_t new_size = ReadValue<int32_t>(list);
  int32_t kind = ReadValue<int32_t>(list);
  int32_t count = ReadValue<int32_t>(list);
  // A negative size has no defined end: refuse before the file is touched.
  if (new_size < 0) throw Error(kStreamWriteError);

  FileHandle file(::CreateFileA(file_name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    DWORD code = ::GetLastError();
    throw Error("Cannot open file \"" + AbsoluteFileName(file_name) + "\". " + SystemMessage(code));
  }

  LARGE_INTEGER size;
  if (!::GetFileSizeEx(file.Get(), &size)) RaiseLastSystemError();
  if (size.QuadPart != new_size) {
    if (!MoveTo(file.Get(), new_size) || !::SetEndOfFile(file.Get())) RaiseLastSystemError();
  }

  if (kind == 0) {
    for (int32_t i = 0; i < count; ++i) {
      int32_t offset = ReadValue<int32_t>(list);
      uint8_t value = ReadValue<uint8_t>(list);
      WriteAt(file.Get(), offset, &value, 1);
    }
  } else if (kind == 1) {
    for (int32_t i = 0; i < count; ++i) {
      int32_t offset = ReadValue<int32_t>(list);
      int32_t length = ReadValue<int32_t>(list);
      if (length <= 0) continue;
      if (offset < 0) throw Error(kStreamWriteError);
      // The bytes are applied as they are read: a run cut short leaves the
      // bytes that were there in the file, then fails.
      uint64_t available = list.Remaining();
      DWORD here = length > static_cast<int64_t>(available) ? static_cast<DWORD>(available)
                                                           : static_cast<DWORD>(length);
      if (here != 0) {
        WriteAt(file.Get(), offset, list.Memory() + list.Position(), here);
        list.Seek(list.Position() + here);
      }
      if (here != static_cast<DWORD>(length)) throw Error(kStreamReadError);
    }
  }
}

int32_t WriteFileFromMemory(const std::string& file_name, const void* data, int32_t size) {
  DWORD written = 0;
  DWORD count = size > 0 ? static_cast<DWORD>(size) : 0;
  if (CreateAndWrite(file_name, data, count, &written) != 0) return 0;
  return static_cast<int32_t>(written);
}

PlaceOutcome ReplaceItemFile(const std::string& file_name, const TFileItem& item) {
  // Never delete the old file first: write a temporary file beside it and
  // move that over the target in one step.
  TempFileBeside temp(file_name);
  DWORD count = 0;
  if (item.DataSize > 0) {
    if (static_cast<size_t>(item.DataSize) > item.Data.size()) throw Error(kStreamReadError);
    count = static_cast<DWORD>(item.DataSize);
  }
  DWORD written = 0;
  DWORD code = CreateAndWrite(temp.Name(), item.Data.data(), count, &written);
  if (code != 0) RaiseSystemError(code);
  return temp.MoveOver(file_name);
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

void OpenWithShell(const std::string& file_name) {
  std::string folder = FolderPart(file_name);
  HINSTANCE result = ::ShellExecuteA(nullptr, "open", file_name.c_str(), nullptr,
                                     folder.empty() ? nullptr : folder.c_str(), SW_SHOWNORMAL);
  INT_PTR value = reinterpret_cast<INT_PTR>(result);
  if (value <= 32) RaiseSystemError(ShellResultCode(value));
}

PlaceOutcome PerformAction(const std::string& file_name, const TFileItem& item, ResultsLog& log) {
  switch (item.Action) {
    case 1: WriteResourceList(file_name, item, log); break;
    case 2: ApplyPatchList(file_name, item); break;
    case 3: return ReplaceItemFile(file_name, item);
    case 4: return DeleteItemFile(file_name);
    case 5: OpenWithShell(file_name); break;
    case 6: return ApplyDeltaItem(file_name, item);
    default: break;  // unknown actions do nothing
  }
  return PlaceOutcome::kPlaced;
}

}  // namespace upkit
