#include "container/stream.h"

#include <cerrno>
#include <cstring>

#include "codec/error.h"

namespace upkit {

void Stream::ReadExact(void* buffer, size_t count) {
  if (count == 0) return;
  if (Remaining() < count || Read(buffer, count) != count) throw Error(kStreamReadError);
}

size_t MemoryStream::Read(void* buffer, size_t count) {
  if (position_ >= size_ || count == 0) return 0;
  size_t available = static_cast<size_t>(size_ - position_);
  if (count > available) count = available;
  std::memcpy(buffer, memory_ + position_, count);
  position_ += count;
  return count;
}

FileStream::FileStream(const std::string& path) {
  file_ = std::fopen(path.c_str(), "rb");
  if (!file_) {
    throw Error("Cannot open file \"" + path + "\". " + std::strerror(errno));
  }
  // 64-bit size where the C library offers it.
#if defined(_WIN32)
  _fseeki64(file_, 0, SEEK_END);
  long long end = _ftelli64(file_);
  _fseeki64(file_, 0, SEEK_SET);
#else
  fseeko(file_, 0, SEEK_END);
  long long end = ftello(file_);
  fseeko(file_, 0, SEEK_SET);
#endif
  size_ = end > 0 ? static_cast<uint64_t>(end) : 0;
}

FileStream::~FileStream() {
  if (file_) std::fclose(file_);
}

size_t FileStream::Read(void* buffer, size_t count) {
  size_t got = std::fread(buffer, 1, count, file_);
  position_ += got;
  return got;
}

void FileStream::Seek(uint64_t position) {
#if defined(_WIN32)
  _fseeki64(file_, static_cast<long long>(position), SEEK_SET);
#else
  fseeko(file_, static_cast<off_t>(position), SEEK_SET);
#endif
  position_ = position;
}

}  // namespace upkit
