// The PE resource writer against hand-built images: placement of the
// resource section (in place or appended), headers and checksum, kept
// resources and overlays, dropped signatures, refused and damaged images.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "codec/error.h"
#include "pack/build.h"
#include "pack/pe_reader.h"
#include "pack/pe_writer.h"
#include "tests/pack/tiny_pe.h"

#ifdef _WIN32
#include <windows.h>
#include <imagehlp.h>
#endif

namespace upkit::pack {
namespace {

using test::Read16;
using test::Read32;
using test::TinyPe;
using test::TinyPeOptions;

constexpr size_t kOpt = 0x58;
constexpr size_t kSections = kOpt + 0xE0;

std::vector<uint8_t> Bytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) {
    seed = seed * 1103515245 + 12345;
    b = static_cast<uint8_t>(seed >> 16);
  }
  return v;
}

const PeResource* Find(const std::vector<PeResource>& list, const PeNameOrId& type, const PeNameOrId& name) {
  for (const auto& r : list)
    if (r.type == type && r.name == name) return &r;
  return nullptr;
}

// Header invariants every written image must keep.
void ExpectConsistentHeaders(const std::vector<uint8_t>& img) {
  uint16_t count = Read16(img, 0x46);
  uint32_t image_size = Read32(img, kOpt + 56);
  EXPECT_EQ(image_size % 0x1000, 0u);
  uint32_t initialized = 0;
  for (uint16_t i = 0; i < count; ++i) {
    size_t h = kSections + 40 * i;
    uint32_t vsize = Read32(img, h + 8), va = Read32(img, h + 12), raw = Read32(img, h + 16), ptr = Read32(img, h + 20);
    EXPECT_EQ(raw % 0x200, 0u) << "section " << i;
    EXPECT_EQ(ptr % 0x200, 0u) << "section " << i;
    EXPECT_LE(uint64_t{ptr} + raw, img.size()) << "section " << i;
    EXPECT_LE(uint64_t{va} + std::max(vsize, raw), image_size) << "section " << i;
    if (Read32(img, h + 36) & 0x40) initialized += raw;
  }
  EXPECT_EQ(Read32(img, kOpt + 8), initialized);
  EXPECT_EQ(StoredPeChecksum(img), PeChecksum(img));
  EXPECT_EQ(Read32(img, 0x48), 0x5EED1234u) << "TimeDateStamp kept";
  uint32_t rsrc_rva = Read32(img, kOpt + 96 + 16), rsrc_size = Read32(img, kOpt + 96 + 20);
  bool inside = false;
  for (uint16_t i = 0; i < count; ++i) {
    size_t h = kSections + 40 * i;
    if (Read32(img, h + 12) == rsrc_rva) inside = rsrc_size <= Read32(img, h + 16);
  }
  EXPECT_TRUE(inside) << "resource directory must lie in one section";
}

PeResource Lr5(std::vector<uint8_t> data, uint16_t language = 0) {
  return {PeNameOrId::Number(kPeRcData), PeNameOrId::Named(u"LR5"), language, 0, std::move(data)};
}

TEST(PeWriter, ReadsAHandWrittenTree) {
  auto res = ReadPeResources(TinyPe());
  ASSERT_EQ(res.size(), 1u);
  EXPECT_EQ(res[0].type, PeNameOrId::Number(24));
  EXPECT_EQ(res[0].name, PeNameOrId::Number(1));
  EXPECT_EQ(res[0].language, 1033);
  EXPECT_EQ(std::string(res[0].data.begin(), res[0].data.end()), "hello");
}

TEST(PeWriter, LastResourceSectionIsRewrittenInPlaceAndGrows) {
  auto stub = TinyPe();
  PeWriteReport report;
  auto payload = Bytes(70000, 1);  // much larger than the old section
  auto out = SetPeResource(stub, Lr5(payload), &report);
  EXPECT_FALSE(report.section_appended);
  EXPECT_EQ(Read16(out, 0x46), 2) << "no section added";
  ExpectConsistentHeaders(out);
  auto res = ReadPeResources(out);
  ASSERT_EQ(res.size(), 2u);
  const PeResource* lr5 = Find(res, PeNameOrId::Number(10), PeNameOrId::Named(u"LR5"));
  ASSERT_NE(lr5, nullptr);
  EXPECT_EQ(lr5->data, payload);
  EXPECT_EQ(lr5->language, 0);
  const PeResource* manifest = Find(res, PeNameOrId::Number(24), PeNameOrId::Number(1));
  ASSERT_NE(manifest, nullptr);
  EXPECT_EQ(std::string(manifest->data.begin(), manifest->data.end()), "hello");
  EXPECT_EQ(manifest->language, 1033);
  // The code section is untouched.
  EXPECT_TRUE(std::equal(stub.begin() + 0x200, stub.begin() + 0x400, out.begin() + 0x200));
}

TEST(PeWriter, ResourceSectionBeforeAnotherGetsANewSection) {
  auto stub = TinyPe({.section_after_resources = true});
  PeWriteReport report;
  auto out = SetPeResource(stub, Lr5(Bytes(3000, 2)), &report);
  EXPECT_TRUE(report.section_appended);
  ASSERT_EQ(Read16(out, 0x46), 4);
  ExpectConsistentHeaders(out);
  size_t h = kSections + 40 * 3;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&out[h]), 6), ".rsrc2");
  EXPECT_EQ(Read32(out, h + 12), 0x4000u) << "after .reloc";
  EXPECT_EQ(Read32(out, kOpt + 96 + 16), 0x4000u);
  EXPECT_EQ(out[0x600], 0xAB) << ".reloc data unmoved";
  EXPECT_EQ(ReadPeResources(out).size(), 2u);
  // Writing again replaces the package and keeps one LR5.
  auto again = SetPeResource(out, Lr5({1, 2, 3}, 1049));
  auto res = ReadPeResources(again);
  ASSERT_EQ(res.size(), 2u);
  const PeResource* lr5 = Find(res, PeNameOrId::Number(10), PeNameOrId::Named(u"LR5"));
  ASSERT_NE(lr5, nullptr);
  EXPECT_EQ(lr5->data, (std::vector<uint8_t>{1, 2, 3}));
  ExpectConsistentHeaders(again);
}

TEST(PeWriter, ImageWithoutResourcesGetsASection) {
  auto out = EmbedPackage(TinyPe({.resources = false}), {9, 9, 9});
  EXPECT_EQ(Read16(out, 0x46), 2);
  ExpectConsistentHeaders(out);
  EXPECT_EQ(ExtractPackage(out), (std::vector<uint8_t>{9, 9, 9}));
}

TEST(PeWriter, OverlayIsKeptAndSignatureDropped) {
  std::vector<uint8_t> overlay = {'O', 'V', 'E', 'R', 'L', 'A', 'Y', '!'};
  std::vector<uint8_t> cert(64, 0xCE);
  PeWriteReport report;
  auto out = SetPeResource(TinyPe({.overlay = overlay, .certificate = cert}), Lr5({1}), &report);
  EXPECT_TRUE(report.certificate_dropped);
  EXPECT_EQ(Read32(out, kOpt + 96 + 32), 0u);
  EXPECT_EQ(Read32(out, kOpt + 96 + 36), 0u);
  ASSERT_GE(out.size(), overlay.size());
  EXPECT_TRUE(std::equal(overlay.begin(), overlay.end(), out.end() - overlay.size()));
  EXPECT_EQ(std::search(out.begin(), out.end(), cert.begin(), cert.begin() + 16), out.end());
  ExpectConsistentHeaders(out);
}

TEST(PeWriter, RefusesWhatIsNotAGuiPe32Executable) {
  auto message = [](const std::vector<uint8_t>& img) {
    try {
      EmbedPackage(img, {1});
    } catch (const Error& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_NE(message(TinyPe({.subsystem = 3})).find("GUI"), std::string::npos);
  // Machine and optional-header kind must agree: x86 with PE32, x86-64 with PE32+.
  EXPECT_NE(message(TinyPe({.machine = 0x8664})).find("x86"), std::string::npos);
  EXPECT_NE(message(TinyPe({.magic = 0x20b})).find("x86"), std::string::npos);
  EXPECT_NE(message(TinyPe({.characteristics = 0x2102})).find("DLL"), std::string::npos);
  EXPECT_NE(message({'M', 'Z', 0}).find("MZ"), std::string::npos);
  EXPECT_NE(message({'#', '!'}).find("MZ"), std::string::npos);
}

TEST(PeWriter, DamagedImagesRaiseInsteadOfReadingOutOfBounds) {
  auto stub = TinyPe();
  // Truncated anywhere in the headers or the resource section.
  for (size_t cut : {0x30u, 0x44u, 0x70u, 0x150u, 0x401u, 0x430u, 0x459u}) {
    std::vector<uint8_t> img(stub.begin(), stub.begin() + cut);
    EXPECT_THROW(ReadPeResources(img), Error) << "cut at " << cut;
  }
  // A subdirectory pointing back at the root (a loop).
  auto loop = stub;
  loop[0x400 + 0x18 + 20] = 0x00;  // type directory entry -> offset 0 (root)
  loop[0x400 + 0x18 + 21] = 0x00;
  EXPECT_THROW(ReadPeResources(loop), Error);
  // A directory claiming 65535 entries.
  auto many = stub;
  many[0x400 + 14] = 0xFF;
  many[0x400 + 15] = 0xFF;
  EXPECT_THROW(ReadPeResources(many), Error);
  // A data entry whose RVA points outside every section.
  auto outside = stub;
  outside[0x400 + 0x48 + 3] = 0x70;
  EXPECT_THROW(ReadPeResources(outside), Error);
  // A tree whose 300 entries per level all share one subdirectory: 27
  // million leaves if walked naively. Must be refused at once.
  {
    auto dag = SetPeResource(TinyPe({.resources = false}), Lr5(std::vector<uint8_t>(8192)));
    const size_t base = 0x400;
    const uint32_t va = Read32(dag, kOpt + 96 + 16);
    std::fill(dag.begin() + base, dag.begin() + base + 8192, 0);
    auto put32 = [&](size_t at, uint32_t v) {
      for (int i = 0; i < 4; ++i) dag[base + at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    const uint32_t n = 300, dir = 16 + 8 * n;
    for (uint32_t level = 0; level < 3; ++level) {
      uint32_t at = level * dir;
      dag[base + at + 14] = n & 0xFF;
      dag[base + at + 15] = n >> 8;
      for (uint32_t i = 0; i < n; ++i) {
        put32(at + 16 + 8 * i, i + 1);
        put32(at + 20 + 8 * i, level < 2 ? (0x80000000u | (at + dir)) : 3 * dir);
      }
    }
    put32(3 * dir, va + 3 * dir + 16);
    put32(3 * dir + 4, 0);  // empty data: only the visit bound can stop it
    try {
      ReadPeResources(dag);
      ADD_FAILURE() << "accepted";
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find("more than 65536 resource entries"), std::string::npos) << e.what();
    }
  }
  // A file alignment that would pad the new section by gigabytes.
  auto align = stub;
  align[kOpt + 36 + 3] = 0x40;
  EXPECT_THROW(ReadPeResources(align), Error);
  // A section claiming raw data past the end of the file.
  auto big = stub;
  big[kSections + 40 + 16 + 2] = 0x10;
  EXPECT_THROW(ReadPeResources(big), Error);
}

// The inspection view of a written image (ReadPeImage, ReadLr5Resource) sees the same image.
TEST(PeWriter, IndependentReaderAgrees) {
  auto payload = Bytes(5000, 3);
  for (bool after : {false, true}) {
    auto out = EmbedPackage(TinyPe({.section_after_resources = after}), payload);
    EXPECT_EQ(ReadLr5Resource(out), payload);
    PeImageInfo info = ReadPeImage(out);
    EXPECT_EQ(info.subsystem, 2);
    EXPECT_EQ(info.sections.size(), after ? 4u : 2u);
    ASSERT_EQ(info.resources.size(), 2u);
    int manifests = 0;
    for (const auto& r : info.resources) manifests += !r.type.is_name && r.type.id == 24 && r.size == 5;
    EXPECT_EQ(manifests, 1);
  }
}

// Random damage to headers and resource tree: either a clean result or
// upkit::Error, never a crash or an out-of-bounds read (run under ASan).
TEST(PeWriter, RandomlyDamagedImagesNeverCrash) {
  auto good = EmbedPackage(TinyPe({.section_after_resources = true}), Bytes(300, 9));
  uint32_t seed = 99;
  auto next = [&] { return seed = seed * 1664525 + 1013904223; };
  int rejected = 0;
  for (int round = 0; round < 3000; ++round) {
    auto img = good;
    int flips = 1 + next() % 4;
    for (int k = 0; k < flips; ++k) {
      // Mostly the headers (first 0x200) and the resource section at the end.
      size_t at = (next() % 2) ? next() % 0x200 : img.size() - 1 - next() % 0x400;
      img[at] = static_cast<uint8_t>(next() >> 24);
    }
    try {
      auto out = SetPeResource(img, Lr5({1, 2, 3}));
      EXPECT_EQ(ExtractPackage(out), (std::vector<uint8_t>{1, 2, 3}));
    } catch (const Error&) {
      ++rejected;
    }
  }
  EXPECT_GT(rejected, 0);
}

TEST(PeWriter, ChecksumFollowsContent) {
  auto a = EmbedPackage(TinyPe(), {1, 2, 3});
  auto b = EmbedPackage(TinyPe(), {1, 2, 4});
  EXPECT_NE(StoredPeChecksum(a), StoredPeChecksum(b));
  EXPECT_EQ(StoredPeChecksum(a), PeChecksum(a));
  // The stored field itself does not enter the sum.
  auto c = a;
  c[kOpt + 64] ^= 0xFF;
  EXPECT_EQ(PeChecksum(c), PeChecksum(a));
}

#ifdef _WIN32
// The system's own checksum routine and resource loader agree with us.
TEST(PeWriterOnWindows, SystemChecksumAndLoaderFindThePackage) {
  auto payload = Bytes(12345, 7);
  for (bool after : {false, true}) {
    auto out = EmbedPackage(TinyPe({.section_after_resources = after}), payload);
    DWORD header_sum = 0, sum = 0;
    ASSERT_NE(CheckSumMappedFile(out.data(), static_cast<DWORD>(out.size()), &header_sum, &sum), nullptr);
    EXPECT_EQ(sum, StoredPeChecksum(out));
    EXPECT_EQ(header_sum, StoredPeChecksum(out));

    char temp[MAX_PATH], name[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    GetTempFileNameA(temp, "upk", 0, name);
    FILE* f = std::fopen(name, "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(out.data(), 1, out.size(), f);
    std::fclose(f);
    HMODULE module = LoadLibraryExA(name, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << GetLastError();
    HRSRC info = FindResourceA(module, "LR5", MAKEINTRESOURCEA(10));
    ASSERT_NE(info, nullptr);
    ASSERT_EQ(SizeofResource(module, info), payload.size());
    const auto* data = static_cast<const uint8_t*>(LockResource(LoadResource(module, info)));
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), data));
    EXPECT_NE(FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)), nullptr) << "manifest kept";
    FreeLibrary(module);
    DeleteFileA(name);
  }
}
#endif

}  // namespace
}  // namespace upkit::pack
