#include "install/delta_action.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/crc32.h"
#include "codec/error.h"
#include "delta/delta.h"
#include "install/file_install.h"
#include "install/win32_error.h"
#include "install/win32_handle.h"
#include "texts/texts.h"

namespace upkit {

namespace {

// The old file's read cache and the new file's write buffer: all the memory
// the action needs beside the item's own Data.
constexpr size_t kCacheSize = 1024 * 1024;
constexpr size_t kWriteSize = 256 * 1024;

// The one place this action raises its own failures (a smaller stub).
[[noreturn]] void Fail(const char* message) { throw Error(message); }
[[noreturn]] void Refuse(const TextPair& why) { Fail(PickText(why)); }

// The old file through kSlots cached blocks of kSlotSize bytes (kCacheSize
// in all), least recently used out first. Copies walk forward through nearby
// bytes but also jump between a few places of the file (code, data, tables).
// Under Wine each read of the file costs far more than copying its bytes:
// measured on an 18 MB DLL's stream, 16 blocks of 4 KiB missed 8,300 times,
// these 64 blocks of 16 KiB 2,100 times (32 MB read in all).
constexpr size_t kSlotSize = 16 * 1024;
constexpr size_t kSlots = kCacheSize / kSlotSize;

class OldFileSource : public DeltaSource {
 public:
  OldFileSource(HANDLE file, uint64_t size, uint8_t* window) : file_(file), size_(size), window_(window) {}

  void ReadOld(uint64_t offset, uint8_t* out, size_t length) override {
    if (offset > size_ || length > size_ - offset) Fail(kStreamReadError);
    while (length != 0) {
      const uint8_t* slot = Slot(static_cast<uint32_t>(offset / kSlotSize));
      size_t at = static_cast<size_t>(offset % kSlotSize);
      size_t here = kSlotSize - at < length ? kSlotSize - at : length;
      std::memcpy(out, slot + at, here);
      out += here;
      offset += here;
      length -= here;
    }
  }

  // CRC-32 of the whole file, read in order through the whole cache.
  uint32_t Crc() {
    uint32_t crc = 0;
    for (uint64_t done = 0; done < size_;) {
      DWORD got = Read(done, window_, size_ - done < kCacheSize ? static_cast<DWORD>(size_ - done) : kCacheSize);
      crc = Crc32Update(crc, window_, got);
      done += got;
    }
    return crc;
  }

 private:
  // The cached bytes of block `block`, read on a miss into the least recently
  // used slot (a block past the end is never asked for).
  const uint8_t* Slot(uint32_t block) {
    // Most reads fall into the block the last one did: no search then.
    size_t pick = last_;
    if (tags_[pick] == block + 1) {
      used_[pick] = ++clock_;
      return window_ + pick * kSlotSize;
    }
    pick = 0;
    for (size_t i = 0; i < kSlots; ++i) {
      if (tags_[i] == block + 1) {
        pick = i;
        break;
      }
      if (used_[i] < used_[pick]) pick = i;
    }
    uint8_t* slot = window_ + pick * kSlotSize;
    if (tags_[pick] != block + 1) {
      tags_[pick] = 0;
      uint64_t start = uint64_t{block} * kSlotSize;
      Read(start, slot, size_ - start < kSlotSize ? static_cast<DWORD>(size_ - start) : kSlotSize);
      tags_[pick] = block + 1;
    }
    used_[pick] = ++clock_;
    last_ = pick;
    return slot;
  }

  // Reads `want` bytes from `start` (below the size), the offset given with
  // the read (one call, no seek). A file that ends early has changed under us.
  DWORD Read(uint64_t start, uint8_t* out, DWORD want) {
    DWORD got = 0;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(start);
    at.OffsetHigh = static_cast<DWORD>(start >> 32);
    if (!::ReadFile(file_, out, want, &got, &at)) RaiseLastSystemError();
    if (got != want) Fail(kStreamReadError);
    return got;
  }

  HANDLE file_;
  uint64_t size_;
  uint8_t* window_;
  // 32 bits: block numbers of files up to 16 TiB; a wrapped clock only
  // picks a worse slot once.
  uint32_t tags_[kSlots] = {};  // block number + 1 of each slot; 0 when empty
  uint32_t used_[kSlots] = {};  // when each slot was last used
  uint32_t clock_ = 0;
  size_t last_ = 0;  // the slot the last read used
};

// The temporary file, written in order through a kWriteSize buffer. Refuses to
// grow past `limit` bytes (the head's new size), so that no stream can fill
// the disk.
class NewFileSink : public DeltaSink {
 public:
  NewFileSink(HANDLE file, uint64_t limit, uint8_t* buffer) : file_(file), limit_(limit), buffer_(buffer) {}

  void WriteNew(const uint8_t* bytes, size_t length) override {
    if (length > limit_ - written_) Refuse(text::kDeltaResultMismatch);
    written_ += length;
    while (length != 0) {
      size_t here = kWriteSize - used_ < length ? kWriteSize - used_ : length;
      std::memcpy(buffer_ + used_, bytes, here);
      used_ += here;
      bytes += here;
      length -= here;
      if (used_ == kWriteSize) Flush();
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
  std::vector<uint8_t> buffers(kCacheSize + kWriteSize);  // the read cache, then the write buffer
  OldFileSource source(old_file.Get(), static_cast<uint64_t>(old_size.QuadPart), buffers.data());
  if (static_cast<uint64_t>(old_size.QuadPart) != head.old_size || source.Crc() != head.old_crc) {
    Refuse(text::kDeltaWrongBase);
  }

  NewFileSink sink(out, head.new_size, buffers.data() + kCacheSize);
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
