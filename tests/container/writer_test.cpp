// The container writer against the reader: every version, cipher and
// compression setting round-trips every kind; encodings the writer picks
// (tags 6/7, length codes, markers) are checked on the bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/crc32.h"
#include "container/container_writer.h"
#include "container/lame_ini.h"
#include "pack/package_writer.h"

namespace upkit {
namespace {

using pack::ContainerOptions;
using pack::ContainerSection;
using pack::ContainerValue;

std::vector<ContainerSection> AllKinds() {
  std::mt19937 rng(1234);
  std::vector<uint8_t> noise(5000);
  for (auto& b : noise) b = static_cast<uint8_t>(rng());
  std::vector<uint8_t> text_like;
  for (int i = 0; i < 3000; ++i) text_like.push_back(static_cast<uint8_t>("upkit packs "[i % 12]));

  ContainerSection a;
  a.name = "_Initialize_";
  a.Integer("zero", 0).Integer("i255", 255).Integer("i256", 256).Integer("i65535", 65535)
      .Integer("i65536", 65536).Integer("neg", -1).Integer("min", INT32_MIN)
      .String("empty", "").String("short", "Проект").String("s300", std::string(300, 'a'))
      .String("s70000", std::string(70000, 'b'))
      .Binary("noise", noise).Binary("text", text_like).Binary("none", {})
      .Binary("one", {0x42})
      .Bool("yes", 1).Bool("two", 2)
      .Raw("r3", ContainerValue::kRaw3, {1, 2, 3, 4, 5, 6, 7, 8})
      .Raw("r4", ContainerValue::kRaw4, {9, 10, 11, 12, 13, 14, 15, 16});
  ContainerSection b;
  b.name = "UpdateItem0";
  b.String("OriginName", "file.exe").Integer("Action", 3);
  ContainerSection empty;
  empty.name = "";
  return {a, b, empty};
}

void ExpectSame(TLameIni& ini, const std::vector<ContainerSection>& sections) {
  ASSERT_EQ(ini.Sections().size(), sections.size());
  for (size_t s = 0; s < sections.size(); ++s) {
    const ContainerSection& section = sections[s];
    EXPECT_EQ(ini.Sections()[s]->Name, section.name);
    ASSERT_EQ(ini.Sections()[s]->Values.size(), section.values.size());
    for (const ContainerValue& v : section.values) {
      SCOPED_TRACE(section.name + "/" + v.name);
      TLameIniValue* got = ini.FindValue(section.name, v.name);
      ASSERT_NE(got, nullptr);
      ASSERT_EQ(got->Kind, v.kind);
      switch (v.kind) {
        case ContainerValue::kInteger: EXPECT_EQ(got->IntValue, v.integer); break;
        case ContainerValue::kString: EXPECT_EQ(got->StrValue, v.text); break;
        case ContainerValue::kBool: EXPECT_EQ(got->BoolValue, v.boolean); break;
        case ContainerValue::kRaw3: EXPECT_EQ(got->Raw3, v.raw); break;
        case ContainerValue::kRaw4: EXPECT_EQ(got->Raw4, v.raw); break;
        case ContainerValue::kBinary: {
          int32_t size = ini.GetBinarySize(section.name, v.name, -5);
          ASSERT_EQ(size, static_cast<int32_t>(v.bytes.size()));
          const uint8_t* data = ini.GetBinaryData(section.name, v.name);
          if (size) {
            ASSERT_NE(data, nullptr);
            EXPECT_EQ(0, std::memcmp(data, v.bytes.data(), v.bytes.size()));
          }
          break;
        }
      }
    }
  }
}

TEST(ContainerWriter, RoundTripsEveryKindInEverySetting) {
  const auto sections = AllKinds();
  for (int version : {2, 3}) {
    for (bool enciphered : {false, true}) {
      for (bool compressed : {false, true}) {
        SCOPED_TRACE("v" + std::to_string(version) + (enciphered ? " enciphered" : "") +
                     (compressed ? " compressed" : ""));
        ContainerOptions o;
        o.version = version;
        o.enciphered = enciphered;
        o.compressed = compressed;
        for (int i = 0; i < 32; ++i) o.key[i] = static_cast<uint8_t>(200 - i);
        std::vector<uint8_t> bytes = pack::WriteContainer(sections, o);
        TLameIni ini;
        MemoryStream stream(bytes.data(), bytes.size());
        ini.LoadFromStream(stream);
        EXPECT_EQ(stream.Position(), bytes.size());
        EXPECT_EQ(ini.Version(), version);
        EXPECT_EQ(ini.Enciphered(), enciphered ? 1 : 0);
        EXPECT_EQ(ini.Compressed(), compressed ? 1 : 0);
        EXPECT_EQ(ini.Key(), o.key);
        if (version == 3 && compressed) {
          // Noise does not shrink: stored with marker 0. Text does: marker 1.
          EXPECT_FALSE(ini.FindValue("_Initialize_", "noise")->Flags & TLameIniValue::kCompressedMark);
          EXPECT_TRUE(ini.FindValue("_Initialize_", "text")->Flags & TLameIniValue::kCompressedMark);
        }
        if (version == 2 && compressed) {
          EXPECT_TRUE(ini.FindValue("_Initialize_", "noise")->Flags & TLameIniValue::kCompressedMark);
        }
        ExpectSame(ini, sections);
      }
    }
  }
}

// The writer reproduces the worked 77-byte example exactly.
TEST(ContainerWriter, WorkedExampleBytes) {
  ContainerSection s;
  s.name = "_Initialize_";
  s.Integer("Language", 1);
  ContainerOptions o;
  o.enciphered = false;
  o.compressed = false;
  std::vector<uint8_t> bytes = pack::WriteContainer({s}, o);
  ASSERT_EQ(bytes.size(), 77u);
  const uint8_t tail[] = {0x00, 0x00, 0x1C, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x0C,
                          '_',  'I',  'n',  'i',  't',  'i',  'a',  'l',  'i',  'z',  'e',  '_',
                          0x01, 0x00, 0x00, 0x00, 0xE3, 0x13, 0xAD, 0x2D, 0x06, 0x01};
  EXPECT_EQ(0, std::memcmp(bytes.data(), "\x03\x00\x00\x00" "cFg\x03\x00\x00\x00", 11));
  EXPECT_EQ(0, std::memcmp(bytes.data() + 43, tail, sizeof tail));
}

// Tags and length codes chosen by value, seen on the bytes of a plain v3 body.
TEST(ContainerWriter, CompactEncodings) {
  ContainerOptions o;
  o.enciphered = false;
  o.compressed = false;
  auto one_value = [&](ContainerSection s) {
    s.name = "S";
    std::vector<uint8_t> bytes = pack::WriteContainer({s}, o);
    return std::vector<uint8_t>(bytes.begin() + 49 + 4 + 3 + 4 + 4, bytes.end());  // from the tag
  };
  EXPECT_EQ(one_value(ContainerSection().Integer("v", 255)), (std::vector<uint8_t>{6, 255}));
  EXPECT_EQ(one_value(ContainerSection().Integer("v", 256)), (std::vector<uint8_t>{7, 0, 1}));
  EXPECT_EQ(one_value(ContainerSection().Integer("v", 65536)), (std::vector<uint8_t>{0, 0, 0, 1, 0}));
  EXPECT_EQ(one_value(ContainerSection().Integer("v", -1)), (std::vector<uint8_t>{0, 255, 255, 255, 255}));
  auto code = [&](size_t length) { return one_value(ContainerSection().String("v", std::string(length, 'x')))[1]; };
  EXPECT_EQ(code(255), 0);
  EXPECT_EQ(code(256), 1);
  EXPECT_EQ(code(65535), 1);
  EXPECT_EQ(code(65536), 2);
  o.version = 2;
  std::vector<uint8_t> v2 = pack::WriteContainer({ContainerSection{"S", {}}.Integer("v", 5)}, o);
  const uint8_t expect[] = {1, 0, 0, 0, 'v', 0, 0, 0, 0, 5, 0, 0, 0};  // name, int32 tag 0, int32
  EXPECT_EQ(0, std::memcmp(v2.data() + v2.size() - sizeof expect, expect, sizeof expect));
}

}  // namespace
}  // namespace upkit

namespace upkit {
namespace {

// The payload formats of the resource and patch actions, byte for byte.
TEST(PackageWriter, ResourceAndPatchListBytes) {
  pack::ResourceEntry raw;
  raw.type_id = 10;
  raw.name_id = 1;
  raw.data = {0xA1, 0xA2, 0xA3};
  EXPECT_EQ(pack::ResourceList({raw}),
            (std::vector<uint8_t>{1, 0, 0, 0, 0, 10, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 0xA1, 0xA2, 0xA3}));
  pack::ResourceEntry named;
  named.type_is_name = true;
  named.type_name = "PNG";
  named.name_is_text = true;
  named.name_text = "LOGO";
  named.language = 0x0419;
  EXPECT_EQ(pack::ResourceList({named}),
            (std::vector<uint8_t>{1, 0, 0, 0, 1, 3, 0, 'P', 'N', 'G', 1, 4, 0, 'L', 'O', 'G', 'O',
                                  0x19, 0x04, 0, 0, 0, 0}));
  EXPECT_EQ(pack::PatchListBytes(4096, {{16, 0x90}}),
            (std::vector<uint8_t>{0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 16, 0, 0, 0, 0x90}));
  EXPECT_EQ(pack::PatchListRuns(-1, {{5, {7, 8}}, {9, {}}}),
            (std::vector<uint8_t>{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 2, 0, 0, 0,
                                  5, 0, 0, 0, 2, 0, 0, 0, 7, 8, 9, 0, 0, 0, 0, 0, 0, 0}));
}

// Item fields go to the keys the loader reads; DataSize -1 means Data's size.
TEST(PackageWriter, SectionsCarryEveryField) {
  pack::Package p;
  p.ProjectName = "P";
  pack::PackageItem item;
  item.Data = {1, 2, 3};
  item.CRC = -2;
  pack::PackageItem sized;
  sized.DataSize = 77;
  p.Items = {item, sized};
  auto sections = pack::PackageSections(p);
  ASSERT_EQ(sections.size(), 3u);
  EXPECT_EQ(sections[2].name, "UpdateItem1");
  auto find = [](const ContainerSection& s, const char* name) -> const ContainerValue* {
    for (const auto& v : s.values)
      if (v.name == name) return &v;
    return nullptr;
  };
  EXPECT_EQ(find(sections[0], "FileCount")->integer, 2);
  EXPECT_EQ(find(sections[0], "Picture"), nullptr);  // omitted when empty
  EXPECT_EQ(find(sections[1], "DataSize")->integer, 3);
  EXPECT_EQ(find(sections[1], "Data")->bytes, item.Data);
  EXPECT_EQ(find(sections[1], "CRC")->integer, -2);
  EXPECT_EQ(find(sections[1], "CheckSize")->kind, ContainerValue::kBool);
  EXPECT_EQ(find(sections[2], "DataSize")->integer, 77);
  EXPECT_EQ(find(sections[2], "Data"), nullptr);
}

}  // namespace
}  // namespace upkit
