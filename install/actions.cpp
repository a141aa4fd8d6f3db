#include "install/actions.h"

#include <windows.h>
#include <shellapi.h>

#include <cstring>
#include <vector>

#include "codec/error.h"
#include "install/delta_action.h"
#include "install/file_install.h"
#include "install/item_report.h"
#include "install/win32_error.h"
#include "install/win32_handle.h"
#include "package/item_lists.h"
#include "texts/texts.h"

namespace upkit {

namespace {

// The number of payload bytes to read. A negative DataSize has no Data to
// copy ("Stream write error", as copying a negative count fails); a DataSize
// beyond the bytes held cannot be read ("Stream read error").
size_t PayloadSize(const TFileItem& item) {
  if (item.DataSize < 0) throw Error(kStreamWriteError);
  if (static_cast<size_t>(item.DataSize) > item.Data.size()) throw Error(kStreamReadError);
  return static_cast<size_t>(item.DataSize);
}

// A resource type or name as UpdateResourceA takes it.
const char* IdPointer(const ResourceListId& id) {
  return id.is_text ? id.text.c_str() : MAKEINTRESOURCEA(id.number);
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

size_t ReplaceSize(const TFileItem& item) {
  if (item.DataSize <= 0) return 0;
  if (static_cast<size_t>(item.DataSize) > item.Data.size()) throw Error(kStreamReadError);
  return static_cast<size_t>(item.DataSize);
}

namespace {

// Ends and commits a resource update, also after a failure: entries already
// passed are kept. When the update was never begun this fails, and says so
// in red; after no earlier failure that also fails the item, since nothing
// was committed.
void EndResourceUpdate(HANDLE update, bool failed_before, ResultsLog& log) {
  ::SetLastError(0);
  if (::EndUpdateResourceA(update, FALSE)) return;
  DWORD code = ::GetLastError();
  if (code != 0) {
    log.AppendLogLine(std::string(PickText(text::kResourcesErrorWriting)) + SystemMessage(code), kLogRed);
  }
  if (!failed_before) RaiseSystemError(code);
}

}  // namespace

void WriteResourceList(const std::string& file_name, const TFileItem& item, ResultsLog& log) {
  HANDLE update = nullptr;
  try {
    ResourceList list = ReadResourceList(item.Data.data(), PayloadSize(item));
    update = ::BeginUpdateResourceA(file_name.c_str(), FALSE);
    if (update == nullptr) RaiseLastSystemError();
    for (const ResourceListEntry& entry : list.entries) {
      // Size 0 passes no content, which removes the resource. The outcome is
      // not looked at: the end step reports a failed update.
      ::UpdateResourceA(update, IdPointer(entry.type), IdPointer(entry.name), entry.language,
                        entry.size != 0 ? const_cast<uint8_t*>(entry.content) : nullptr,
                        entry.size);
    }
    // The entries read before a list ends early are committed with the rest.
    if (list.error) throw Error(list.error);
  } catch (...) {
    EndResourceUpdate(update, true, log);
    throw;  // the first failure is the item's
  }
  EndResourceUpdate(update, false, log);
}

void ApplyPatchList(const std::string& file_name, const TFileItem& item) {
  // The whole list is read and checked first: a list that would fail
  // part-way fails before the file is touched.
  PatchList list = ReadPatchList(item.Data.data(), PayloadSize(item));

  FileHandle file(::CreateFileA(file_name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    DWORD code = ::GetLastError();
    throw Error("Cannot open file \"" + AbsoluteFileName(file_name) + "\". " + SystemMessage(code));
  }

  ApplyPatchTo(file.Get(), list);
}

void ApplyPatchTo(HANDLE file, const PatchList& list) {
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(file, &size)) RaiseLastSystemError();
  if (size.QuadPart != list.new_size) {
    if (!MoveTo(file, list.new_size) || !::SetEndOfFile(file)) RaiseLastSystemError();
  }

  for (const PatchRecord& record : list.records) {
    DWORD written = 0;
    if (!MoveTo(file, record.offset) ||
        !::WriteFile(file, record.bytes, record.count, &written, nullptr) ||
        written != record.count) {
      throw Error(kStreamWriteError);
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
  WriteReplaceContent(temp.Handle(), item);
  return temp.MoveOver(file_name);
}

void OpenWithShell(const std::string& file_name) {
  std::string folder = FolderPart(file_name);
  HINSTANCE result = ::ShellExecuteA(nullptr, "open", file_name.c_str(), nullptr,
                                     folder.empty() ? nullptr : folder.c_str(), SW_SHOWNORMAL);
  INT_PTR value = reinterpret_cast<INT_PTR>(result);
  if (value <= 32) RaiseSystemError(ShellResultCode(value));
}

PlaceOutcome PerformAction(const std::string& file_name, const TFileItem& item, ResultsLog& log,
                           const std::string& base_file) {
  switch (item.Action) {
    case 1: WriteResourceList(file_name, item, log); break;
    case 2: ApplyPatchList(file_name, item); break;
    case 3: return ReplaceItemFile(file_name, item);
    case 4: return DeleteItemFile(file_name);
    case 5: OpenWithShell(file_name); break;
    case 6: return ApplyDeltaItem(file_name, item, base_file);
    default: break;  // unknown actions do nothing
  }
  return PlaceOutcome::kPlaced;
}

}  // namespace upkit
