// The replace content of an item, from its Data or, for a payload in the
// overlay, from the installer's own file.
#include <windows.h>

#include <string>

#include "codec/error.h"
#include "install/actions.h"
#include "install/file_install.h"
#include "package/overlay_payload.h"
#include "install/win32_error.h"
#include "install/win32_handle.h"

namespace upkit {

namespace {

// The running installer's own file, opened by its full name. Others may
// read it but not write it while we do (the loader's image mapping only
// reads); every block's checks and the payload's CRC-32 catch the rest. The
// file's end is never needed: a signature appended after the overlay
// changes nothing before it.
class OwnFileSource : public OverlaySource {
 public:
  OwnFileSource() {
    std::wstring name(32768, L'\0');
    DWORD n = ::GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (n == 0 || n >= name.size()) RaiseSystemError(n == 0 ? ::GetLastError() : ERROR_INSUFFICIENT_BUFFER);
    name.resize(n);
    file_.Reset(::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file_) RaiseLastSystemError();
  }

  void Read(uint64_t offset, uint8_t* out, size_t length) override {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(file_.Get(), at, nullptr, FILE_BEGIN)) RaiseLastSystemError();
    while (length != 0) {
      DWORD want = length < (1u << 30) ? static_cast<DWORD>(length) : (1u << 30), got = 0;
      if (!::ReadFile(file_.Get(), out, want, &got, nullptr)) RaiseLastSystemError();
      if (got == 0) throw Error(kStreamReadError);  // the file ends before the payload does
      out += got;
      length -= got;
    }
  }

 private:
  FileHandle file_;
};

class HandleSink : public OverlaySink {
 public:
  explicit HandleSink(HANDLE file) : file_(file) {}
  void Write(const uint8_t* bytes, size_t length) override { WriteAll(file_, bytes, length); }

 private:
  HANDLE file_;
};

}  // namespace

void WriteReplaceContent(HANDLE file, const TFileItem& item) {
  if (!item.Overlay.Present()) {
    WriteAll(file, item.Data.data(), ReplaceSize(item));
    return;
  }
  OwnFileSource source;
  HandleSink sink(file);
  ExpandOverlay(item.Overlay, source, sink);
}

}  // namespace upkit
