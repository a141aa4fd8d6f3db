#include "package/bitmap.h"

#include <cstring>
#include <utility>

namespace upkit {

namespace {

constexpr uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitfields = 3;
constexpr int64_t kMaxSide = 16384;
constexpr int64_t kMaxPixels = int64_t{1} << 24;  // 64 MiB of decoded pixels at most

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// One colour channel of a BI_BITFIELDS / 16- or 32-bit pixel, scaled to 8 bits.
struct Channel {
  uint32_t mask = 0;
  int shift = 0;
  int bits = 0;

  // False for a mask whose bits are not contiguous.
  bool Set(uint32_t m) {
    mask = m;
    shift = bits = 0;
    if (m == 0) return true;
    while (!((m >> shift) & 1)) ++shift;
    uint32_t v = m >> shift;
    while (bits < 32 && ((v >> bits) & 1)) ++bits;
    return bits == 32 || (v >> bits) == 0;
  }
  uint32_t Get(uint32_t pixel) const {
    if (!mask) return 0;
    uint32_t v = (pixel & mask) >> shift;
    if (bits >= 8) return v >> (bits - 8);
    return v * 255 / ((1u << bits) - 1);
  }
};

struct Header {
  int64_t width = 0, height = 0;
  bool top_down = false;
  uint32_t bits = 0, compression = kRgb, colours_used = 0;
  size_t info_size = 0, entry_size = 4;  // colour-table entry: RGBQUAD, or RGBTRIPLE for core headers
  uint32_t size_image = 0;
};

}  // namespace

void TBitmap::Clear() {
  width_ = height_ = bits_ = 0;
  std::vector<uint32_t>().swap(pixels_);
}

bool TBitmap::LoadFromMemory(const uint8_t* data, size_t size) {
  Clear();
  if (!data || size < 18 || data[0] != 'B' || data[1] != 'M') return false;
  const uint8_t* end = data + size;
  uint32_t pixel_offset = U32(data + 10);

  Header h;
  h.info_size = U32(data + 14);
  if (h.info_size > size - 14) return false;
  const uint8_t* info = data + 14;
  if (h.info_size == 12) {  // BITMAPCOREHEADER
    h.width = U16(info + 4);
    h.height = U16(info + 6);
    if (U16(info + 8) != 1) return false;
    h.bits = U16(info + 10);
    h.entry_size = 3;
  } else if (h.info_size == 40 || h.info_size == 52 || h.info_size == 56 ||
             h.info_size == 108 || h.info_size == 124) {
    h.width = static_cast<int32_t>(U32(info + 4));
    h.height = static_cast<int32_t>(U32(info + 8));
    if (U16(info + 12) != 1) return false;
    h.bits = U16(info + 14);
    h.compression = U32(info + 16);
    h.size_image = U32(info + 20);
    h.colours_used = U32(info + 32);
  } else {
    return false;
  }
  if (h.height < 0) {
    h.top_down = true;
    h.height = -h.height;
  }
  if (h.width < 1 || h.height < 1 || h.width > kMaxSide || h.height > kMaxSide ||
      h.width * h.height > kMaxPixels)
    return false;

  switch (h.compression) {
    case kRgb:
      if (h.bits != 1 && h.bits != 4 && h.bits != 8 && h.bits != 16 && h.bits != 24 && h.bits != 32)
        return false;
      break;
    case kRle8:
      if (h.bits != 8 || h.top_down) return false;
      break;
    case kRle4:
      if (h.bits != 4 || h.top_down) return false;
      break;
    case kBitfields:
      if (h.bits != 16 && h.bits != 32) return false;
      break;
    default:
      return false;
  }

  // Colour masks: inside headers of 52 bytes and more, after a 40-byte one.
  size_t table_offset = 14 + h.info_size;
  Channel red, green, blue;
  if (h.compression == kBitfields) {
    const uint8_t* masks = data + 14 + 40;
    if (h.info_size == 40) {
      if (12 > size - table_offset) return false;
      table_offset += 12;
    }
    if (!red.Set(U32(masks)) || !green.Set(U32(masks + 4)) || !blue.Set(U32(masks + 8)))
      return false;
  } else if (h.bits == 16) {
    red.Set(0x7C00);
    green.Set(0x03E0);
    blue.Set(0x001F);
  } else {
    red.Set(0x00FF0000);
    green.Set(0x0000FF00);
    blue.Set(0x000000FF);
  }

  // Colour table: every entry read must lie in the file.
  std::vector<uint32_t> palette;
  if (h.bits <= 8) {
    uint32_t capacity = 1u << h.bits;
    if (h.colours_used > capacity) return false;
    uint32_t entries = h.colours_used ? h.colours_used : capacity;
    if (table_offset > size || entries * h.entry_size > size - table_offset) return false;
    palette.resize(entries);
    for (uint32_t i = 0; i < entries; ++i) {
      const uint8_t* e = data + table_offset + i * h.entry_size;
      palette[i] = (uint32_t{e[2]} << 16) | (uint32_t{e[1]} << 8) | e[0];
    }
  }

  // Pixels: after the headers and masks, inside the file.
  if (pixel_offset < 14 + h.info_size || pixel_offset > size) return false;
  const uint8_t* pixels = data + pixel_offset;
  const size_t available = static_cast<size_t>(end - pixels);

  const int64_t w = h.width, ht = h.height;
  std::vector<uint32_t> out(static_cast<size_t>(w * ht), 0);
  auto colour = [&](uint32_t index) -> uint32_t {
    return index < palette.size() ? palette[index] : 0;
  };

  if (h.compression == kRle8 || h.compression == kRle4) {
    // Run-length data is bottom-up; positions outside the image are clipped.
    size_t length = available;
    if (h.size_image && h.size_image < length) length = h.size_image;
    const uint8_t* ip = pixels;
    const uint8_t* iend = pixels + length;
    const bool rle4 = h.compression == kRle4;
    int64_t x = 0, y = 0;
    auto put = [&](uint32_t index) {
      if (x < w && y < ht) out[static_cast<size_t>((ht - 1 - y) * w + x)] = colour(index);
      ++x;
    };
    while (y < ht && 2 <= iend - ip) {
      uint8_t n = ip[0], c = ip[1];
      ip += 2;
      if (n > 0) {  // encoded run
        for (int i = 0; i < n; ++i) put(rle4 ? ((i & 1) ? (c & 0x0F) : (c >> 4)) : c);
      } else if (c == 0) {  // end of line
        x = 0;
        ++y;
      } else if (c == 1) {  // end of bitmap
        break;
      } else if (c == 2) {  // delta
        if (2 > iend - ip) return false;
        x += ip[0];
        y += ip[1];
        ip += 2;
      } else {  // absolute run of c pixels, padded to a 16-bit boundary
        size_t bytes = rle4 ? (c + 1u) / 2 : c;
        size_t padded = (bytes + 1) & ~size_t{1};
        if (padded > static_cast<size_t>(iend - ip)) return false;
        for (int i = 0; i < c; ++i) put(rle4 ? ((i & 1) ? (ip[i / 2] & 0x0F) : (ip[i / 2] >> 4)) : ip[i]);
        ip += padded;
      }
    }
  } else {
    const uint64_t stride = ((static_cast<uint64_t>(w) * h.bits + 31) / 32) * 4;
    if (stride * static_cast<uint64_t>(ht) > available) return false;
    for (int64_t r = 0; r < ht; ++r) {
      const uint8_t* row = pixels + r * stride;
      uint32_t* dst = out.data() + (h.top_down ? r : ht - 1 - r) * w;
      for (int64_t x = 0; x < w; ++x) {
        uint32_t v;
        switch (h.bits) {
          case 1: v = colour((row[x >> 3] >> (7 - (x & 7))) & 1); break;
          case 4: v = colour((x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4)); break;
          case 8: v = colour(row[x]); break;
          case 24: v = (uint32_t{row[3 * x + 2]} << 16) | (uint32_t{row[3 * x + 1]} << 8) | row[3 * x]; break;
          default: {
            uint32_t px = h.bits == 16 ? U16(row + 2 * x) : U32(row + 4 * x);
            v = (red.Get(px) << 16) | (green.Get(px) << 8) | blue.Get(px);
          }
        }
        dst[x] = v;
      }
    }
  }

  width_ = static_cast<int32_t>(w);
  height_ = static_cast<int32_t>(ht);
  bits_ = static_cast<int32_t>(h.bits);
  pixels_ = std::move(out);
  return true;
}

}  // namespace upkit
