// Move-only owners of Win32 kernel objects: a file handle (invalid value
// INVALID_HANDLE_VALUE), a plain handle such as a file mapping (invalid value
// null) and a mapped view. Each closes what it holds exactly once; a moved-
// from owner holds nothing. Win32 only.
#pragma once

#include <windows.h>

#include <utility>

namespace upkit {

template <typename Traits>
class UniqueHandle {
 public:
  using Value = typename Traits::Value;

  UniqueHandle() = default;
  explicit UniqueHandle(Value value) : value_(value) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }

  Value Get() const { return value_; }
  bool Valid() const { return value_ != Traits::Invalid(); }
  explicit operator bool() const { return Valid(); }

  Value Release() { return std::exchange(value_, Traits::Invalid()); }
  // Closes what is held (if anything), then holds `value`.
  void Reset(Value value = Traits::Invalid()) {
    Value old = std::exchange(value_, value);
    if (old != Traits::Invalid()) Traits::Close(old);
  }

 private:
  Value value_ = Traits::Invalid();
};

struct FileHandleTraits {
  using Value = HANDLE;
  static Value Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Value value) { ::CloseHandle(value); }
};

struct KernelHandleTraits {
  using Value = HANDLE;
  static Value Invalid() { return nullptr; }
  static void Close(Value value) { ::CloseHandle(value); }
};

struct MappedViewTraits {
  using Value = void*;
  static Value Invalid() { return nullptr; }
  static void Close(Value value) { ::UnmapViewOfFile(value); }
};

struct FindHandleTraits {
  using Value = HANDLE;
  static Value Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Value value) { ::FindClose(value); }
};

using FileHandle = UniqueHandle<FileHandleTraits>;      // CreateFileA
using KernelHandle = UniqueHandle<KernelHandleTraits>;  // CreateFileMappingA, processes
using MappedView = UniqueHandle<MappedViewTraits>;      // MapViewOfFile
using FindHandle = UniqueHandle<FindHandleTraits>;      // FindFirstFileA

}  // namespace upkit
