// Byte-level tests of the container reader: hand-written version-2 and
// version-3 containers, every failure message, truncation at every byte and
// size claims that must fail before anything is allocated.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec/crc32.h"
#include "codec/encipher.h"
#include "codec/error.h"
#include "container/lame_ini.h"
#include "tests/container/alloc_probe.h"
#include "tests/container/byte_writer.h"

namespace upkit {
namespace {

using test::ByteWriter;

// Header up to and including the body size; the body follows.
ByteWriter Header(int32_t version, uint8_t enciphered = 0, uint8_t compressed = 0,
                  int32_t body_size = 0, std::string_view magic = "cFg") {
  ByteWriter w;
  w.Str2(magic).I32(version);
  for (int i = 0; i < 32; ++i) w.U8(0xA0 + i);
  w.U8(enciphered).U8(compressed).I32(body_size);
  return w;
}

std::string LoadError(const std::vector<uint8_t>& bytes) {
  TLameIni ini;
  MemoryStream stream(bytes.data(), bytes.size());
  try {
    ini.LoadFromStream(stream);
  } catch (const Error& e) {
    return e.Message();
  }
  return "(loaded)";
}

// A packed value for "xxxx": literal 'x' (read before any tag byte), then the
// tag byte 1101 1000: "1 1 0" short match with byte 0x03 (offset 1, length 3),
// "1 1 0" with byte 0x00 (end).
std::vector<uint8_t> PackedXXXX() {
  const uint8_t s[] = {0x78, 0xD8, 0x03, 0x00};
  ByteWriter w;
  w.Raw("AP32").U32(24).U32(sizeof s).U32(Crc32Block(s, sizeof s)).U32(4).U32(Crc32Text("xxxx"));
  w.bytes.insert(w.bytes.end(), s, s + sizeof s);
  return w.bytes;
}

TEST(ContainerFormat, WorkedSeventySevenByteExample) {
  const std::vector<uint8_t> bytes = {
      0x03, 0x00, 0x00, 0x00, 0x63, 0x46, 0x67, 0x03, 0x00, 0x00, 0x00,  // magic, version
      0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB,  // cipher key ...
      0xCC, 0xDD, 0xEE, 0xFF, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66,
      0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00,
      0x00, 0x00, 0x1C, 0x00, 0x00, 0x00,                                // flags, body size 28
      0x01, 0x00, 0x00, 0x00, 0x00, 0x0C,                                // 1 section, name length
      0x5F, 0x49, 0x6E, 0x69, 0x74, 0x69, 0x61, 0x6C, 0x69, 0x7A, 0x65, 0x5F,
      0x01, 0x00, 0x00, 0x00, 0xE3, 0x13, 0xAD, 0x2D, 0x06, 0x01};
  ASSERT_EQ(bytes.size(), 77u);
  TLameIni ini;
  MemoryStream stream(bytes.data(), bytes.size());
  ini.LoadFromStream(stream);
  EXPECT_EQ(ini.Version(), 3);
  EXPECT_EQ(ini.Key()[0], 0x11);
  EXPECT_EQ(ini.Key()[31], 0x00);
  EXPECT_EQ(ini.GetInteger("_Initialize_", "Language", 0), 1);
  EXPECT_NE(ini.FindSection("_Initialize_"), nullptr);
  EXPECT_EQ(ini.FindSection("_initialize_"), nullptr);
  EXPECT_EQ(stream.Position(), 77u);
}

TEST(ContainerFormat, VersionTwoAllTagsDuplicatesAndMerging) {
  ByteWriter w = Header(2);
  w.I32(3);
  w.Str2("S").I32(9);
  w.Str2("int").I32(0).I32(-5);
  w.Str2("str").I32(1).Str2("hello");
  w.Str2("bin").I32(2).I32(3).Raw("abc");  // no marker in version 2
  w.Str2("r3").I32(3).U64(0x0807060504030201ull);
  w.Str2("r4").I32(4).U64(0x1817161514131211ull);
  w.Str2("bool").I32(5).U8(2);
  w.Str2("t6").I32(6).U8(255);
  w.Str2("t7").I32(7).U16(65535);
  w.Str2("int").I32(1).Str2("later");  // same name again: one value, later payload
  w.Str2("T").I32(1).Str2("x").I32(0).I32(1);
  w.Str2("S").I32(1).Str2("more").I32(0).I32(7);  // section again: merged
  TLameIni ini;
  MemoryStream stream(w.bytes.data(), w.Size());
  ini.LoadFromStream(stream);

  ASSERT_EQ(ini.Sections().size(), 2u);
  const TLameIniSection& s = *ini.Sections()[0];
  EXPECT_EQ(s.Name, "S");
  ASSERT_EQ(s.Values.size(), 9u);  // "int" once, "more" appended
  EXPECT_EQ(s.Values[0]->Name, "int");
  EXPECT_EQ(s.Values[0]->Hash, NameHash("int"));
  EXPECT_EQ(ini.GetString("S", "int", "-"), "later");
  EXPECT_EQ(ini.GetInteger("S", "int", 42), 42);
  EXPECT_EQ(ini.GetString("S", "str", ""), "hello");
  ASSERT_EQ(ini.GetBinarySize("S", "bin", 0), 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ini.GetBinaryData("S", "bin")), 3), "abc");
  EXPECT_EQ(s.Values[3]->Raw3[0], 1);
  EXPECT_EQ(s.Values[3]->Raw3[7], 8);
  EXPECT_EQ(s.Values[4]->Raw4[7], 0x18);
  EXPECT_EQ(ini.GetBool("S", "bool", 0), 2);
  EXPECT_EQ(ini.GetInteger("S", "t6", -1), 255);
  EXPECT_EQ(ini.GetInteger("S", "t7", -1), 65535);
  EXPECT_EQ(ini.GetInteger("S", "more", 0), 7);
  EXPECT_EQ(ini.GetInteger("T", "x", 0), 1);
  EXPECT_EQ(ini.Version(), 2);
}

TEST(ContainerFormat, VersionThreeStringsMarkersAndHashes) {
  std::string long_text(300, 'q');
  std::vector<uint8_t> packed = PackedXXXX();
  ByteWriter w = Header(3, 0, /*compressed=*/1);
  w.I32(1).Str3("Sec");
  w.I32(8);
  w.I32(NameHash("long")).U8(1).Str3(long_text, 1);
  w.I32(NameHash("empty")).U8(1).Str3("", 0);
  w.I32(NameHash("code2")).U8(1).Str3("abc", 2);
  w.I32(NameHash("stored")).U8(2).I32(static_cast<int32_t>(packed.size())).U8(0).Raw(packed);
  w.I32(NameHash("packed")).U8(2).I32(static_cast<int32_t>(packed.size())).U8(5).Raw(packed);
  w.I32(NameHash("none")).U8(2).I32(0);  // no marker, no bytes
  w.I32(NameHash("dup")).U8(0).I32(1);
  w.I32(NameHash("dup")).U8(0).I32(2);
  w.U8(0xEE);  // trailing byte after the body is not read
  TLameIni ini;
  MemoryStream stream(w.bytes.data(), w.Size());
  ini.LoadFromStream(stream);

  EXPECT_EQ(ini.GetString("Sec", "long", ""), long_text);
  EXPECT_TRUE(ini.ValueExists("Sec", "empty"));
  EXPECT_EQ(ini.GetString("Sec", "empty", "x"), "");
  EXPECT_EQ(ini.GetString("Sec", "code2", ""), "abc");
  // Marker 0: handed out as stored, though the header says compressed.
  ASSERT_EQ(ini.GetBinarySize("Sec", "stored", 0), static_cast<int32_t>(packed.size()));
  EXPECT_EQ(0, std::memcmp(ini.GetBinaryData("Sec", "stored"), packed.data(), packed.size()));
  // Any other marker: expanded.
  ASSERT_EQ(ini.GetBinarySize("Sec", "packed", 0), 4);
  EXPECT_EQ(0, std::memcmp(ini.GetBinaryData("Sec", "packed"), "xxxx", 4));
  EXPECT_EQ(ini.GetBinarySize("Sec", "none", -7), 0);
  EXPECT_EQ(ini.GetBinaryData("Sec", "none", packed.data()), nullptr);
  const TLameIniSection& s = *ini.Sections()[0];
  ASSERT_EQ(s.Values.size(), 8u);  // equal hashes are all kept
  EXPECT_TRUE(s.Values[0]->Name.empty());
  EXPECT_EQ(s.Values[5]->Flags, 0);
  EXPECT_EQ(ini.GetInteger("Sec", "dup", 0), 1);  // the first of equal hashes
  EXPECT_EQ(stream.Position(), w.Size() - 1);
}

TEST(ContainerFormat, MarkerCannotSwitchCompressionOn) {
  std::vector<uint8_t> packed = PackedXXXX();
  ByteWriter w = Header(3, 0, /*compressed=*/2);
  w.I32(1).Str3("S").I32(1);
  w.I32(NameHash("v")).U8(2).I32(static_cast<int32_t>(packed.size())).U8(1).Raw(packed);
  TLameIni ini;
  MemoryStream stream(w.bytes.data(), w.Size());
  ini.LoadFromStream(stream);
  EXPECT_EQ(ini.GetBinarySize("S", "v", 0), static_cast<int32_t>(packed.size()));
}

TEST(ContainerFormat, EmptyAndNegativeCounts) {
  for (int32_t count : {0, -1, INT32_MIN}) {
    ByteWriter w = Header(3);
    w.I32(count);
    TLameIni ini;
    MemoryStream stream(w.bytes.data(), w.Size());
    ini.LoadFromStream(stream);
    EXPECT_TRUE(ini.Sections().empty());
  }
  ByteWriter w = Header(2);
  w.I32(1).Str2("S").I32(-3);
  TLameIni ini;
  MemoryStream stream(w.bytes.data(), w.Size());
  ini.LoadFromStream(stream);
  ASSERT_EQ(ini.Sections().size(), 1u);
  EXPECT_TRUE(ini.Sections()[0]->Values.empty());
}

TEST(ContainerFormat, MagicAndVersionMessages) {
  ByteWriter w = Header(3, 0, 0, 0, "CFG");
  w.I32(0);
  EXPECT_EQ(LoadError(w.bytes), "(loaded)");
  w = Header(3, 0, 0, 0, "cfg");
  w.I32(0);
  EXPECT_EQ(LoadError(w.bytes), "(loaded)");
  EXPECT_EQ(LoadError(Header(3, 0, 0, 0, "cFgX").bytes), "cFg!>cFgX");
  EXPECT_EQ(LoadError(Header(3, 0, 0, 0, " cF ").bytes), "cFg!>cF");
  EXPECT_EQ(LoadError(Header(3, 0, 0, 0, "abc").bytes), "cFg!>abc");
  EXPECT_EQ(LoadError(Header(3, 0, 0, 0, std::string("\x01\x1F" "ab\x20\x00", 6)).bytes), "cFg!>ab");
  EXPECT_EQ(LoadError(Header(3, 0, 0, 0, "").bytes), "cFg!>");
  EXPECT_EQ(LoadError(Header(1).bytes), "cFg (3)!>1");
  EXPECT_EQ(LoadError(Header(4).bytes), "cFg (3)!>4");
  EXPECT_EQ(LoadError(Header(-1).bytes), "cFg (3)!>-1");
}

// Every byte of a container counts: any cut before its end fails.
TEST(ContainerFormat, EveryTruncationIsAReadError) {
  std::vector<uint8_t> packed = PackedXXXX();
  for (int version : {2, 3}) {
    ByteWriter w = Header(version, 0, 1);
    w.I32(1);
    version == 3 ? w.Str3("Sec") : w.Str2("Sec");
    w.I32(3);
    if (version == 3) {
      w.I32(NameHash("a")).U8(1).Str3("text", 1);
      w.I32(NameHash("b")).U8(2).I32(static_cast<int32_t>(packed.size())).U8(1).Raw(packed);
      w.I32(NameHash("c")).U8(3).U64(1);
    } else {
      w.Str2("a").I32(1).Str2("text");
      w.Str2("b").I32(2).I32(static_cast<int32_t>(packed.size())).Raw(packed);
      w.Str2("c").I32(7).U16(9);
    }
    ASSERT_EQ(LoadError(w.bytes), "(loaded)");
    for (size_t cut = 0; cut < w.Size(); ++cut) {
      std::vector<uint8_t> part(w.bytes.begin(), w.bytes.begin() + cut);
      EXPECT_EQ(LoadError(part), "Stream read error") << "version " << version << " cut " << cut;
    }
  }
}

TEST(ContainerFormat, MalformedFieldsAreReadErrors) {
  auto v3 = [](auto&& body) {
    ByteWriter w = Header(3);
    w.I32(1).Str3("S").I32(1);
    body(w);
    return LoadError(w.bytes);
  };
  EXPECT_EQ(v3([](ByteWriter& w) { w.I32(1).U8(8); }), "Stream read error");          // tag 8
  EXPECT_EQ(v3([](ByteWriter& w) { w.I32(1).U8(1).U8(3).U8(0); }), "Stream read error");  // code 3
  EXPECT_EQ(v3([](ByteWriter& w) { w.I32(1).U8(1).U8(2).I32(-1); }), "Stream read error");
  EXPECT_EQ(v3([](ByteWriter& w) { w.I32(1).U8(2).I32(-1); }), "Stream read error");
  ByteWriter w = Header(2);
  w.I32(1).Str2("S").I32(1).Str2("v").I32(-1);  // negative version-2 tag
  EXPECT_EQ(LoadError(w.bytes), "Stream read error");
  w = Header(2);
  w.I32(1).I32(-4);  // negative section name length
  EXPECT_EQ(LoadError(w.bytes), "Stream read error");
  ByteWriter magic;
  magic.I32(-3).Raw("cFg");
  EXPECT_EQ(LoadError(magic.bytes), "Stream read error");
}

TEST(ContainerFormat, HugeClaimsFailWithoutAllocating) {
  const int32_t kHuge = 0x7FFFFFF0;
  std::vector<std::vector<uint8_t>> cases;
  ByteWriter w;
  w.I32(kHuge).Raw("cFg");  // magic length
  cases.push_back(w.bytes);
  cases.push_back(Header(3, 1, 0, kHuge).bytes);  // enciphered body size
  w = Header(3);
  w.I32(INT32_MAX);  // section count with nothing behind it
  cases.push_back(w.bytes);
  w = Header(3);
  w.I32(1).U8(2).I32(kHuge).Raw("Sec");  // section name length
  cases.push_back(w.bytes);
  w = Header(3);
  w.I32(1).Str3("S").I32(INT32_MAX).I32(5).U8(0).I32(1);  // value count
  cases.push_back(w.bytes);
  w = Header(3);
  w.I32(1).Str3("S").I32(1).I32(5).U8(2).I32(kHuge).U8(0).Raw("abc");  // binary size
  cases.push_back(w.bytes);
  w = Header(2);
  w.I32(1).Str2("S").I32(1).Str2("v").I32(1).I32(kHuge);  // v2 string payload
  cases.push_back(w.bytes);
  for (size_t i = 0; i < cases.size(); ++i) {
    ASSERT_LT(cases[i].size(), 100u);
    test::AllocProbe probe;
    EXPECT_EQ(LoadError(cases[i]), "Stream read error") << "case " << i;
    EXPECT_LT(probe.Largest(), 4096u) << "case " << i;
  }
}

TEST(ContainerFormat, EncipheredBodyRules) {
  // Plain body text "S" with one integer, enciphered by layers.
  CipherKey key{};
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(0xA0 + i);
  ByteWriter body;
  std::string name = pack::EncipherText("Section", key);
  std::string text = pack::EncipherText("some value text", key);
  body.I32(1).Str3(name).I32(2);
  body.I32(NameHash("n")).U8(0).I32(-77);
  body.I32(NameHash("t")).U8(1).Str3(text);
  pack::EncipherBuffer(body.bytes.data(), static_cast<int32_t>(body.Size()), key);

  ByteWriter w = Header(3, 1, 0, static_cast<int32_t>(body.Size()));
  w.Raw(body.bytes).Raw("trailing bytes are never read");
  TLameIni ini;
  MemoryStream stream(w.bytes.data(), w.Size());
  ini.LoadFromStream(stream);
  EXPECT_EQ(ini.Enciphered(), 1);
  EXPECT_EQ(ini.GetInteger("Section", "n", 0), -77);
  EXPECT_EQ(ini.GetString("Section", "t", ""), "some value text");
  EXPECT_EQ(stream.Position(), w.Size() - 29);

  // A second container into the same store replaces the first, and its magic
  // is read unenciphered.
  ByteWriter plain = Header(2);
  plain.I32(1).Str2("Other").I32(1).Str2("k").I32(0).I32(5);
  MemoryStream second(plain.bytes.data(), plain.Size());
  ini.LoadFromStream(second);
  EXPECT_EQ(ini.Enciphered(), 0);
  EXPECT_EQ(ini.FindSection("Section"), nullptr);
  EXPECT_EQ(ini.GetInteger("Other", "k", 0), 5);

  // Body larger than the stream; negative body size.
  std::vector<uint8_t> cut(w.bytes.begin(), w.bytes.begin() + 49 + body.Size() - 1);
  EXPECT_EQ(LoadError(cut), "Stream read error");
  EXPECT_EQ(LoadError(Header(3, 1, 0, -1).bytes), "Out of memory while expanding memory stream");
  // Enciphered flag 2: a plain container whose (wrong) body size is ignored.
  ByteWriter flag2 = Header(3, 2, 0, -1);
  flag2.I32(1).Str3("P").I32(0);
  EXPECT_EQ(LoadError(flag2.bytes), "(loaded)");
  // Section count 0 in an enciphered container.
  ByteWriter empty_body;
  empty_body.I32(0);
  pack::EncipherBuffer(empty_body.bytes.data(), 4, key);
  ByteWriter empty = Header(3, 1, 0, 4);
  empty.Raw(empty_body.bytes);
  EXPECT_EQ(LoadError(empty.bytes), "(loaded)");
}

}  // namespace
}  // namespace upkit
