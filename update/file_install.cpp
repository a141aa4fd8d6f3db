#include "update/file_install.h"

#include <windows.h>

#include "update/engine.h"
#include "update/win32_error.h"

namespace upkit {

TempFileBeside::TempFileBeside(const std::string& target) {
  std::string folder = FolderPart(target);
  char temp[MAX_PATH];
  if (::GetTempFileNameA(folder.empty() ? "." : folder.c_str(), "upk", 0, temp) == 0) {
    RaiseLastSystemError();
  }
  name_ = temp;
}

TempFileBeside::~TempFileBeside() {
  if (!placed_) ::DeleteFileA(name_.c_str());
}

FileHandle TempFileBeside::OpenForWriting() const {
  FileHandle file(::CreateFileA(name_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) RaiseLastSystemError();
  return file;
}

PlaceOutcome TempFileBeside::MoveOver(const std::string& target) {
  if (!::MoveFileExA(name_.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    RaiseLastSystemError();
  }
  placed_ = true;
  return PlaceOutcome::kPlaced;
}

}  // namespace upkit
