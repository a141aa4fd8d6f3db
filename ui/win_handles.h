// Move-only owners for the Win32 handles the windows use: windows, GDI
// objects and a scoped select-and-restore of a GDI object into a DC.
// Invariants: an owner holds at most one live handle; moving leaves the
// source empty; destruction releases the handle with its matching call.
#pragma once

#include <windows.h>

#include <utility>

namespace upkit::ui {

template <typename H, BOOL(WINAPI* Release)(H)>
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(H handle) : handle_(handle) {}
  ~OwnedHandle() { Reset(); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  OwnedHandle(OwnedHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }

  H Get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  H Detach() { return std::exchange(handle_, nullptr); }
  void Reset(H handle = nullptr) {
    if (handle_) Release(handle_);
    handle_ = handle;
  }

 private:
  H handle_ = nullptr;
};

inline BOOL WINAPI DeleteFontHandle(HFONT font) { return DeleteObject(font); }
inline BOOL WINAPI DeleteBitmapHandle(HBITMAP bitmap) { return DeleteObject(bitmap); }
inline BOOL WINAPI DeleteBrushHandle(HBRUSH brush) { return DeleteObject(brush); }

using WindowHandle = OwnedHandle<HWND, DestroyWindow>;
using FontHandle = OwnedHandle<HFONT, DeleteFontHandle>;
using BitmapHandle = OwnedHandle<HBITMAP, DeleteBitmapHandle>;
using BrushHandle = OwnedHandle<HBRUSH, DeleteBrushHandle>;
using DcHandle = OwnedHandle<HDC, DeleteDC>;

// Selects a GDI object into a DC for the lifetime of the scope and puts the
// previous one back afterwards.
class ScopedSelect {
 public:
  ScopedSelect(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
  ~ScopedSelect() {
    if (previous_ && previous_ != HGDI_ERROR) SelectObject(dc_, previous_);
  }
  ScopedSelect(const ScopedSelect&) = delete;
  ScopedSelect& operator=(const ScopedSelect&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// A window DC borrowed with GetDC and given back with ReleaseDC.
class WindowDc {
 public:
  explicit WindowDc(HWND window) : window_(window), dc_(GetDC(window)) {}
  ~WindowDc() {
    if (dc_) ReleaseDC(window_, dc_);
  }
  WindowDc(const WindowDc&) = delete;
  WindowDc& operator=(const WindowDc&) = delete;
  HDC Get() const { return dc_; }

 private:
  HWND window_;
  HDC dc_;
};

// BeginPaint / EndPaint as a scope.
class PaintScope {
 public:
  explicit PaintScope(HWND window) : window_(window) { dc_ = BeginPaint(window, &paint_); }
  ~PaintScope() { EndPaint(window_, &paint_); }
  PaintScope(const PaintScope&) = delete;
  PaintScope& operator=(const PaintScope&) = delete;
  HDC Get() const { return dc_; }

 private:
  HWND window_;
  PAINTSTRUCT paint_{};
  HDC dc_;
};

}  // namespace upkit::ui
