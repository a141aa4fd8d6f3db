// Builds small PE32 images byte by byte for the resource writer tests, so
// the native tests need no Windows toolchain. Layout: headers in 0x200
// bytes, FileAlignment 0x200, SectionAlignment 0x1000; .text at 0x1000, an
// optional .rsrc at 0x2000 holding one RT_MANIFEST (24) resource #1,
// language 1033, content "hello" (tree written out by hand), and an
// optional .reloc at 0x3000 after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace upkit::test {

struct TinyPeOptions {
  bool resources = true;
  bool section_after_resources = false;
  uint16_t machine = 0x14c;
  uint16_t magic = 0x10b;
  uint16_t subsystem = 2;
  uint16_t characteristics = 0x0102;  // executable, 32-bit
  std::vector<uint8_t> overlay;       // bytes after the last section
  std::vector<uint8_t> certificate;   // appended and named in the security directory
};

std::vector<uint8_t> TinyPe(const TinyPeOptions& options = {});

uint32_t Read32(const std::vector<uint8_t>& b, size_t at);
uint16_t Read16(const std::vector<uint8_t>& b, size_t at);

}  // namespace upkit::test
