#include "install/virtual_file_stream.h"

#include "codec/error.h"
#include "install/win32_error.h"

namespace upkit {

namespace {
// The constructor's failures carry the bare system text, as the file layer gives it.
[[noreturn]] void RaiseLastMessage() { throw Error(SystemMessage(::GetLastError())); }
}  // namespace

TVirtualFileStream::TVirtualFileStream(const std::string& file_name, uint8_t mode) : mode_(mode) {
  if (mode != kReadMode) throw Error("TVirtualFileStream: write modes are not supported");

  file_.Reset(::CreateFileA(file_name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) RaiseLastMessage();
  // Maximum size 0: the mapping covers the file; an empty file is refused here.
  mapping_.Reset(::CreateFileMappingA(file_.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping_) RaiseLastMessage();
  view_.Reset(::MapViewOfFile(mapping_.Get(), FILE_MAP_READ, 0, 0, 0));
  if (!view_) RaiseLastMessage();
  // Members already opened close themselves in reverse order if we throw above.
  SetMemory(view_.Get(), ::GetFileSize(file_.Get(), nullptr));
}

TVirtualFileStream::~TVirtualFileStream() {
  view_.Reset();
  mapping_.Reset();
  file_.Reset();
  SetMemory(nullptr, 0);
}

void TVirtualFileStream::SetSize(uint64_t) { throw Error("TVirtualFileStream"); }

}  // namespace upkit
