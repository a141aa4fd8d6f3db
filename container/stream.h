// The one stream abstraction: read, position, size. The container reader
// reads packages through it; a memory block, an owned buffer, a file and the
// executable's LR5 resource (a memory block on Windows) all provide it, and
// the mapped file stream of the engine is a memory stream over a file view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace upkit {

class Stream {
 public:
  virtual ~Stream() = default;
  Stream() = default;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Copies up to `count` bytes from the current position; returns how many.
  virtual size_t Read(void* buffer, size_t count) = 0;
  virtual uint64_t Position() const = 0;
  virtual uint64_t Size() const = 0;
  // Moves to an absolute position; positions past the end read nothing.
  virtual void Seek(uint64_t position) = 0;

  // Memory holding the whole stream (position 0 at its start) that stays
  // valid, and unchanged but by the stream's reader (see below), for the
  // life of the process, such as a resource of the running executable;
  // null for streams that give no such promise.
  // Readers may keep pointers into it instead of copying.
  virtual const uint8_t* LastingMemory() const { return nullptr; }
  // The same memory made writable for the stream's one reader, which may
  // change it in place (decipher it there rather than copy it); afterwards
  // the stream reads the changed bytes. Null when the stream cannot offer it.
  virtual uint8_t* ChangeableLastingMemory() { return nullptr; }

  uint64_t Remaining() const {
    uint64_t size = Size(), position = Position();
    return position < size ? size - position : 0;
  }
  // Reads exactly `count` bytes or raises Error("Stream read error").
  void ReadExact(void* buffer, size_t count);
};

// Reads a block of memory that it does not own.
class MemoryStream : public Stream {
 public:
  MemoryStream() = default;
  MemoryStream(const void* memory, size_t size) { SetMemory(memory, size); }

  size_t Read(void* buffer, size_t count) override;
  uint64_t Position() const override { return position_; }
  uint64_t Size() const override { return size_; }
  void Seek(uint64_t position) override { position_ = position; }

  const uint8_t* Memory() const { return memory_; }

 protected:
  void SetMemory(const void* memory, size_t size) {
    memory_ = static_cast<const uint8_t*>(memory);
    size_ = size;
    position_ = 0;
  }

 private:
  const uint8_t* memory_ = nullptr;
  size_t size_ = 0;
  uint64_t position_ = 0;
};

// A memory stream over bytes it owns.
class BufferStream : public MemoryStream {
 public:
  BufferStream() = default;
  explicit BufferStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
    SetMemory(bytes_.data(), bytes_.size());
  }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  void Assign(std::vector<uint8_t> bytes) {
    bytes_ = std::move(bytes);
    SetMemory(bytes_.data(), bytes_.size());
  }
  void Clear() { Assign({}); }

 private:
  std::vector<uint8_t> bytes_;
};

// A read-only stream over a file, through the C library (portable).
class FileStream : public Stream {
 public:
  // Raises Error("Cannot open file \"<name>\". <reason>") when it cannot open.
  explicit FileStream(const std::string& path);
  ~FileStream() override;

  size_t Read(void* buffer, size_t count) override;
  uint64_t Position() const override { return position_; }
  uint64_t Size() const override { return size_; }
  void Seek(uint64_t position) override;

 private:
  std::FILE* file_ = nullptr;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
};

}  // namespace upkit
