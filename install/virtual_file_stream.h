// A file on disk presented as a memory stream: the stream's memory is a
// read-only view of the whole file, mapped without copying. The engine no
// longer computes its CRC checks over it (install/file_crc.h reads files in
// bounded blocks instead: a whole-file view fails beyond the address space,
// and a read error on a mapped page is a structured exception).
//
// Invariants after construction: Memory() is the start of the view, Size()
// the file's size (low 32 bits), Position() 0. The stream owns the file
// handle, the mapping and the view; destruction releases them in the order
// view, mapping, file. The size never changes.
// Win32 only.
#pragma once

#include <cstdint>
#include <string>

#include "container/stream.h"
#include "install/win32_handle.h"

namespace upkit {

class TVirtualFileStream : public MemoryStream {
 public:
  static constexpr uint8_t kReadMode = 0;

  // Mode 0 opens the existing file for reading (others may read and write
  // it), maps it read-only and views all of it. Raises Error with the
  // system's message text when opening, mapping or viewing fails (a missing
  // file, an empty file, a file too large for the address space); nothing
  // stays open then. Modes 1 and 2 raise
  // "TVirtualFileStream: write modes are not supported".
  TVirtualFileStream(const std::string& file_name, uint8_t mode);
  ~TVirtualFileStream() override;

  // Always raises Error("TVirtualFileStream"): the mapping never changes size.
  [[noreturn]] void SetSize(uint64_t size);

  uint8_t Mode() const { return mode_; }

 private:
  uint8_t mode_ = kReadMode;
  FileHandle file_;
  KernelHandle mapping_;
  MappedView view_;
};

}  // namespace upkit
