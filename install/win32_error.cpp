#include "install/win32_error.h"

#include <windows.h>

#include "codec/error.h"

namespace upkit {

std::string SystemMessage(uint32_t code) {
  // 256 characters at most: a longer text does not fit and gives no message.
  char buffer[256];
  DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  nullptr, code, 0, buffer, sizeof buffer, nullptr);
  if (length > sizeof buffer) length = 0;
  // Drop the system's closing full stop and line end so text can follow.
  while (length > 0 && (static_cast<unsigned char>(buffer[length - 1]) <= ' ' ||
                        buffer[length - 1] == '.')) {
    --length;
  }
  return std::string(buffer, length);
}

std::string SystemErrorText(uint32_t code) {
  if (code == 0) return kOsCallFailed;
  // The code is shown as a signed 32-bit decimal (HRESULTs come out negative).
  // No printf: the C runtime's formatter alone would be a quarter of the stub.
  return "System Error.  Code: " + std::to_string(static_cast<int32_t>(code)) + ".\r\n" +
         SystemMessage(code);
}

void RaiseSystemError(uint32_t code) { throw Error(SystemErrorText(code)); }

void RaiseLastSystemError() { RaiseSystemError(::GetLastError()); }

std::string AbsoluteFileName(const std::string& file_name) {
  char buffer[MAX_PATH];
  char* name_part = nullptr;
  DWORD length = ::GetFullPathNameA(file_name.c_str(), sizeof buffer, buffer, &name_part);
  if (length == 0 || length >= sizeof buffer) return file_name;
  return std::string(buffer, length);
}

}  // namespace upkit
