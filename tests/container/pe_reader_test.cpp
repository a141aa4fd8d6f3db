// The PE resource reader on built images (PE32 and PE32+), on damaged and
// cyclic resource trees, and on a real executable when one is at hand.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/error.h"
#include "pack/pe_reader.h"
#include "tests/container/pe_builder.h"

namespace upkit {
namespace {

using namespace upkit::test;
using pack::PeImageInfo;

std::vector<PeBuildResource> Sample() {
  return {
      {Id(10), Named(u"LR5"), 1049, {1, 2, 3, 4, 5}},
      {Id(10), Named(u"LR5"), 1033, {9, 9}},
      {Id(10), Id(7), 0, {7}},
      {Named(u"MYTYPE"), Id(1), 0, {0xAA, 0xBB, 0xCC}},
      {Id(16), Id(1), 1033, std::vector<uint8_t>(100, 0x16)},
  };
}

std::string Message(const std::vector<uint8_t>& bytes) {
  try {
    pack::ReadLr5Resource(bytes);
  } catch (const Error& e) {
    return e.Message();
  }
  return "(found)";
}

TEST(PeReader, ListsResourcesAndFindsLr5) {
  for (bool plus : {false, true}) {
    SCOPED_TRACE(plus ? "PE32+" : "PE32");
    PeBuilt pe = MakePe(Sample(), plus);
    PeImageInfo image = pack::ReadPeImage(pe.bytes);
    EXPECT_EQ(image.pe32_plus, plus);
    EXPECT_EQ(image.machine, plus ? 0x8664 : 0x14C);
    EXPECT_EQ(image.subsystem, 2);
    ASSERT_EQ(image.sections.size(), 1u);
    EXPECT_EQ(image.sections[0].name, ".rsrc");
    ASSERT_EQ(image.resources.size(), 5u);
    // Named entries come first in each directory.
    const auto& named_type = image.resources[0];
    EXPECT_TRUE(named_type.type.is_name);
    EXPECT_EQ(named_type.type.Text(), "MYTYPE");
    EXPECT_EQ(named_type.name.Text(), "1");
    ASSERT_GE(named_type.file_offset, 0);
    EXPECT_EQ(pe.bytes[named_type.file_offset + 2], 0xCC);
    const auto& lr5 = image.resources[1];
    EXPECT_EQ(lr5.type.id, 10);
    EXPECT_EQ(lr5.name.Text(), "LR5");
    EXPECT_EQ(lr5.language, 1049);
    EXPECT_EQ(lr5.size, 5u);
    EXPECT_EQ(image.resources[2].language, 1033);
    EXPECT_EQ(image.resources[3].name.id, 7);
    EXPECT_EQ(image.resources[4].type.id, 16);
    EXPECT_EQ(image.resources[4].size, 100u);

    const pack::PeResource* found = pack::FindPeRcData(image, "lr5");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->language, 1049);  // the first language
    EXPECT_EQ(pack::FindPeRcData(image, "LR6"), nullptr);
    EXPECT_EQ(pack::ReadLr5Resource(pe.bytes), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  }
}

TEST(PeReader, MissingResourceAndForeignFiles) {
  EXPECT_EQ(Message(MakePe({{Id(10), Named(u"LR4"), 0, {1}}}).bytes), "Resource LR5 not found");
  EXPECT_EQ(Message(MakePe({{Id(3), Named(u"LR5"), 0, {1}}}).bytes), "Resource LR5 not found");
  EXPECT_EQ(Message(MakePe({}).bytes), "Resource LR5 not found");
  std::vector<uint8_t> bytes = MakePe(Sample()).bytes;
  bytes[0] = 'Z';
  EXPECT_EQ(Message(bytes), "not a PE image: no MZ header");
  bytes[0] = 'M';
  bytes[0x41] = 'X';
  EXPECT_EQ(Message(bytes), "not a PE image: no PE signature");
  bytes[0x41] = 'E';
  bytes[0x3C] = 0xF0;  // e_lfanew beyond the file
  bytes[0x3D] = 0xFF;
  EXPECT_EQ(Message(bytes), "not a PE image: no PE signature");
}

// Every cut of the file either still parses or raises; nothing reads past
// the end (the sanitizer build checks that).
TEST(PeReader, EveryTruncationIsSafe) {
  PeBuilt pe = MakePe(Sample());
  size_t failures = 0;
  for (size_t cut = 0; cut < pe.bytes.size(); ++cut) {
    std::vector<uint8_t> part(pe.bytes.begin(), pe.bytes.begin() + cut);
    std::string m = Message(part);
    if (m != "(found)") ++failures;
    if (cut < pe.rsrc_offset + 16) {
      EXPECT_NE(m, "(found)") << cut;
    }
  }
  EXPECT_GT(failures, pe.rsrc_offset);
}

TEST(PeReader, DamagedAndCyclicTrees) {
  PeBuilt pe = MakePe(Sample());
  const size_t root = pe.rsrc_offset;
  auto put32 = [](std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  // The first type entry points back at the root: the walk must end.
  std::vector<uint8_t> cyclic = pe.bytes;
  put32(cyclic, root + 20, 0x80000000u);
  EXPECT_EQ(Message(cyclic), "malformed PE image: resource directory below the language level");
  // A name offset outside the table.
  std::vector<uint8_t> far_name = pe.bytes;
  put32(far_name, root + 16, 0x8FFFFFF0u);
  EXPECT_EQ(Message(far_name), "malformed PE image: resource name lies outside the resource table");
  // A subdirectory offset outside the table.
  std::vector<uint8_t> far_dir = pe.bytes;
  put32(far_dir, root + 20, 0xFFFFFFF0u);
  EXPECT_EQ(Message(far_dir), "malformed PE image: resource directory lies outside the resource table");
  // An entry count beyond the table.
  std::vector<uint8_t> many = pe.bytes;
  many[root + 14] = 0xFF;
  many[root + 15] = 0xFF;
  EXPECT_EQ(Message(many), "malformed PE image: resource directory entries lies outside the resource table");
  // LR5 data RVA outside every section.
  std::vector<uint8_t> far_data = pe.bytes;
  PeImageInfo image = pack::ReadPeImage(far_data);
  const auto* lr5 = pack::FindPeRcData(image, "LR5");
  size_t data_entry = 0;
  for (size_t at = root; at + 4 <= far_data.size(); at += 4) {  // its data entry
    uint32_t v = far_data[at] | (far_data[at + 1] << 8) | (far_data[at + 2] << 16) | (far_data[at + 3] << 24);
    if (v == lr5->data_rva) {
      data_entry = at;
      break;
    }
  }
  put32(far_data, data_entry, 0x7FFF0000u);
  EXPECT_EQ(Message(far_data), "malformed PE image: data of resource LR5 lies outside the file");
}

// Directories shared by many entries multiply the walk; it is bounded.
TEST(PeReader, SharedDirectoriesAreBounded) {
  const uint32_t n = 300;
  ByteWriter rsrc;
  uint32_t dir_size = 16 + 8 * n;
  for (int level = 0; level < 3; ++level) {
    rsrc.U32(0).U32(0).U16(0).U16(0).U16(0).U16(n);
    for (uint32_t i = 0; i < n; ++i) {
      rsrc.U32(i);
      rsrc.U32(level < 2 ? (0x80000000u | (dir_size * (level + 1))) : dir_size * 3);
    }
  }
  rsrc.U32(0x1000).U32(1).U32(0).U32(0);  // one data entry, shared by all
  PeBuilt pe = MakePe({{Id(10), Id(1), 0, {1}}});
  std::vector<uint8_t> bytes(pe.bytes.begin(), pe.bytes.begin() + pe.rsrc_offset);
  bytes.insert(bytes.end(), rsrc.bytes.begin(), rsrc.bytes.end());
  bytes.resize(pe.rsrc_offset + ((rsrc.Size() + 0x1FF) & ~size_t{0x1FF}), 0);
  // Section raw size and the directory size must cover the new table.
  size_t section = 0x40 + 24 + 224;
  for (int i = 0; i < 4; ++i) bytes[section + 16 + i] = static_cast<uint8_t>((bytes.size() - pe.rsrc_offset) >> (8 * i));
  for (int i = 0; i < 4; ++i) bytes[section + 8 + i] = static_cast<uint8_t>((bytes.size() - pe.rsrc_offset) >> (8 * i));
  EXPECT_EQ(Message(bytes), "malformed PE image: more than 65536 resource entries");
}

// The test program itself is a real PE when built for Windows.
TEST(PeReader, ReadsARealExecutable) {
  const std::string self = testing::internal::GetArgvs()[0];
  std::ifstream in(self, std::ios::binary);
  if (!in) in.open(self + ".exe", std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 1024u);
  if (bytes[0] != 'M' || bytes[1] != 'Z') GTEST_SKIP() << "not a PE build";
  PeImageInfo image = pack::ReadPeImage(bytes);
  const bool x64 = sizeof(void*) == 8;
  EXPECT_EQ(image.machine, x64 ? 0x8664 : 0x14C);
  EXPECT_EQ(image.pe32_plus, x64);
  bool has_text = false;
  for (const auto& s : image.sections) has_text |= s.name == ".text";
  EXPECT_TRUE(has_text);
  EXPECT_EQ(Message(bytes), "Resource LR5 not found");
}

}  // namespace
}  // namespace upkit
