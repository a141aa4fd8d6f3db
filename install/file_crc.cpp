#include "install/file_crc.h"

#include <windows.h>

#include <memory>
#include <new>

#include "codec/crc32.h"
#include "install/win32_handle.h"

namespace upkit {

bool FileCrc32(const std::string& file_name, uint32_t* crc) {
  FileHandle file(::CreateFileA(file_name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  LARGE_INTEGER size;
  if (!file || !::GetFileSizeEx(file.Get(), &size) || size.QuadPart <= 0) return false;
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kFileCrcBlock]);
  if (!block) return false;
  // Exactly the size taken at the start: bytes a writer appends meanwhile
  // are not part of the check, and a file that shrinks fails it.
  uint64_t left = static_cast<uint64_t>(size.QuadPart);
  uint32_t value = 0;
  while (left != 0) {
    DWORD wanted = left < kFileCrcBlock ? static_cast<DWORD>(left) : kFileCrcBlock;
    DWORD got = 0;
    if (!::ReadFile(file.Get(), block.get(), wanted, &got, nullptr) || got == 0) return false;
    value = Crc32Update(value, block.get(), got);
    left -= got;
  }
  *crc = value;
  return true;
}

}  // namespace upkit
