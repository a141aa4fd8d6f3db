// The store's query rules: lookup by hash, the one-entry caches, defaults
// for missing and mistyped values, one-time unpacking, and Clear.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec/crc32.h"
#include "codec/encipher.h"
#include "container/lame_ini.h"
#include "tests/container/byte_writer.h"

namespace upkit {
namespace {

using test::ByteWriter;

ByteWriter Header(int32_t version, uint8_t enciphered, uint8_t compressed, const CipherKey& key,
                  int32_t body_size = 0) {
  ByteWriter w;
  w.Str2("cFg").I32(version);
  w.bytes.insert(w.bytes.end(), key.begin(), key.end());
  w.U8(enciphered).U8(compressed).I32(body_size);
  return w;
}

void Load(TLameIni& ini, const std::vector<uint8_t>& bytes) {
  MemoryStream stream(bytes.data(), bytes.size());
  ini.LoadFromStream(stream);
}

// A version-3 store: "A" with every kind, "B" sharing a value name with "A".
std::vector<uint8_t> KindsContainer() {
  ByteWriter w = Header(3, 0, 0, CipherKey{});
  w.I32(2);
  w.Str3("A").I32(7);
  w.I32(NameHash("int")).U8(0).I32(-9);
  w.I32(NameHash("str")).U8(1).Str3("text");
  w.I32(NameHash("bin")).U8(2).I32(2).U8(0).Raw("zz");
  w.I32(NameHash("raw3")).U8(3).U64(3);
  w.I32(NameHash("raw4")).U8(4).U64(4);
  w.I32(NameHash("bool")).U8(5).U8(1);
  w.I32(NameHash("same")).U8(0).I32(100);
  w.Str3("B").I32(1);
  w.I32(NameHash("same")).U8(0).I32(200);
  return w.bytes;
}

TEST(Store, KindsAndDefaults) {
  TLameIni ini;
  Load(ini, KindsContainer());
  EXPECT_EQ(ini.GetInteger("A", "int", 1), -9);
  EXPECT_EQ(ini.GetInteger("A", "str", 1), 1);  // string asked as integer
  EXPECT_EQ(ini.GetString("A", "int", "d"), "d");  // integer asked as string
  EXPECT_EQ(ini.GetString("A", "str", "d"), "text");
  EXPECT_EQ(ini.GetBool("A", "int", 7), 7);
  EXPECT_EQ(ini.GetBool("A", "bool", 0), 1);
  EXPECT_EQ(ini.GetBinarySize("A", "str", -3), -3);
  const uint8_t marker = 0;
  EXPECT_EQ(ini.GetBinaryData("A", "int", &marker), &marker);
  EXPECT_EQ(ini.GetBinaryData("A", "missing", &marker), &marker);
  EXPECT_EQ(ini.GetBinaryData("A", "missing"), nullptr);
  EXPECT_EQ(ini.GetInteger("Nope", "int", 5), 5);
  for (const char* name : {"int", "str", "bin", "raw3", "raw4", "bool"})
    EXPECT_TRUE(ini.ValueExists("A", name)) << name;
  EXPECT_FALSE(ini.ValueExists("A", "INT"));  // names are case-sensitive
  EXPECT_FALSE(ini.ValueExists("a", "int"));
  EXPECT_EQ(ini.GetInteger("A", "raw3", 11), 11);

  ini.CurrentSection = "A";
  EXPECT_EQ(ini.ReadInteger("int"), -9);
  EXPECT_EQ(ini.ReadString("str"), "text");
  EXPECT_EQ(ini.ReadBool("bool"), 1);
  EXPECT_EQ(ini.ReadInteger("str"), 0);
  EXPECT_EQ(ini.ReadString("int"), "");
  EXPECT_EQ(ini.ReadBool("missing"), 0);
}

// The cached value is used only when its section and hash both match.
TEST(Store, AlternatingLookupsAndCaches) {
  TLameIni ini;
  Load(ini, KindsContainer());
  EXPECT_EQ(ini.LastSection(), nullptr);
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(ini.GetInteger("A", "int", 0), -9);
    EXPECT_EQ(ini.GetInteger("A", "same", 0), 100);
    EXPECT_EQ(ini.GetInteger("B", "same", 0), 200);
    EXPECT_EQ(ini.GetInteger("A", "same", 0), 100);
  }
  const TLameIniSection* a = ini.FindSection("A");
  const TLameIniValue* same_a = ini.FindValue("A", "same");
  EXPECT_EQ(ini.LastSection(), a);
  EXPECT_EQ(ini.LastValueSection(), a);
  EXPECT_EQ(ini.LastValue(), same_a);
  // A failed lookup leaves the caches as they were.
  EXPECT_EQ(ini.FindSection("C"), nullptr);
  EXPECT_EQ(ini.FindValue("A", "nothing"), nullptr);
  EXPECT_EQ(ini.LastSection(), a);
  EXPECT_EQ(ini.LastValue(), same_a);
  // A section that FindOrAddSection appends does not become LastSection.
  TLameIniSection* added = ini.FindOrAddSection("New");
  EXPECT_EQ(ini.Sections().back().get(), added);
  EXPECT_EQ(ini.LastSection(), a);
  EXPECT_EQ(ini.FindOrAddSection("A"), a);
  TLameIniValue* v = ini.FindOrAddValue("New", "k");
  EXPECT_EQ(v->Hash, NameHash("k"));
  EXPECT_EQ(v->Name, "k");
  EXPECT_EQ(ini.FindOrAddValue("New", "k"), v);
  EXPECT_EQ(added->Values.size(), 1u);
}

// Thousands of sections and values: every lookup through the hash index
// finds its own entry, a repeated hash keeps the first value, names never
// added are missed; hashes that differ only in their high bits share a home
// slot and must still be told apart.
TEST(Store, ManyEntriesFoundThroughTheIndex) {
  TLameIni ini;
  for (int i = 0; i < 3000; ++i) ini.FindOrAddValue("S" + std::to_string(i % 7), "v" + std::to_string(i));
  TLameIniSection* first = ini.FindSection("S0");
  ini.FindOrAddValue("S0", "v0");  // already there: found, not added
  EXPECT_EQ(first->Values.size(), 429u);
  for (int i = 0; i < 3000; ++i) {
    const TLameIniValue* v = ini.FindValue("S" + std::to_string(i % 7), "v" + std::to_string(i));
    ASSERT_NE(v, nullptr) << i;
    EXPECT_EQ(v->Name, "v" + std::to_string(i));
  }
  EXPECT_EQ(ini.FindValue("S1", "v0"), nullptr);
  EXPECT_EQ(ini.FindSection("S7"), nullptr);

  HashIndex<int> index;
  std::vector<int> objects(64);
  for (int i = 0; i < 64; ++i) index.AddFirst(static_cast<int32_t>(static_cast<uint32_t>(i) << 26), &objects[i]);
  index.AddFirst(0, &objects[1]);  // the same hash again: the first stays
  EXPECT_EQ(index.Count(), 64u);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(index.Find(static_cast<int32_t>(static_cast<uint32_t>(i) << 26)), &objects[i]);
  EXPECT_EQ(index.Find(1), nullptr);
  index.Clear();
  EXPECT_EQ(index.Find(0), nullptr);
}

TEST(Store, ClearKeepsCurrentSectionAndVersion) {
  TLameIni ini;
  Load(ini, KindsContainer());
  ini.CurrentSection = "A";
  CipherKey before = ini.Key();
  ASSERT_TRUE(ini.FindValue("A", "int"));
  ini.Clear();
  EXPECT_EQ(ini.CurrentSection, "A");
  EXPECT_EQ(ini.Version(), 3);
  EXPECT_TRUE(ini.Sections().empty());
  EXPECT_EQ(ini.LastSection(), nullptr);
  EXPECT_EQ(ini.LastValue(), nullptr);
  EXPECT_EQ(ini.ReadInteger("int"), 0);
  EXPECT_FALSE(ini.ValueExists("A", "int"));
  EXPECT_FALSE(ini.ValueExists("A", "bin"));
  EXPECT_NE(ini.Key(), before);  // a fresh random key (all 0 in the container)
  for (uint8_t b : ini.Key()) EXPECT_LT(b, 255);
}

std::vector<uint8_t> Packed(const std::vector<uint8_t>& stream, uint32_t size, const char* text) {
  ByteWriter w;
  w.Raw("AP32").U32(24).U32(static_cast<uint32_t>(stream.size()))
      .U32(Crc32Block(stream.data(), static_cast<uint32_t>(stream.size())))
      .U32(size).U32(Crc32Block(text, size));
  w.Raw(stream);
  return w.bytes;
}

// Enciphered and compressed values are undone once; later calls give the
// same bytes at the same address.
TEST(Store, BinaryValuesUnpackOnce) {
  CipherKey key{};
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i * 7 + 1);
  std::vector<uint8_t> good = Packed({0x78, 0xD8, 0x03, 0x00}, 4, "xxxx");
  std::vector<uint8_t> bad_crc = good;
  bad_crc[12] ^= 1;  // packed CRC
  std::vector<uint8_t> bad_tag = good;
  bad_tag[0] = 'B';
  std::vector<uint8_t> plain(37);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 13);

  ByteWriter body;
  body.I32(1).Str3(pack::EncipherText("S", key)).I32(4);
  auto binary = [&](const char* name, std::vector<uint8_t> bytes, uint8_t marker) {
    pack::EncipherBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), key);
    body.I32(NameHash(name)).U8(2).I32(static_cast<int32_t>(bytes.size())).U8(marker).Raw(bytes);
  };
  binary("good", good, 1);
  binary("crc", bad_crc, 1);
  binary("tag", bad_tag, 1);
  binary("plain", plain, 0);
  pack::EncipherBuffer(body.bytes.data(), static_cast<int32_t>(body.Size()), key);
  ByteWriter w = Header(3, 1, 1, key, static_cast<int32_t>(body.Size()));
  w.Raw(body.bytes);

  TLameIni ini;
  Load(ini, w.bytes);
  const TLameIniValue* value = ini.FindValue("S", "good");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->Flags, TLameIniValue::kCompressedMark | TLameIniValue::kEncipheredMark);
  EXPECT_EQ(ini.GetBinarySize("S", "good", 0), 4);
  EXPECT_EQ(value->Flags, 0);
  const uint8_t* first = ini.GetBinaryData("S", "good");
  EXPECT_EQ(ini.GetBinarySize("S", "good", 0), 4);
  EXPECT_EQ(ini.GetBinaryData("S", "good"), first);
  EXPECT_EQ(0, std::memcmp(first, "xxxx", 4));

  // A packed stream that fails its checks, or a foreign header: -1, no bytes.
  EXPECT_EQ(ini.GetBinarySize("S", "crc", 0), -1);
  EXPECT_EQ(ini.GetBinaryData("S", "crc"), nullptr);
  EXPECT_EQ(ini.GetBinaryData("S", "tag"), nullptr);
  EXPECT_EQ(ini.GetBinarySize("S", "tag", 0), -1);

  // Stored (marker 0) but enciphered: deciphered exactly once.
  ASSERT_EQ(ini.GetBinarySize("S", "plain", 0), 37);
  const uint8_t* p1 = ini.GetBinaryData("S", "plain");
  ASSERT_EQ(0, std::memcmp(p1, plain.data(), plain.size()));
  EXPECT_EQ(0, std::memcmp(ini.GetBinaryData("S", "plain"), plain.data(), plain.size()));
  EXPECT_EQ(ini.GetBinarySize("S", "plain", 0), 37);
}

}  // namespace
}  // namespace upkit
