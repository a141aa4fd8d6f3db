#include "update/delta_action.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/crc32.h"
#include "codec/error.h"
#include "texts/texts.h"
#include "update/actions.h"
#include "update/delta.h"
#include "update/file_install.h"
#include "update/win32_error.h"
#include "update/win32_handle.h"

namespace upkit {

namespace {

// Size of the old file's read window and of the new file's write buffer:
// all the memory the action needs beside the item's own Data.
constexpr size_t kBlock = 64 * 1024;

// The one place this action raises its own failures (a smaller stub).
[[noreturn]] void Fail(const char* message) { throw Error(message); }
[[noreturn]] void Refuse(const TextPair& why) { Fail(PickText(why)); }

// The old file through one window of kBlock bytes. The decoder's copies
// mostly walk forward through nearby bytes, so most are served from memory.
class OldFileSource : public DeltaSource {
 public:
  OldFileSource(HANDLE file, uint64_t size, uint8_t* window) : file_(file), size_(size), window_(window) {}

  void ReadOld(uint64_t offset, uint8_t* out, size_t length) override {
    if (offset > size_ || length > size_ - offset) Fail(kStreamReadError);
    while (length != 0) {
      // Start on a 4 KiB boundary, so short steps back still hit.
      if (offset < start_ || offset - start_ >= filled_) Fill(offset & ~static_cast<uint64_t>(4095));
      size_t at = static_cast<size_t>(offset - start_);
      size_t here = filled_ - at < length ? filled_ - at : length;
      std::memcpy(out, window_ + at, here);
      out += here;
      offset += here;
      length -= here;
    }
  }

  // CRC-32 of the whole file, read through the window.
  uint32_t Crc() {
    uint32_t crc = 0;
    for (uint64_t done = 0; done < size_; done += filled_) {
      Fill(done);
      crc = Crc32Update(crc, window_, static_cast<uint32_t>(filled_));
    }
    return crc;
  }

 private:
  // Loads the window with the bytes from `start` on (at most kBlock; start
  // is below the size). A file that ends early has changed under us.
  void Fill(uint64_t start) {
    filled_ = 0;
    DWORD want = size_ - start < kBlock ? static_cast<DWORD>(size_ - start) : kBlock, got = 0;
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(start);
    if (!::SetFilePointerEx(file_, distance, nullptr, FILE_BEGIN) ||
        !::ReadFile(file_, window_, want, &got, nullptr)) {
      RaiseLastSystemError();
    }
    if (got != want) Fail(kStreamReadError);
    start_ = start;
    filled_ = got;
  }

  HANDLE file_;
  uint64_t size_;
  uint8_t* window_;
  uint64_t start_ = 0;
  size_t filled_ = 0;
};

// The temporary file, written in order through a kBlock buffer. Refuses to
// grow past `limit` bytes (the head's new size), so that no stream can fill
// the disk.
class NewFileSink : public DeltaSink {
 public:
  NewFileSink(HANDLE file, uint64_t limit, uint8_t* buffer) : file_(file), limit_(limit), buffer_(buffer) {}

  void WriteNew(const uint8_t* bytes, size_t length) override {
    if (length > limit_ - written_) Refuse(text::kDeltaResultMismatch);
    written_ += length;
    while (length != 0) {
      size_t here = kBlock - used_ < length ? kBlock - used_ : length;
      std::memcpy(buffer_ + used_, bytes, here);
      used_ += here;
      bytes += here;
      length -= here;
      if (used_ == kBlock) Flush();
    }
  }

  void Flush() {
    WriteAll(file_, buffer_, used_);
    used_ = 0;
  }

  uint64_t Written() const { return written_; }

 private:
  HANDLE file_;
  uint64_t limit_;
  uint8_t* buffer_;
  uint64_t written_ = 0;
  size_t used_ = 0;
};

}  // namespace

void RebuildDelta(const std::string& file_name, const TFileItem& item, HANDLE out) {
  if (item.DataSize < 0 || static_cast<size_t>(item.DataSize) > item.Data.size()) Fail(kStreamReadError);
  const uint8_t* data = item.Data.data();
  const size_t size = static_cast<size_t>(item.DataSize);
  const DeltaHead head = ReadDeltaHead(data, size);

  // Shared with everyone, as the CRC check reads it: a product that holds
  // its file open gets it replaced at restart like any other action, and
  // the checks of the old and the rebuilt file's CRC catch any change made
  // while we read.
  FileHandle old_file(::CreateFileA(file_name.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER old_size;
  if (!old_file || !::GetFileSizeEx(old_file.Get(), &old_size)) RaiseLastSystemError();
  std::vector<uint8_t> buffers(2 * kBlock);  // the read window, then the write buffer
  OldFileSource source(old_file.Get(), static_cast<uint64_t>(old_size.QuadPart), buffers.data());
  if (static_cast<uint64_t>(old_size.QuadPart) != head.old_size || source.Crc() != head.old_crc) {
    Refuse(text::kDeltaWrongBase);
  }

  NewFileSink sink(out, head.new_size, buffers.data() + kBlock);
  uint32_t crc = ApplyDelta(data, size, source, sink);
  sink.Flush();
  if (sink.Written() != head.new_size || crc != head.new_crc) Refuse(text::kDeltaResultMismatch);
}

PlaceOutcome ApplyDeltaItem(const std::string& file_name, const TFileItem& item, const std::string& base_file) {
  TempFileBeside temp(file_name);
  RebuildDelta(base_file.empty() ? file_name : base_file, item, temp.Handle());
  PlaceOutcome placed = temp.MoveOver(file_name);
  if (base_file.empty() || item.BaseMoves != 1) return placed;
  // Only once the new file is in place may the base go; when the new file
  // waits for a restart, the base goes at that restart, after it.
  if (placed == PlaceOutcome::kScheduledForRestart) {
    ScheduleAtRestart(base_file, std::string());
    return placed;
  }
  return DeleteItemFile(base_file);
}

}  // namespace upkit
