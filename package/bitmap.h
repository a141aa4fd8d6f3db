// TBitmap: a portable, validated Windows BMP image.
//
// LoadFromMemory accepts the complete bytes of a BMP file (BITMAPFILEHEADER,
// BITMAPINFOHEADER or a later header, optional colour table, pixels) and
// decodes it to 32-bit top-down pixels, which the Windows side turns into an
// HBITMAP (CreateDIBSection) without parsing anything itself. Any malformed
// input leaves the bitmap empty; nothing is raised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace upkit {

class TBitmap {
 public:
  // Decodes a BMP file. Returns false (and leaves the bitmap empty) on any
  // malformed or unsupported input.
  bool LoadFromMemory(const uint8_t* data, size_t size);
  void Clear();

  bool Empty() const { return width_ == 0; }
  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  // Bits per pixel of the source file (1, 4, 8, 16, 24 or 32).
  int32_t BitsPerPixel() const { return bits_; }
  // Width * Height pixels, top row first, each 0x00RRGGBB (the layout of a
  // 32-bit top-down DIB).
  const std::vector<uint32_t>& Pixels() const { return pixels_; }

 private:
  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t bits_ = 0;
  std::vector<uint32_t> pixels_;
};

}  // namespace upkit
