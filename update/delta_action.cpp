#include "update/delta_action.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/crc32.h"
#include "codec/error.h"
#include "texts/texts.h"
#include "update/delta.h"
#include "update/win32_error.h"
#include "update/win32_handle.h"

namespace upkit {

namespace {

// Size of the old file's read window and of the new file's write buffer:
// all the memory the action needs beside the item's own Data.
constexpr size_t kBlock = 64 * 1024;

// Reads exactly `length` bytes at `offset` in requests of at most kBlock
// bytes. A file that ends early has changed under us: "Stream read error".
void ReadAt(HANDLE file, uint64_t offset, uint8_t* out, size_t length) {
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  if (!::SetFilePointerEx(file, distance, nullptr, FILE_BEGIN)) RaiseLastSystemError();
  while (length != 0) {
    DWORD want = static_cast<DWORD>(length < kBlock ? length : kBlock);
    DWORD got = 0;
    if (!::ReadFile(file, out, want, &got, nullptr)) RaiseLastSystemError();
    if (got == 0) throw Error(kStreamReadError);
    out += got;
    length -= got;
  }
}

// The old file through one window of kBlock bytes. The decoder's copies
// mostly walk forward through nearby bytes, so most are served from memory;
// a copy of a whole window or more is read straight into place.
class OldFileSource : public DeltaSource {
 public:
  OldFileSource(HANDLE file, uint64_t size) : file_(file), size_(size), window_(kBlock) {}

  void ReadOld(uint64_t offset, uint8_t* out, size_t length) override {
    if (offset > size_ || length > size_ - offset) throw Error(kStreamReadError);
    while (length != 0) {
      if (offset >= start_ && offset - start_ < filled_) {
        size_t at = static_cast<size_t>(offset - start_);
        size_t here = filled_ - at < length ? filled_ - at : length;
        std::memcpy(out, window_.data() + at, here);
        out += here;
        offset += here;
        length -= here;
      } else if (length >= kBlock) {
        ReadAt(file_, offset, out, length);
        return;
      } else {
        // Start on a 4 KiB boundary, so short steps back still hit.
        filled_ = 0;
        start_ = offset & ~static_cast<uint64_t>(4095);
        size_t fill = size_ - start_ < kBlock ? static_cast<size_t>(size_ - start_) : kBlock;
        ReadAt(file_, start_, window_.data(), fill);
        filled_ = fill;
      }
    }
  }

  // CRC-32 of the whole file, read through the window.
  uint32_t Crc() {
    uint32_t crc = 0;
    filled_ = 0;
    for (uint64_t done = 0; done < size_;) {
      size_t here = size_ - done < kBlock ? static_cast<size_t>(size_ - done) : kBlock;
      ReadAt(file_, done, window_.data(), here);
      crc = Crc32Update(crc, window_.data(), static_cast<uint32_t>(here));
      done += here;
    }
    return crc;
  }

 private:
  HANDLE file_;
  uint64_t size_;
  std::vector<uint8_t> window_;
  uint64_t start_ = 0;
  size_t filled_ = 0;
};

// The temporary file, written in order through a kBlock buffer. Keeps the
// count and CRC-32 of what reached it, and refuses to grow past `limit`
// bytes (the head's new size), so a faulty stream cannot fill the disk.
class NewFileSink : public DeltaSink {
 public:
  NewFileSink(HANDLE file, uint64_t limit) : file_(file), limit_(limit), buffer_(kBlock) {}

  void WriteNew(const uint8_t* bytes, size_t length) override {
    if (length > limit_ - written_) throw Error(PickText(text::kDeltaResultMismatch));
    written_ += length;
    while (length != 0) {
      size_t here = kBlock - used_ < length ? kBlock - used_ : length;
      crc_ = Crc32Update(crc_, bytes, static_cast<uint32_t>(here));
      std::memcpy(buffer_.data() + used_, bytes, here);
      used_ += here;
      bytes += here;
      length -= here;
      if (used_ == kBlock) Flush();
    }
  }

  void Flush() {
    if (used_ == 0) return;
    DWORD count = static_cast<DWORD>(used_), written = 0;
    if (!::WriteFile(file_, buffer_.data(), count, &written, nullptr)) RaiseLastSystemError();
    if (written != count) RaiseSystemError(ERROR_WRITE_FAULT);
    used_ = 0;
  }

  uint64_t Written() const { return written_; }
  uint32_t Crc() const { return crc_; }

 private:
  HANDLE file_;
  uint64_t limit_;
  uint64_t written_ = 0;
  uint32_t crc_ = 0;
  std::vector<uint8_t> buffer_;
  size_t used_ = 0;
};

FileHandle OpenOldFile(const std::string& file_name) {
  // Others may read it while it is rebuilt, not change it.
  FileHandle file(::CreateFileA(file_name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    DWORD code = ::GetLastError();
    throw Error("Cannot open file \"" + AbsoluteFileName(file_name) + "\". " + SystemMessage(code));
  }
  return file;
}

}  // namespace

PlaceOutcome ApplyDeltaItem(const std::string& file_name, const TFileItem& item) {
  if (item.DataSize < 0 || static_cast<size_t>(item.DataSize) > item.Data.size()) {
    throw Error(kStreamReadError);
  }
  const uint8_t* data = item.Data.data();
  const size_t size = static_cast<size_t>(item.DataSize);
  const DeltaHead head = ReadDeltaHead(data, size);

  FileHandle old_file = OpenOldFile(file_name);
  LARGE_INTEGER old_size;
  if (!::GetFileSizeEx(old_file.Get(), &old_size)) RaiseLastSystemError();
  OldFileSource source(old_file.Get(), static_cast<uint64_t>(old_size.QuadPart));
  if (static_cast<uint64_t>(old_size.QuadPart) != head.old_size || source.Crc() != head.old_crc) {
    throw Error(PickText(text::kDeltaWrongBase));
  }

  TempFileBeside temp(file_name);
  {
    FileHandle new_file = temp.OpenForWriting();
    NewFileSink sink(new_file.Get(), head.new_size);
    ApplyDelta(data, size, source, sink);
    sink.Flush();
    if (sink.Written() != head.new_size || sink.Crc() != head.new_crc) {
      throw Error(PickText(text::kDeltaResultMismatch));
    }
  }
  // Our own read handle would keep the old file from being replaced.
  old_file.Reset();
  return temp.MoveOver(file_name);
}

}  // namespace upkit
