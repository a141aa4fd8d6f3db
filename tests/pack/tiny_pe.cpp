#include "tests/pack/tiny_pe.h"

namespace upkit::test {
namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Section(std::vector<uint8_t>& b, size_t header, const char* name, uint32_t vsize, uint32_t va,
             uint32_t raw_pointer, uint32_t characteristics) {
  for (int i = 0; name[i] && i < 8; ++i) b[header + i] = static_cast<uint8_t>(name[i]);
  Put32(b, header + 8, vsize);
  Put32(b, header + 12, va);
  Put32(b, header + 16, 0x200);
  Put32(b, header + 20, raw_pointer);
  Put32(b, header + 36, characteristics);
}

}  // namespace

uint32_t Read32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t Read16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }

std::vector<uint8_t> TinyPe(const TinyPeOptions& o) {
  int sections = 1 + (o.resources ? 1 : 0) + (o.section_after_resources ? 1 : 0);
  std::vector<uint8_t> b(0x200 * (1 + sections), 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, 0x40);
  Put32(b, 0x40, 0x00004550);
  Put16(b, 0x44, o.machine);
  Put16(b, 0x46, static_cast<uint16_t>(sections));
  Put32(b, 0x48, 0x5EED1234);  // TimeDateStamp: must survive rewriting
  Put16(b, 0x54, 0xE0);
  Put16(b, 0x56, o.characteristics);
  const size_t opt = 0x58;
  Put16(b, opt, o.magic);
  Put32(b, opt + 4, 0x200);                     // SizeOfCode
  Put32(b, opt + 8, 0x200 * (sections - 1));    // SizeOfInitializedData
  Put32(b, opt + 16, 0x1000);                   // AddressOfEntryPoint
  Put32(b, opt + 28, 0x400000);                 // ImageBase
  Put32(b, opt + 32, 0x1000);
  Put32(b, opt + 36, 0x200);
  Put16(b, opt + 40, 4);
  Put16(b, opt + 48, 4);
  Put32(b, opt + 56, 0x1000 * (1 + sections));  // SizeOfImage
  Put32(b, opt + 60, 0x200);                    // SizeOfHeaders
  Put16(b, opt + 68, o.subsystem);
  Put32(b, opt + 72, 0x100000);
  Put32(b, opt + 76, 0x1000);
  Put32(b, opt + 80, 0x100000);
  Put32(b, opt + 84, 0x1000);
  Put32(b, opt + 92, 16);
  size_t header = opt + 0xE0;
  Section(b, header, ".text", 1, 0x1000, 0x200, 0x60000020);
  b[0x200] = 0xC3;  // ret
  uint32_t va = 0x2000, raw = 0x400;
  if (o.resources) {
    header += 40;
    Section(b, header, ".rsrc", 0x5D, va, raw, 0x40000040);
    Put32(b, opt + 96 + 8 * 2, va);
    Put32(b, opt + 96 + 8 * 2 + 4, 0x5D);
    size_t r = raw;
    Put16(b, r + 14, 1);  // root: one id entry
    Put32(b, r + 16, 24);
    Put32(b, r + 20, 0x80000018);
    Put16(b, r + 0x18 + 14, 1);  // type 24: one id entry
    Put32(b, r + 0x18 + 16, 1);
    Put32(b, r + 0x18 + 20, 0x80000030);
    Put16(b, r + 0x30 + 14, 1);  // name 1: one language
    Put32(b, r + 0x30 + 16, 1033);
    Put32(b, r + 0x30 + 20, 0x48);
    Put32(b, r + 0x48, va + 0x58);  // data entry
    Put32(b, r + 0x48 + 4, 5);
    for (int i = 0; i < 5; ++i) b[r + 0x58 + i] = static_cast<uint8_t>("hello"[i]);
    va += 0x1000;
    raw += 0x200;
  }
  if (o.section_after_resources) {
    header += 40;
    Section(b, header, ".reloc", 8, va, raw, 0x42000040);
    b[raw] = 0xAB;
  }
  b.insert(b.end(), o.overlay.begin(), o.overlay.end());
  if (!o.certificate.empty()) {
    Put32(b, opt + 96 + 8 * 4, static_cast<uint32_t>(b.size()));
    Put32(b, opt + 96 + 8 * 4 + 4, static_cast<uint32_t>(o.certificate.size()));
    b.insert(b.end(), o.certificate.begin(), o.certificate.end());
  }
  return b;
}

}  // namespace upkit::test
