// Package builds from manifests (read back through the installer's own
// loader), reproducibility, and the command line: diff, build, verify,
// inspect and Authenticode signing of the result.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>

#include "codec/crc32.h"
#include "codec/encipher.h"
#include "codec/error.h"
#include "container/stream.h"
#include "delta/delta_encode.h"
#include "pack/build.h"
#include "pack/diff.h"
#include "pack/elevation.h"
#include "pack/host_fs.h"
#include "pack/manifest.h"
#include "pack/verify.h"
#include "package/update_file.h"
#include "tests/pack/temp_dir.h"
#include "tests/pack/tiny_pe.h"

namespace upkit::pack {
namespace {

std::vector<uint8_t> Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

std::unique_ptr<TUpdateFile> Load(const std::vector<uint8_t>& container) {
  auto update = std::make_unique<TUpdateFile>();
  BufferStream stream(container);
  update->LoadFromStream(stream);
  for (TFileItem& item : update->Items) update->MakeDataReady(item);  // as each action would see it
  return update;
}

// A small 1x1 24-bit BMP.
std::vector<uint8_t> Bmp() {
  std::vector<uint8_t> b = {'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0,
                            1, 0, 24, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                            0, 0, 255, 0};
  return b;
}

class BuildTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
  void SetUp() override {
    old_exe_ = Random(30000, 5);
    new_exe_ = old_exe_;
    new_exe_[123] ^= 0x55;
    new_exe_.resize(31000, 7);
    dir_.Write("old/app.exe", old_exe_);
    dir_.Write("new/app.exe", new_exe_);
    dir_.WriteText("new/readme.txt", "read me");
    dir_.WriteText("cfg.bin", "config");
    dir_.Write("side.bmp", Bmp());
    dir_.WriteText("licence.rtf", "{\\rtf1 ok}");
  }
  Manifest Parse(const std::string& text) { return ParseManifest(text, "upkit.toml", dir_.Path()); }

  std::vector<uint8_t> old_exe_, new_exe_;
};

const char kManifest[] = R"(
[project]
name = "Демо"
caption = "Demo update"
button = "Update"
default_dir = "$SETDIR$\\Demo"
url = "https://example.org"
picture = "side.bmp"
document = "licence.rtf"
document_type = "licence"
author = { name = "Ann", mail = "a@example.org", web = "example.org" }

[package]
key = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"

[[item]]
origin_name = "app.exe"
action = "patch"
check_size = true
check_crc = true
old = "old/app.exe"
new = "new/app.exe"

[[item]]
origin_name = "readme.txt"
path = "docs"
action = "replace"
file = "new/readme.txt"

[[item]]
origin_name = "app.exe"
action = "resources"
resources = [ { type = 10, name = "CFG", language = 0, file = "cfg.bin" } ]

[[item]]
origin_name = "gone.txt"
action = "delete"
check_size = true
size = 3
)";

TEST_F(BuildTest, PackageReadsBackThroughTheInstallersLoader) {
  Manifest m = Parse(kManifest);
  auto loaded = Load(BuildContainer(m));
  const TUpdateFile& u = *loaded;
  EXPECT_EQ(u.ProjectName, "\xC4\xE5\xEC\xEE");
  EXPECT_EQ(u.FormCaption, "Demo update");
  EXPECT_EQ(u.DefaultDir, "$SETDIR$\\Demo");
  EXPECT_EQ(u.Language, 1);
  EXPECT_EQ(u.AutorMail, "a@example.org");
  EXPECT_EQ(u.WinURL, "https://example.org");
  EXPECT_EQ(u.DocumentText.Bytes(), ReadHostFile(dir_.Path("licence.rtf")));
  EXPECT_EQ(u.DocumentType, 0);
  ASSERT_EQ(u.Items.size(), 4u);

  const TFileItem& patch = u.Items[0];
  EXPECT_EQ(patch.Action, 2);
  EXPECT_EQ(patch.CheckSize, 1);
  EXPECT_EQ(patch.Size, 30000) << "taken from the old file";
  EXPECT_EQ(patch.CRC, static_cast<int32_t>(Crc32Block(old_exe_.data(), 30000)));
  EXPECT_EQ(patch.Data, PatchListFor(old_exe_, new_exe_));
  // What the patch produces, so that a re-run sees the file is done.
  EXPECT_TRUE(patch.HasNewCheck);
  EXPECT_EQ(patch.NewSize, static_cast<int32_t>(new_exe_.size()));
  EXPECT_EQ(patch.NewCRC, static_cast<int32_t>(Crc32Block(new_exe_.data(), static_cast<uint32_t>(new_exe_.size()))));
  EXPECT_FALSE(u.AllOrNothing) << "a hand-written manifest without the key";

  EXPECT_EQ(u.Items[1].Path, "docs");
  EXPECT_EQ(u.Items[1].Action, 3);
  EXPECT_EQ(std::string(u.Items[1].Data.begin(), u.Items[1].Data.end()), "read me");
  EXPECT_EQ(u.Items[1].CheckSize, 0);

  ResourceEntry cfg;
  cfg.type_id = 10;
  cfg.name_is_text = true;
  cfg.name_text = "CFG";
  cfg.data = {'c', 'o', 'n', 'f', 'i', 'g'};
  EXPECT_EQ(u.Items[2].Data, ResourceList({cfg}));

  EXPECT_EQ(u.Items[3].Action, 4);
  EXPECT_EQ(u.Items[3].DataSize, 0);
  EXPECT_EQ(u.Items[3].Size, 3);
}

TEST_F(BuildTest, StaleOldFileIsRefused) {
  Manifest m = Parse(kManifest);
  m.items[0].size = 29999;  // what `upkit diff` saw before the old file changed
  try {
    BuildContainer(m);
    FAIL() << "built a patch against the wrong old file";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("app.exe: size 30000 differs"), std::string::npos) << e.what();
  }
  m.items[0].size.reset();
  m.items[0].crc = 12345;
  EXPECT_THROW(BuildContainer(m), Error);
}

// A delta stream kept from `upkit diff` is taken as it is when it rebuilds
// the pair; a stale one is made again.
TEST_F(BuildTest, KeptDeltaStreamIsUsedOnlyWhenItRebuildsThePair) {
  auto lib = test::TinyPe(), body = Random(20000, 8);
  lib.insert(lib.end(), body.begin(), body.end());
  auto moved = lib;
  moved.insert(moved.begin() + 1000, lib.begin() + 15000, lib.end());
  dir_.Write("old/lib.bin", lib);
  dir_.Write("new/lib.bin", moved);
  const std::string text = "[project]\nname = \"x\"\n[[item]]\norigin_name = \"lib.bin\"\naction = \"delta\"\n"
                           "old = \"old/lib.bin\"\nnew = \"new/lib.bin\"\nstream = \"lib.upkd\"\n";
  auto delta_data = [&] {
    auto package = Load(BuildContainer(Parse(text)));  // the data lives as long as the package
    return std::vector<uint8_t>(package->Items[0].Data.begin(), package->Items[0].Data.end());
  };
  // A valid stream unlike the one the encoder makes by default.
  const std::vector<uint8_t> kept = EncodeDelta(lib, moved, {.x86_branches = false}), made = EncodeDelta(lib, moved);
  ASSERT_NE(kept, made);
  dir_.Write("lib.upkd", kept);
  EXPECT_EQ(delta_data(), kept);
  dir_.Write("lib.upkd", EncodeDelta(lib, lib));  // made for another new file
  EXPECT_EQ(delta_data(), made);
  dir_.Write("lib.upkd", std::vector<uint8_t>(kept.begin(), kept.end() - 1));  // cut short
  EXPECT_EQ(delta_data(), made);
}

// Size checks from 4 GiB on carry the full size ("Size64"); below that the
// item is as before. `upkit verify` compares all 64 bits.
TEST_F(BuildTest, SizeChecksOfFourGiBAndMoreCarryTheFullSize) {
  const std::string huge = "[[item]]\norigin_name = \"huge.img\"\naction = \"delete\"\ncheck_size = true\n"
                           "size = 5368709121\n";
  const std::string text = huge + "check_crc = true\ncrc = 0x12345678\n[[item]]\norigin_name = \"mid.img\"\n"
                                  "action = \"delete\"\ncheck_size = true\nsize = 4294967295\n";
  const Manifest m = Parse(text);
  EXPECT_EQ(Parse(FormatManifest(m, dir_.Path())).items[0].size, 5368709121);
  auto package = Load(BuildContainer(m));
  ASSERT_EQ(package->Items.size(), 2u);
  EXPECT_TRUE(package->Items[0].HasSize64);
  EXPECT_EQ(package->Items[0].Size64, 5368709121u);
  EXPECT_EQ(package->Items[0].Size, 0x40000001);
  EXPECT_FALSE(package->Items[1].HasSize64);
  EXPECT_EQ(package->Items[1].Size, -1);

  // An installer that compares only Size would take a file 4 GiB smaller
  // when no CRC check stands beside it.
  try {
    BuildContainer(Parse(huge));
    FAIL() << "built a 64-bit size check without a CRC check";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("huge.img: a size check of 4 GiB or more needs check_crc"), std::string::npos)
        << e.what();
  }

  // A sparse file of 1 GiB + 1 byte: the low 32 bits of 5 GiB + 1.
  dir_.Write("product/huge.img", {});
  std::filesystem::resize_file(HostPath(dir_.Path("product/huge.img")), (1ull << 30) + 1);
  std::vector<VerifyResult> results = VerifyUpdate(*package, dir_.Path("product"));
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].outcome, "skip: wrong file size 1073741825 need 5368709121");
  EXPECT_EQ(results[1].outcome, "skip: wrong file size 0 need -1");  // the 32-bit check, as before
}

TEST_F(BuildTest, PayloadErrorsNameTheFile) {
  dir_.WriteText("not.bmp", "GIF89a");
  Manifest m = Parse("[project]\npicture = \"not.bmp\"\n");
  try {
    BuildContainer(m);
    FAIL();
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("not.bmp: not a BMP file"), std::string::npos) << e.what();
  }
  m = Parse("[[item]]\norigin_name = \"x\"\naction = \"replace\"\nfile = \"missing.dat\"\n");
  try {
    BuildContainer(m);
    FAIL();
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("missing.dat"), std::string::npos) << e.what();
  }
}

// A package of 2,000 MiB built, but its installer could not start: the
// size limit stops the build, at one byte past it.
TEST(PackageSize, LargerThanTheInstallerCanStartIsRefused) {
  EXPECT_NO_THROW(pack::CheckPackageSize(pack::kMaxPackageSize));
  try {
    pack::CheckPackageSize(pack::kMaxPackageSize + 1);
    ADD_FAILURE() << "not refused";
  } catch (const Error& e) {
    EXPECT_NE(e.Message().find("1073741825 bytes; an installer takes at most 1073741824 bytes"),
              std::string::npos)
        << e.Message();
  }
}

TEST_F(BuildTest, SameInputsAndKeyGiveTheSameBytes) {
  Manifest m = Parse(kManifest);
  auto stub = test::TinyPe({.section_after_resources = true});
  auto a = EmbedPackage(stub, BuildContainer(m));
  auto b = EmbedPackage(stub, BuildContainer(Parse(kManifest)));
  EXPECT_EQ(a, b);
  // Without a fixed key every build draws a new one.
  m.key.reset();
  auto c = BuildContainer(m), d = BuildContainer(m);
  ASSERT_GE(c.size(), 43u);
  EXPECT_FALSE(std::equal(c.begin() + 11, c.begin() + 43, d.begin() + 11)) << "same random key twice";
  EXPECT_EQ(Load(c)->Items.size(), 4u);
}

#ifndef _WIN32
// ---- the command line (native) ----

struct CmdResult {
  int status;
  std::string output;
};

CmdResult Upkit(const std::string& args) {
  std::string command = std::string(UPKIT_EXE) + " " + args + " 2>&1";
  CmdResult r{-1, {}};
  FILE* p = popen(command.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  int status = pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string Q(const std::string& s) { return "'" + s + "'"; }

// Regression: apply-delta took the old CRC over the low 32 bits of the size
// only (4 bytes of this base) and read both files into memory. The base is
// sparse: 4 GiB of zeros, then "tail". Run with 256 MiB of address space.
// Reads 12 GiB: run by "make soak" (UPKIT_SOAK=1) only.
TEST(Soak, ApplyDeltaTakesAFourGiBBaseInBoundedMemory) {
  if (!std::getenv("UPKIT_SOAK")) GTEST_SKIP() << "set UPKIT_SOAK=1 (make soak)";
  test::TempDir dir_;
  const std::string old_file = dir_.Path("old.bin"), out = dir_.Path("new.bin");
  const uint64_t zeros = uint64_t{1} << 32;
  { std::FILE* f = std::fopen(old_file.c_str(), "wb"); ASSERT_NE(f, nullptr); std::fclose(f); }
  std::filesystem::resize_file(old_file, zeros);
  { std::FILE* f = std::fopen(old_file.c_str(), "ab"); std::fputs("tail", f); std::fclose(f); }
  std::vector<uint8_t> piece(1 << 20);
  uint32_t crc = 0;
  for (uint64_t i = 0; i < zeros / piece.size(); ++i) crc = Crc32Update(crc, piece.data(), uint32_t(piece.size()));
  crc = Crc32Update(crc, "tail", 4);

  const std::vector<uint8_t> rebuilt = {'r', 'e', 'b', 'u', 'i', 'l', 't'};
  std::vector<uint8_t> stream = pack::EncodeDelta({}, rebuilt, {});
  auto with_old = [&](uint32_t old_crc) {
    for (int i = 0; i < 8; ++i) stream[6 + i] = uint8_t((zeros + 4) >> (8 * i));
    for (int i = 0; i < 4; ++i) stream[14 + i] = uint8_t(old_crc >> (8 * i));
    dir_.Write("d.upkd", stream);
#if defined(__SANITIZE_ADDRESS__)
    const std::string limit;  // the sanitizer reserves terabytes of address space
#else
    const std::string limit = "ulimit -v 262144; ";
#endif
    std::string command = limit + UPKIT_EXE + std::string(" apply-delta ") + Q(old_file) + " " +
                          Q(dir_.Path("d.upkd")) + " -o " + Q(out);
    return std::system((command + " >/dev/null 2>&1").c_str());
  };
  EXPECT_NE(with_old(Crc32Block("\0\0\0\0", 4)), 0);
  EXPECT_FALSE(std::filesystem::exists(out)) << "a refused run leaves no file";
  ASSERT_EQ(with_old(crc), 0);
  EXPECT_EQ(ReadHostFile(out), rebuilt);
}

TEST_F(BuildTest, CommandLineDiffBuildVerify) {
  dir_.Write("stub.exe", test::TinyPe());
  dir_.WriteText("old/sub/Старый.txt", "old");
  dir_.WriteText("new/sub/Новый.txt", "new");
  auto lib = Random(20000, 6), moved = lib;  // content that moves: a delta
  moved.insert(moved.begin() + 10, lib.begin() + 15000, lib.end());
  dir_.Write("old/lib.bin", lib);
  dir_.Write("new/lib.bin", moved);
  std::string manifest = dir_.Path("upkit.toml");
  CmdResult diff = Upkit("diff " + Q(dir_.Path("old")) + " " + Q(dir_.Path("new")) + " -o " + Q(manifest));
  ASSERT_EQ(diff.status, 0) << diff.output;
  EXPECT_NE(diff.output.find("2 changed (1 as patches, 1 as deltas), 2 added, 1 removed"), std::string::npos) << diff.output;

  // Fix the key so the two builds below can be compared.
  std::string text(reinterpret_cast<const char*>(ReadHostFile(manifest).data()), ReadHostFile(manifest).size());
  EXPECT_NE(text.find("stream = \"upkit.toml.deltas/"), std::string::npos) << text;  // kept for the build
  EXPECT_NE(text.find("\nall_or_nothing = true\n"), std::string::npos) << text;
  text.replace(text.find("level = 9\n"), 10,
               "level = 9\nkey = \"0101010101010101010101010101010101010101010101010101010101010101\"\n");
  dir_.WriteText("upkit.toml", text);

  std::string stub = " --stub " + Q(dir_.Path("stub.exe"));
  CmdResult build = Upkit("build " + Q(manifest) + " -o " + Q(dir_.Path("Setup.exe")) + stub);
  ASSERT_EQ(build.status, 0) << build.output;
  CmdResult again = Upkit("build " + Q(manifest) + " -o " + Q(dir_.Path("Setup2.exe")) + stub + " --container " +
                    Q(dir_.Path("pkg.bin")));
  ASSERT_EQ(again.status, 0) << again.output;
  auto exe = ReadHostFile(dir_.Path("Setup.exe"));
  EXPECT_EQ(exe, ReadHostFile(dir_.Path("Setup2.exe"))) << "reproducible";
  EXPECT_EQ(ExtractPackage(exe), ReadHostFile(dir_.Path("pkg.bin")));
  // A stub without a package: the installer's own message.
  try {
    ExtractPackage(ReadHostFile(dir_.Path("stub.exe")));
    ADD_FAILURE() << "a bare stub has no package";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Resource LR5 not found");
  }

  CmdResult ok = Upkit("verify " + Q(dir_.Path("Setup.exe")) + " " + Q(dir_.Path("old")));
  EXPECT_EQ(ok.status, 0) << ok.output;
  EXPECT_NE(ok.output.find("sub\\Новый.txt: replace (new file)"), std::string::npos) << ok.output;
  EXPECT_NE(ok.output.find("lib.bin: delta (rebuilds the file: 25000 bytes)"), std::string::npos) << ok.output;
  EXPECT_NE(ok.output.find("5 of 5 items would apply"), std::string::npos) << ok.output;
  EXPECT_EQ(ok.output.rfind("all or nothing:", 0), 0u) << ok.output;
  // The delta's own check of its old file, with the item's checks off.
  auto package = Load(ReadHostFile(dir_.Path("pkg.bin")));
  std::erase_if(package->Items, [](const TFileItem& i) { return i.Action != 6; });
  ASSERT_EQ(package->Items.size(), 1u);
  package->Items[0].CheckCRC = 0;
  lib[0] ^= 1;
  dir_.Write("other/lib.bin", lib);
  EXPECT_EQ(VerifyUpdate(*package, dir_.Path("other"))[0].outcome.rfind("skip: the file is not the one this delta", 0), 0u);
  package->Items[0].DataSize = 3;  // a head cut short
  EXPECT_EQ(VerifyUpdate(*package, dir_.Path("old"))[0].outcome, "skip: Stream read error");

  CmdResult skip = Upkit("verify " + Q(dir_.Path("Setup.exe")) + " " + Q(dir_.Path("new")));
  EXPECT_EQ(skip.status, 1) << skip.output;
  EXPECT_NE(skip.output.find("app.exe: skip: wrong file size 31000 need 30000"), std::string::npos) << skip.output;
  EXPECT_NE(skip.output.find("sub\\Старый.txt: skip: wrong file size 0 need 3"), std::string::npos) << skip.output;

  // A stub that is not a GUI executable is refused before anything is built.
  dir_.Write("console.exe", test::TinyPe({.subsystem = 3}));
  CmdResult bad = Upkit("build " + Q(manifest) + " -o " + Q(dir_.Path("X.exe")) + " --stub " + Q(dir_.Path("console.exe")));
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.output.find("console.exe: not a Windows GUI executable"), std::string::npos) << bad.output;

  CmdResult inspect = Upkit("inspect " + Q(dir_.Path("Setup.exe")));
  if (inspect.output.find("unknown command") == std::string::npos) {
    EXPECT_EQ(inspect.status, 0) << inspect.output;
    EXPECT_NE(inspect.output.find("app.exe"), std::string::npos) << inspect.output;
    CmdResult description = Upkit("inspect --description " + Q(dir_.Path("Setup.exe")));
    EXPECT_NE(description.output.find("\"Action\":6,"), std::string::npos) << description.output;
    EXPECT_NE(description.output.find("\"AllOrNothing\":true,"), std::string::npos) << description.output;
    EXPECT_NE(description.output.find("\"Delta\":{\"old_size\":20000,\"old_crc32\":"), std::string::npos)
        << description.output;
  } else {
    std::printf("note: no `upkit inspect` in this build; inspect check not run\n");
  }
}

// The rights the installer asks for live in its manifest resource: the
// vendor's `elevation` replaces the level there and nothing else, and
// `upkit inspect` reads it back.
TEST_F(BuildTest, CommandLineElevationGoesIntoTheStubsManifest) {
  const std::string xml =
      "<assembly><trustInfo><security><requestedPrivileges>\n"
      "  <requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>\n"
      "</requestedPrivileges></security></trustInfo></assembly>";
  PeResource manifest{.type = PeNameOrId::Number(24), .name = PeNameOrId::Number(1), .language = 1033};
  manifest.data.assign(xml.begin(), xml.end());
  auto stub = SetPeResource(test::TinyPe(), manifest);
  EXPECT_EQ(ReadElevation(stub), "admin");
  EXPECT_EQ(SetElevation(stub, Elevation::kAdmin), stub) << "already admin: the same bytes";
  auto user = SetElevation(stub, Elevation::kUser);
  std::string want = xml;
  want.replace(want.find("requireAdministrator"), 20, "asInvoker");
  const auto resources = ReadPeResources(user);
  ASSERT_EQ(resources.size(), 1u);
  EXPECT_EQ(std::string(resources[0].data.begin(), resources[0].data.end()), want);
  EXPECT_EQ(resources[0].language, 1033);
  EXPECT_EQ(ReadElevation(SetElevation(user, Elevation::kAdmin)), "admin");
  // A manifest without a level ("hello") has nowhere to carry "user".
  EXPECT_EQ(SetElevation(test::TinyPe(), Elevation::kAdmin), test::TinyPe());
  EXPECT_THROW(SetElevation(test::TinyPe(), Elevation::kUser), Error);

  EXPECT_EQ(Parse("[project]\n").elevation, Elevation::kAdmin);
  Manifest m = Parse("[project]\nelevation = \"user\"\n");
  EXPECT_EQ(Parse(FormatManifest(m, dir_.Path())).elevation, Elevation::kUser);
  EXPECT_THROW(Parse("[project]\nelevation = \"root\"\n"), Error);

  dir_.Write("stub.exe", stub);
  dir_.WriteText("user.toml", "[project]\nname = \"Mine\"\nelevation = \"user\"\n");
  CmdResult build = Upkit("build " + Q(dir_.Path("user.toml")) + " -o " + Q(dir_.Path("Setup.exe")) +
                          " --stub " + Q(dir_.Path("stub.exe")));
  ASSERT_EQ(build.status, 0) << build.output;
  EXPECT_EQ(ReadElevation(ReadHostFile(dir_.Path("Setup.exe"))), "user");
  CmdResult inspect = Upkit("inspect --description " + Q(dir_.Path("Setup.exe")));
  EXPECT_EQ(inspect.output.rfind("{\"elevation\":\"user\",\"ProjectName\":\"Mine\"", 0), 0u) << inspect.output;
}

TEST_F(BuildTest, CommandLineReportsManifestErrorsWithLine) {
  dir_.WriteText("bad.toml", "[project]\nname = \"x\"\n\n[[item]]\norigin_name = \"a\"\naction = \"delete\"\nfoo = 1\n");
  CmdResult r = Upkit("build " + Q(dir_.Path("bad.toml")) + " --container " + Q(dir_.Path("x.bin")));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("upkit: " + dir_.Path("bad.toml") + ":7: unknown key \"foo\" in [[item]]"),
            std::string::npos)
      << r.output;
  CmdResult usage = Upkit("build");
  EXPECT_EQ(usage.status, 2);
}

// encipher and decipher share one implementation: each must run its own
// direction, undo the other, and keep the two variants apart.
TEST_F(BuildTest, CommandLineCipherVerbsUndoEachOther) {
  const std::string hex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
  CipherKey key;
  ASSERT_TRUE(ParseCipherKey(hex, key));
  auto plain = Random(37, 11);  // two blocks and a 5-byte tail
  dir_.Write("plain.bin", plain);
  auto run = [&](const std::string& args) { return Upkit(args + " --key " + hex + " "); };

  CmdResult enc = run("encipher " + Q(dir_.Path("plain.bin")) + " " + Q(dir_.Path("enc.bin")));
  ASSERT_EQ(enc.status, 0) << enc.output;
  auto expected = plain;
  EncipherBuffer(expected.data(), static_cast<int32_t>(expected.size()), key);
  EXPECT_EQ(ReadHostFile(dir_.Path("enc.bin")), expected);
  CmdResult dec = run("decipher " + Q(dir_.Path("enc.bin")) + " " + Q(dir_.Path("dec.bin")));
  ASSERT_EQ(dec.status, 0) << dec.output;
  EXPECT_EQ(ReadHostFile(dir_.Path("dec.bin")), plain);

  // The text variant, in place (IN and OUT the same file).
  dir_.WriteText("text.txt", "Section name");
  ASSERT_EQ(run("encipher --text " + Q(dir_.Path("text.txt")) + " " + Q(dir_.Path("text.txt"))).status, 0);
  auto enciphered = ReadHostFile(dir_.Path("text.txt"));
  std::string want = EncipherText("Section name", key);
  EXPECT_EQ(std::string(enciphered.begin(), enciphered.end()), want);
  EXPECT_NE(want, std::string("Section name"));
  ASSERT_EQ(run("decipher --text " + Q(dir_.Path("text.txt")) + " " + Q(dir_.Path("text.txt"))).status, 0);
  auto back = ReadHostFile(dir_.Path("text.txt"));
  EXPECT_EQ(std::string(back.begin(), back.end()), "Section name");

  // Usage errors name the verb that was called.
  CmdResult no_key = Upkit("decipher " + Q(dir_.Path("plain.bin")) + " " + Q(dir_.Path("x.bin")));
  EXPECT_EQ(no_key.status, 2);
  EXPECT_EQ(no_key.output.rfind("upkit decipher: --key is required\n", 0), 0u) << no_key.output;
  EXPECT_EQ(Upkit("encipher --key 12 a b").status, 2);
}

bool Have(const char* tool) { return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0; }

TEST_F(BuildTest, SignedExecutableKeepsItsPackage) {
  if (!Have("osslsigncode") || !Have("openssl")) GTEST_SKIP() << "osslsigncode or openssl missing";
  auto setup = EmbedPackage(test::TinyPe(), BuildContainer(Parse(kManifest)));
  dir_.Write("Setup.exe", setup);
  std::string d = Q(dir_.Path());
  std::string make_cert = "cd " + d +
                          " && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 "
                          "-subj /CN=upkit-test >/dev/null 2>&1";
  ASSERT_EQ(std::system(make_cert.c_str()), 0);
  std::string sign = "cd " + d +
                     " && osslsigncode sign -certs cert.pem -key key.pem -n Demo -in Setup.exe -out Signed.exe "
                     ">/dev/null 2>&1";
  ASSERT_EQ(std::system(sign.c_str()), 0);
  std::string verify = "cd " + d + " && osslsigncode verify -CAfile cert.pem -in Signed.exe >verify.txt 2>&1";
  EXPECT_EQ(std::system(verify.c_str()), 0) << std::string(reinterpret_cast<const char*>(
                                                   ReadHostFile(dir_.Path("verify.txt")).data()),
                                               ReadHostFile(dir_.Path("verify.txt")).size());

  auto signed_exe = ReadHostFile(dir_.Path("Signed.exe"));
  EXPECT_EQ(ExtractPackage(signed_exe), ExtractPackage(setup));
  EXPECT_EQ(Load(ExtractPackage(signed_exe))->Items.size(), 4u);
  CmdResult verify_cli = Upkit("verify " + Q(dir_.Path("Signed.exe")) + " " + Q(dir_.Path("old")));
  EXPECT_NE(verify_cli.output.find("app.exe: patch"), std::string::npos) << verify_cli.output;

  // Building from a signed stub drops its (now invalid) signature and says so.
  PeWriteReport report;
  auto rebuilt = EmbedPackage(signed_exe, {1, 2, 3}, &report);
  EXPECT_TRUE(report.certificate_dropped);
  dir_.Write("Rebuilt.exe", rebuilt);
  std::string unsigned_check = "cd " + d + " && osslsigncode verify -CAfile cert.pem -in Rebuilt.exe >/dev/null 2>&1";
  EXPECT_NE(std::system(unsigned_check.c_str()), 0) << "no signature left";
  dir_.WriteText("m.toml", "[[item]]\norigin_name = \"a\"\naction = \"delete\"\n");
  CmdResult note = Upkit("build " + Q(dir_.Path("m.toml")) + " -o " + Q(dir_.Path("R.exe")) + " --stub " + Q(dir_.Path("Signed.exe")));
  EXPECT_EQ(note.status, 0) << note.output;
  EXPECT_NE(note.output.find("signature was dropped"), std::string::npos) << note.output;
}
#endif

}  // namespace
}  // namespace upkit::pack
