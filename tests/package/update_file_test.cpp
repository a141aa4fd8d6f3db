// Loading the update description from packages written by the package
// writer (and damaged on purpose): settings, items, defaults for missing
// sections and keys, the picture and document rules, and the Data checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "codec/error.h"
#include "pack/package_writer.h"
#include "package/update_file.h"
#include "tests/container/alloc_probe.h"
#include "tests/package/bmp_builder.h"

namespace upkit {
namespace {

using pack::ContainerOptions;
using pack::ContainerSection;
using pack::ContainerValue;
using pack::Package;
using pack::PackageItem;

std::vector<uint8_t> SmallBmp() {
  test::BmpSpec s;
  s.width = 2;
  s.height = 1;
  s.pixels = {1, 2, 3, 4, 5, 6, 0, 0};
  return test::MakeBmp(s);
}

ContainerOptions Options(int version = 3, bool enciphered = true, bool compressed = true) {
  ContainerOptions o;
  o.version = version;
  o.enciphered = enciphered;
  o.compressed = compressed;
  for (int i = 0; i < 32; ++i) o.key[i] = static_cast<uint8_t>(i * 5 + 3);
  return o;
}

Package Sample() {
  Package p;
  p.ProjectName = "Product";
  p.DefaultDir = "$PROGRAMFILES$\\Product\\";
  p.WinURL = "https://example.test/";
  p.FormCaption = "Update";
  p.ButtonCaption = "Go";
  p.AutorName = "Author";
  p.AutorMail = "a@example.test";
  p.AutorWWW = "example.test";
  p.Language = 0;
  p.DocumentType = 1;
  p.Picture = SmallBmp();
  p.DocumentText = std::vector<uint8_t>(4000, '{');
  PackageItem a;
  a.OriginName = "app.exe";
  a.UpdateName = "app.upd";
  a.Path = "bin\\";
  a.Action = 3;
  a.Data = std::vector<uint8_t>(10000, 0x5A);
  a.CheckSize = 1;
  a.CheckCRC = 1;
  a.Size = 12345;
  a.CRC = static_cast<int32_t>(0xE8B7BE43);
  PackageItem b;
  b.OriginName = "old.dll";
  b.Action = 4;
  p.Items = {a, b};
  return p;
}

// A memory stream whose bytes last, as the executable's own resource does:
// the loader reads a plain package in place.
// With `changeable`, the loader may also decipher those bytes in place.
class LastingStream : public MemoryStream {
 public:
  LastingStream(const void* memory, size_t size, bool changeable = false)
      : MemoryStream(memory, size), changeable_(changeable) {}
  const uint8_t* LastingMemory() const override { return Memory(); }
  uint8_t* ChangeableLastingMemory() override { return changeable_ ? const_cast<uint8_t*>(Memory()) : nullptr; }

 private:
  bool changeable_;
};

// With `lasting`, the caller keeps `bytes` alive as long as the result.
std::unique_ptr<TUpdateFile> Load(const std::vector<uint8_t>& bytes, bool lasting = false) {
  auto file = std::make_unique<TUpdateFile>();
  LastingStream in_place(bytes.data(), bytes.size());
  MemoryStream copied(bytes.data(), bytes.size());
  file->LoadFromStream(lasting ? static_cast<Stream&>(in_place) : copied);
  return file;
}

std::string LoadError(const std::vector<uint8_t>& bytes, bool lasting = false) {
  try {
    Load(bytes, lasting);
  } catch (const Error& e) {
    return e.Message();
  }
  return "(loaded)";
}

// The item's Data as its action sees it.
std::vector<uint8_t> ReadyData(TUpdateFile& file, TFileItem& item) {
  ItemDataInUse in_use(file, item);
  return std::vector<uint8_t>(item.Data.begin(), item.Data.end());
}

ContainerSection* Find(std::vector<ContainerSection>& sections, const std::string& name) {
  for (auto& s : sections)
    if (s.name == name) return &s;
  return nullptr;
}

// Removes a value; returns false when it was not there.
bool Drop(ContainerSection& s, const std::string& name) {
  for (auto it = s.values.begin(); it != s.values.end(); ++it) {
    if (it->name == name) {
      s.values.erase(it);
      return true;
    }
  }
  return false;
}

ContainerValue& Value(ContainerSection& s, const std::string& name) {
  for (auto& v : s.values)
    if (v.name == name) return v;
  s.values.push_back({});
  s.values.back().name = name;
  return s.values.back();
}

TEST(UpdateFile, LoadsEverySettingAndItem) {
  for (int version : {2, 3}) {
    SCOPED_TRACE(version);
    Package p = Sample();
    auto f = Load(pack::WritePackage(p, Options(version)));
    EXPECT_EQ(f->ProjectName, p.ProjectName);
    EXPECT_EQ(f->DefaultDir, p.DefaultDir);
    EXPECT_EQ(f->WinURL, p.WinURL);
    EXPECT_EQ(f->FormCaption, p.FormCaption);
    EXPECT_EQ(f->ButtonCaption, p.ButtonCaption);
    EXPECT_EQ(f->AutorName, p.AutorName);
    EXPECT_EQ(f->AutorMail, p.AutorMail);
    EXPECT_EQ(f->AutorWWW, p.AutorWWW);
    EXPECT_EQ(f->Language, 0);
    EXPECT_EQ(f->DocumentType, 1);
    EXPECT_EQ(f->Picture.Width(), 2);
    EXPECT_EQ(f->Picture.Pixels()[0], 0x030201u);
    EXPECT_EQ(f->DocumentText.Bytes(), p.DocumentText);
    EXPECT_EQ(f->DocumentText.Position(), 0u);
    ASSERT_EQ(f->Items.size(), 2u);
    TFileItem& a = f->Items[0];
    EXPECT_EQ(a.OriginName, "app.exe");
    EXPECT_EQ(a.UpdateName, "app.upd");
    EXPECT_EQ(a.Path, "bin\\");
    EXPECT_EQ(a.Action, 3);
    EXPECT_EQ(a.DataSize, 10000);
    EXPECT_EQ(ReadyData(*f, a), p.Items[0].Data);
    EXPECT_EQ(a.CheckSize, 1);
    EXPECT_EQ(a.CheckCRC, 1);
    EXPECT_EQ(a.Size, 12345);
    EXPECT_EQ(static_cast<uint32_t>(a.CRC), 0xE8B7BE43u);
    EXPECT_EQ(f->Items[1].Action, 4);
    EXPECT_TRUE(f->Items[1].Data.empty());
    EXPECT_EQ(f->Items[1].DataSize, 0);
  }
}

TEST(UpdateFile, FileCountMissingZeroOrNegative) {
  for (int variant = 0; variant < 3; ++variant) {
    auto sections = pack::PackageSections(Sample());
    ContainerSection& init = *Find(sections, "_Initialize_");
    if (variant == 0) ASSERT_TRUE(Drop(init, "FileCount"));
    else Value(init, "FileCount").integer = variant == 1 ? 0 : -2;
    auto f = Load(pack::WriteContainer(sections, Options(3, false, false)));
    EXPECT_TRUE(f->Items.empty()) << variant;
    EXPECT_EQ(f->ProjectName, "Product");
  }
}

TEST(UpdateFile, MissingSectionsGiveDefaultItemsAndNamesMatchExactly) {
  Package p = Sample();
  p.Items.resize(11);
  for (size_t i = 0; i < p.Items.size(); ++i) p.Items[i].OriginName = "f" + std::to_string(i);
  auto sections = pack::PackageSections(p);
  Find(sections, "UpdateItem1")->name = "updateitem1";  // not the second item any more
  sections.erase(sections.begin() + 3);                  // UpdateItem2
  auto f = Load(pack::WriteContainer(sections, Options()));
  ASSERT_EQ(f->Items.size(), 11u);
  EXPECT_EQ(f->Items[0].OriginName, "f0");
  for (int missing : {1, 2}) {
    const TFileItem& m = f->Items[missing];
    EXPECT_EQ(m.OriginName, "");
    EXPECT_EQ(m.Action, 0);
    EXPECT_TRUE(m.Data.empty());
    EXPECT_EQ(m.CheckSize, 0);
    EXPECT_EQ(m.CheckCRC, 0);
  }
  EXPECT_EQ(f->Items[3].OriginName, "f3");
  EXPECT_EQ(f->Items[10].OriginName, "f10");  // "UpdateItem10", no leading zeros
}

TEST(UpdateFile, HugeFileCountFailsInsteadOfAllocating) {
  auto sections = pack::PackageSections(Sample());
  Value(*Find(sections, "_Initialize_"), "FileCount").integer = INT32_MAX;
  EXPECT_EQ(LoadError(pack::WriteContainer(sections, Options())),
            "\"FileCount\" is 2147483647, but the package holds only 3 sections");
  Value(*Find(sections, "_Initialize_"), "FileCount").integer = 1000;  // within the margin
  EXPECT_EQ(Load(pack::WriteContainer(sections, Options()))->Items.size(), 1000u);
}

TEST(UpdateFile, StoredBytesOfChecksAreKept) {
  auto sections = pack::PackageSections(Sample());
  Value(*Find(sections, "UpdateItem0"), "CheckSize").boolean = 2;
  auto f = Load(pack::WriteContainer(sections, Options()));
  EXPECT_EQ(f->Items[0].CheckSize, 2);
  EXPECT_EQ(f->Items[0].CheckCRC, 1);
}

// "Size64": the full size of a check from 4 GiB on, written only there,
// and refused when an installer reading only Size would check other bits.
TEST(UpdateFile, FullSizeOfACheckLoadsOnlyWhenItAgreesWithSize) {
  Package p = Sample();
  pack::ExpectedSize(p.Items[0], 0xFFFFFFFFu);  // fits 32 bits: the item as before
  auto sections = pack::PackageSections(p);
  EXPECT_FALSE(Drop(*Find(sections, "UpdateItem0"), "Size64"));
  auto f = Load(pack::WriteContainer(sections, Options()));
  EXPECT_FALSE(f->Items[0].HasSize64);
  EXPECT_EQ(f->Items[0].Size, -1);

  const uint64_t five_gib_and_one = (5ull << 30) + 1;
  pack::ExpectedSize(p.Items[0], five_gib_and_one);
  for (int version : {2, 3}) {
    f = Load(pack::WriteContainer(pack::PackageSections(p), Options(version)));
    EXPECT_TRUE(f->Items[0].HasSize64);
    EXPECT_EQ(f->Items[0].Size64, five_gib_and_one);
    EXPECT_EQ(f->Items[0].Size, 0x40000001);
    EXPECT_FALSE(f->Items[1].HasSize64);
  }
  sections = pack::PackageSections(p);
  Value(*Find(sections, "UpdateItem0"), "Size").integer = 1;  // low bits disagree
  EXPECT_EQ(LoadError(pack::WriteContainer(sections, Options())), "Item \"UpdateItem0\": \"Size64\" cannot be used");
  sections = pack::PackageSections(p);
  ContainerValue& v = Value(*Find(sections, "UpdateItem0"), "Size64");
  v.kind = ContainerValue::kInteger;
  v.integer = 0x40000001;
  EXPECT_EQ(LoadError(pack::WriteContainer(sections, Options())), "Item \"UpdateItem0\": \"Size64\" cannot be used");
}

TEST(UpdateFile, DataSizeRules) {
  auto with_item = [](auto&& change) {
    auto sections = pack::PackageSections(Sample());
    change(*Find(sections, "UpdateItem0"));
    return pack::WriteContainer(sections, Options());
  };
  // DataSize 0: no Data even though the package holds some.
  auto f = Load(with_item([](ContainerSection& s) { Value(s, "DataSize").integer = 0; }));
  EXPECT_TRUE(f->Items[0].Data.empty());
  // Negative: no Data, not an error.
  f = Load(with_item([](ContainerSection& s) { Value(s, "DataSize").integer = -5; }));
  EXPECT_TRUE(f->Items[0].Data.empty());
  EXPECT_EQ(f->Items[0].DataSize, -5);
  // Fewer bytes wanted than stored: the first DataSize bytes.
  f = Load(with_item([](ContainerSection& s) { Value(s, "DataSize").integer = 3; }));
  EXPECT_EQ(ReadyData(*f, f->Items[0]), std::vector<uint8_t>(3, 0x5A));

  // Found while loading, whether the package is copied or read in place.
  for (bool lasting : {false, true}) {
    EXPECT_EQ(LoadError(with_item([](ContainerSection& s) { Value(s, "DataSize").integer = 10001; }), lasting),
              "Item \"UpdateItem0\": \"Data\" holds fewer than DataSize bytes");
    EXPECT_EQ(LoadError(with_item([](ContainerSection& s) { Drop(s, "Data"); }), lasting),
              "Item \"UpdateItem0\": \"Data\" is missing");
    EXPECT_EQ(LoadError(with_item([](ContainerSection& s) {
                          ContainerValue& v = Value(s, "Data");
                          v.kind = ContainerValue::kString;
                          v.text = "not binary";
                        }),
                        lasting),
              "Item \"UpdateItem0\": \"Data\" is not a binary value");
  }
}

// Loading keeps no payload: a stored one is lent where it lies, a packed
// one is expanded only while its item runs and freed after it.
TEST(UpdateFile, DataIsReadyOnlyWhileItsItemRuns) {
  for (int variant = 0; variant < 6; ++variant) {
    // The last two: an enciphered package deciphered where it lies.
    const bool enciphered = variant & 2 || variant >= 4, compressed = variant & 1, changeable = variant >= 4;
    {
      SCOPED_TRACE(variant);
      std::vector<uint8_t> bytes = pack::WritePackage(Sample(), Options(3, enciphered, compressed));
      const std::vector<uint8_t> written = bytes;
      std::unique_ptr<TUpdateFile> f;
      {
        test::AllocProbe probe;
        LastingStream stream(bytes.data(), bytes.size(), changeable);
        f = std::make_unique<TUpdateFile>();
        f->LoadFromStream(stream);
        // A plain or changeable package is read in place: nothing of a
        // payload's size is allocated (a packed payload is expanded once and
        // dropped).
        if ((!enciphered || changeable) && !compressed) {
          EXPECT_LT(probe.Largest(), 10000u);
        }
      }
      EXPECT_EQ(bytes != written, changeable);
      TFileItem& a = f->Items[0];
      EXPECT_TRUE(a.Data.empty());
      {
        ItemDataInUse in_use(*f, a);
        ASSERT_EQ(a.Data.size(), 10000u);
        EXPECT_EQ(a.Data, Sample().Items[0].Data);
        const bool in_package = a.Data.data() >= bytes.data() && a.Data.data() < bytes.data() + bytes.size();
        EXPECT_EQ(in_package, (!enciphered || changeable) && !compressed);
      }
      EXPECT_TRUE(a.Data.empty());
      // An item made by hand keeps its bytes.
      TFileItem by_hand;
      by_hand.Data = std::vector<uint8_t>{1, 2};
      by_hand.DataSize = 2;
      { ItemDataInUse in_use(*f, by_hand); }
      EXPECT_EQ(by_hand.Data, (std::vector<uint8_t>{1, 2}));
    }
  }
}

// Running out of memory while expanding the picture or the document fails
// the load like any other value; a picture whose decoded pixels cannot be
// had is simply not shown.
TEST(UpdateFile, OutOfMemoryWhileLoadingSettings) {
  for (const char* which : {"Picture", "DocumentText"}) {
    Package p = Sample();
    p.Items.clear();
    p.Picture.resize(which[0] == 'P' ? 30000 : 100, 0);  // compressible: stored packed
    p.DocumentText.resize(which[0] == 'D' ? 30000 : 100, ' ');
    std::vector<uint8_t> bytes = pack::WritePackage(p, Options(3, false, true));
    test::AllocProbe probe(20000);
    EXPECT_EQ(LoadError(bytes), "Out of memory") << which;
  }
  test::BmpSpec big;
  big.width = big.height = 2000;  // 16 MB of pixels from a 500 KB file
  big.bits = 1;
  big.palette = {0, 0xFFFFFF};
  big.pixels.assign(2000 * 252, 0x55);
  Package p = Sample();
  p.Picture = test::MakeBmp(big);
  std::vector<uint8_t> bytes = pack::WritePackage(p, Options(3, false, false));
  std::unique_ptr<TUpdateFile> f;
  {
    test::AllocProbe probe(4 << 20);
    f = Load(bytes);
  }
  EXPECT_TRUE(f->Picture.Empty());
  EXPECT_EQ(f->DocumentText.Size(), 4000u);
  EXPECT_FALSE(Load(bytes)->Picture.Empty());
}

// A packed "Data" whose stream fails its checks is never handed on.
TEST(UpdateFile, DataThatCannotBeExpandedFailsTheLoad) {
  Package p = Sample();
  std::vector<uint8_t> bytes = pack::WritePackage(p, Options(3, false, true));
  // The item's packed value starts with "AP32"; damage its packed CRC field.
  const uint8_t tag[] = {'A', 'P', '3', '2'};
  size_t found = 0, last = 0;
  for (size_t i = 0; i + 4 <= bytes.size(); ++i)
    if (std::equal(tag, tag + 4, bytes.begin() + i)) ++found, last = i;
  ASSERT_GE(found, 2u);  // the item's data is the last packed value
  // Header and packed CRC intact, only the unpacked CRC wrong: found only
  // by expanding, which loading therefore does, whether or not it copies.
  for (size_t field : {12, 20}) {
    std::vector<uint8_t> damaged = bytes;
    damaged[last + field] ^= 0xFF;
    EXPECT_EQ(LoadError(damaged), "Item \"UpdateItem0\": \"Data\" cannot be expanded");
    EXPECT_EQ(LoadError(damaged, true), "Item \"UpdateItem0\": \"Data\" cannot be expanded");
  }
}

TEST(UpdateFile, BadPictureAndMissingDocumentAreNotErrors) {
  Package p = Sample();
  p.Picture = {'B', 'M', 1, 2, 3};
  p.DocumentText.clear();
  auto f = Load(pack::WritePackage(p, Options()));
  EXPECT_TRUE(f->Picture.Empty());
  EXPECT_EQ(f->DocumentText.Size(), 0u);
  EXPECT_EQ(f->Items.size(), 2u);

  // Picture and document of the wrong kind, or packed values that fail:
  // both stay empty and loading goes on.
  auto sections = pack::PackageSections(Sample());
  ContainerSection& init = *Find(sections, "_Initialize_");
  Value(init, "Picture").kind = ContainerValue::kInteger;
  Value(init, "DocumentText").kind = ContainerValue::kString;
  f = Load(pack::WriteContainer(sections, Options()));
  EXPECT_TRUE(f->Picture.Empty());
  EXPECT_EQ(f->DocumentText.Size(), 0u);

  Package big = Sample();
  big.Picture.resize(3000, 0);  // compressible: stored packed
  std::vector<uint8_t> bytes = pack::WritePackage(big, Options(3, false, true));
  const uint8_t tag[] = {'A', 'P', '3', '2'};
  for (size_t i = 0; i + 4 <= bytes.size(); ++i) {
    if (std::equal(tag, tag + 4, bytes.begin() + i)) {
      bytes[i + 20] ^= 1;  // unpacked CRC of the first packed value, the picture
      break;
    }
  }
  f = Load(bytes);
  EXPECT_TRUE(f->Picture.Empty());
  EXPECT_EQ(f->DocumentText.Size(), 4000u);
}

TEST(UpdateFile, ContainerFailuresAndReload) {
  std::vector<uint8_t> bytes = pack::WritePackage(Sample(), Options());
  bytes[4] = 'a';
  bytes[5] = 'b';
  bytes[6] = 'c';
  EXPECT_EQ(LoadError(bytes), "cFg!>abc");
  bytes = pack::WritePackage(Sample(), Options());
  bytes.resize(bytes.size() - 1);
  EXPECT_EQ(LoadError(bytes), "Stream read error");
  bytes = pack::WritePackage(Sample(), Options(3, false, false));
  bytes.resize(bytes.size() - 1);
  EXPECT_EQ(LoadError(bytes, true), "Stream read error");  // read in place, checked the same

  // Loading again replaces everything; Clear empties it.
  auto f = Load(pack::WritePackage(Sample(), Options()));
  Package other;
  other.ProjectName = "Other";
  std::vector<uint8_t> second = pack::WritePackage(other, Options(2, false, false));
  MemoryStream stream(second.data(), second.size());
  f->LoadFromStream(stream);
  EXPECT_EQ(f->ProjectName, "Other");
  EXPECT_TRUE(f->Picture.Empty());
  EXPECT_TRUE(f->Items.empty());
  EXPECT_EQ(f->DocumentText.Size(), 0u);
  EXPECT_EQ(f->Language, 1);
  f->Clear();
  EXPECT_EQ(f->ProjectName, "");
  EXPECT_EQ(f->Language, 0);
}

}  // namespace
}  // namespace upkit
