// BMP decoding: every bit depth and compression the decoder takes, row
// order, and malformed files that must leave the picture empty.
#include <gtest/gtest.h>

#include <vector>

#include "package/bitmap.h"
#include "tests/package/bmp_builder.h"

namespace upkit {
namespace {

using test::BmpSpec;
using test::MakeBmp;
using Pixels = std::vector<uint32_t>;

const uint32_t P0 = 0x112233, P1 = 0xAABBCC, P2 = 0x445566;

Pixels Decode(const std::vector<uint8_t>& file, int32_t w, int32_t h, int32_t bits) {
  TBitmap bmp;
  EXPECT_TRUE(bmp.LoadFromMemory(file.data(), file.size()));
  EXPECT_EQ(bmp.Width(), w);
  EXPECT_EQ(bmp.Height(), h);
  EXPECT_EQ(bmp.BitsPerPixel(), bits);
  return bmp.Pixels();
}

bool Rejected(const std::vector<uint8_t>& file) {
  TBitmap bmp;
  bool ok = bmp.LoadFromMemory(file.data(), file.size());
  return !ok && bmp.Empty() && bmp.Pixels().empty() && bmp.Width() == 0;
}

TEST(Bitmap, PalettedDepthsBottomUp) {
  BmpSpec s;
  s.width = 3;
  s.height = 2;
  s.bits = 1;
  s.palette = {P0, P1};
  s.pixels = {0xA0, 0, 0, 0, 0x60, 0, 0, 0};  // bottom row 1 0 1, top row 0 1 1
  EXPECT_EQ(Decode(MakeBmp(s), 3, 2, 1), (Pixels{P0, P1, P1, P1, P0, P1}));

  s.bits = 4;
  s.colours_used = 3;
  s.palette = {P0, P1, P2};
  s.pixels = {0x20, 0x10, 0, 0, 0x12, 0x20, 0, 0};  // bottom 2 0 1, top 1 2 2
  EXPECT_EQ(Decode(MakeBmp(s), 3, 2, 4), (Pixels{P1, P2, P2, P2, P0, P1}));

  s.bits = 8;
  s.pixels = {0, 1, 2, 0, 2, 5, 0, 0};  // index 5 lies beyond the 3-entry table: black
  EXPECT_EQ(Decode(MakeBmp(s), 3, 2, 8), (Pixels{P2, 0, P0, P0, P1, P2}));

  // Old core header: 3-byte table entries, full 256-entry table.
  BmpSpec core;
  core.info_size = 12;
  core.width = 2;
  core.height = 1;
  core.bits = 8;
  for (uint32_t i = 0; i < 256; ++i) core.palette.push_back(i * 0x010101);
  core.pixels = {7, 200, 0, 0};
  EXPECT_EQ(Decode(MakeBmp(core), 2, 1, 8), (Pixels{0x070707, 0xC8C8C8}));
}

TEST(Bitmap, DirectColourDepthsAndRowOrder) {
  BmpSpec s;
  s.width = 2;
  s.height = 2;
  s.pixels = {0x03, 0x02, 0x01, 0x06, 0x05, 0x04, 0, 0,   // bottom row
              0x13, 0x12, 0x11, 0x16, 0x15, 0x14, 0, 0};  // top row
  EXPECT_EQ(Decode(MakeBmp(s), 2, 2, 24), (Pixels{0x111213, 0x141516, 0x010203, 0x040506}));
  s.height = -2;  // top-down: first stored row is the top
  EXPECT_EQ(Decode(MakeBmp(s), 2, 2, 24), (Pixels{0x010203, 0x040506, 0x111213, 0x141516}));

  BmpSpec x;
  x.width = 1;
  x.height = -2;
  x.bits = 32;
  x.pixels = {0x03, 0x02, 0x01, 0xFF, 0x30, 0x20, 0x10, 0x00};
  EXPECT_EQ(Decode(MakeBmp(x), 1, 2, 32), (Pixels{0x010203, 0x102030}));

  BmpSpec w16;  // 5-5-5 without masks
  w16.width = 3;
  w16.height = 1;
  w16.bits = 16;
  w16.pixels = {0x00, 0x7C, 0xE0, 0x03, 0x01, 0x00, 0, 0};
  EXPECT_EQ(Decode(MakeBmp(w16), 3, 1, 16), (Pixels{0xFF0000, 0x00FF00, 0x000008}));

  w16.compression = 3;  // 5-6-5 through masks after a 40-byte header
  w16.masks = {0xF800, 0x07E0, 0x001F};
  w16.pixels = {0x00, 0xF8, 0xE0, 0x07, 0x10, 0x00, 0, 0};
  EXPECT_EQ(Decode(MakeBmp(w16), 3, 1, 16), (Pixels{0xFF0000, 0x00FF00, 0x000083}));

  BmpSpec v5;  // masks inside a 124-byte header, unusual channel order
  v5.info_size = 124;
  v5.width = 1;
  v5.height = 1;
  v5.bits = 32;
  v5.compression = 3;
  v5.masks = {0x0000FF00, 0x00FF0000, 0xFF000000};
  v5.pixels = {0x00, 0x11, 0x22, 0x33};
  EXPECT_EQ(Decode(MakeBmp(v5), 1, 1, 32), (Pixels{0x112233}));
}

TEST(Bitmap, RunLengthEncoded) {
  BmpSpec s;
  s.width = 4;
  s.height = 2;
  s.bits = 8;
  s.compression = 1;
  s.colours_used = 3;
  s.palette = {P0, P1, P2};
  s.pixels = {0x01, 0x02,                          // one pixel of index 2
              0x00, 0x03, 0x00, 0x01, 0x02, 0x00,  // absolute 0 1 2, padded
              0x00, 0x00,                          // end of line
              0x04, 0x01,                          // four of index 1
              0x00, 0x01};                         // end of bitmap
  EXPECT_EQ(Decode(MakeBmp(s), 4, 2, 8), (Pixels{P1, P1, P1, P1, P2, P0, P1, P2}));

  BmpSpec r4;
  r4.width = 5;
  r4.height = 1;
  r4.bits = 4;
  r4.compression = 2;
  r4.colours_used = 3;
  r4.palette = {P0, P1, P2};
  r4.pixels = {0x02, 0x12, 0x00, 0x02, 0x01, 0x00, 0x02, 0x21, 0x00, 0x01};  // run, delta, run
  EXPECT_EQ(Decode(MakeBmp(r4), 5, 1, 4), (Pixels{P1, P2, 0, P2, P1}));

  // An absolute run cut short by the end of the data is malformed.
  s.pixels = {0x00, 0x05, 0x01, 0x01};
  EXPECT_TRUE(Rejected(MakeBmp(s)));
  // Runs past the right edge or top are clipped, never written outside.
  s.pixels = {0xFF, 0x01, 0x00, 0x02, 0x00, 0xFF, 0x05, 0x02, 0x00, 0x01};
  EXPECT_EQ(Decode(MakeBmp(s), 4, 2, 8), (Pixels{0, 0, 0, 0, P1, P1, P1, P1}));
}

TEST(Bitmap, PixelDataBoundsAreExact) {
  BmpSpec s;
  s.width = 3;
  s.height = 3;
  s.pixels.assign(3 * 12, 0x7F);  // stride 12 (9 bytes + 3 padding)
  std::vector<uint8_t> file = MakeBmp(s);
  TBitmap bmp;
  EXPECT_TRUE(bmp.LoadFromMemory(file.data(), file.size()));
  EXPECT_FALSE(bmp.LoadFromMemory(file.data(), file.size() - 1));  // one byte short
  EXPECT_TRUE(bmp.Empty());  // a failed load also drops the earlier picture
  EXPECT_TRUE(bmp.Pixels().empty());
}

TEST(Bitmap, MalformedHeadersAreRejected) {
  BmpSpec good;
  good.width = 2;
  good.height = 2;
  good.bits = 8;
  good.colours_used = 2;
  good.palette = {P0, P1};
  good.pixels.assign(8, 1);
  const std::vector<uint8_t> base = MakeBmp(good);
  ASSERT_FALSE(Rejected(base));

  auto damaged = [&](size_t offset, std::vector<uint8_t> bytes) {
    std::vector<uint8_t> f = base;
    for (size_t i = 0; i < bytes.size(); ++i) f[offset + i] = bytes[i];
    return Rejected(f);
  };
  EXPECT_TRUE(damaged(0, {'B', 'N'}));
  EXPECT_TRUE(damaged(10, {0xFF, 0xFF, 0, 0}));        // pixel offset beyond the file
  EXPECT_TRUE(damaged(10, {20, 0, 0, 0}));             // pixel offset inside the headers
  EXPECT_TRUE(damaged(14, {20, 0, 0, 0}));             // unknown header size
  EXPECT_TRUE(damaged(14, {0xF0, 0xFF, 0xFF, 0xFF}));  // header larger than the file
  EXPECT_TRUE(damaged(18, {0, 0, 0, 0}));              // width 0
  EXPECT_TRUE(damaged(18, {0x01, 0x40, 0, 0}));        // width 16385
  EXPECT_TRUE(damaged(22, {0, 0, 0, 0x80}));           // height INT32_MIN
  EXPECT_TRUE(damaged(26, {2, 0}));                    // two planes
  EXPECT_TRUE(damaged(28, {2, 0}));                    // 2 bits per pixel
  EXPECT_TRUE(damaged(30, {4, 0, 0, 0}));              // BI_JPEG
  EXPECT_TRUE(damaged(30, {2, 0, 0, 0}));              // RLE4 with 8 bits
  EXPECT_TRUE(damaged(46, {0, 1, 0, 0}));              // table of 256 entries beyond the file
  EXPECT_TRUE(damaged(46, {0, 2, 0, 0}));              // more colours than 8 bits hold
  EXPECT_TRUE(Rejected(std::vector<uint8_t>(base.begin(), base.begin() + 17)));
  TBitmap none;
  EXPECT_FALSE(none.LoadFromMemory(nullptr, 100));

  BmpSpec big = good;  // within each side limit, but too many pixels in total
  big.width = 16384;
  big.height = 16384;
  big.pixels.clear();
  EXPECT_TRUE(Rejected(MakeBmp(big)));

  BmpSpec rle_top_down = good;
  rle_top_down.compression = 1;
  rle_top_down.height = -2;
  EXPECT_TRUE(Rejected(MakeBmp(rle_top_down)));

  BmpSpec holes;  // masks whose bits are not contiguous
  holes.width = 1;
  holes.height = 1;
  holes.bits = 16;
  holes.compression = 3;
  holes.masks = {0xF00F, 0x00F0, 0x0F00};
  holes.pixels = {0, 0, 0, 0};
  EXPECT_TRUE(Rejected(MakeBmp(holes)));
}

}  // namespace
}  // namespace upkit
