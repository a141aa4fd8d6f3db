// The diff planner: patch runs that really turn old into new, the choice
// between patch, delta and replacement, deletions, sub-folders and names.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "codec/compress.h"
#include "codec/crc32.h"
#include "codec/error.h"
#include "delta/delta_encode.h"
#include "pack/build.h"
#include "pack/diff.h"
#include "pack/host_fs.h"
#include "pack/manifest.h"
#include "pack/verify.h"
#include "tests/pack/temp_dir.h"

namespace upkit::pack {
namespace {

// What the installer's patch action does with run records.
std::vector<uint8_t> ApplyRuns(std::vector<uint8_t> file, size_t new_size, const std::vector<PatchRun>& runs) {
  file.resize(new_size, 0xEE);  // the extension's content is undefined: poison it
  for (const auto& r : runs) {
    EXPECT_GE(r.offset, 0);
    EXPECT_LE(r.offset + r.bytes.size(), new_size);
    std::copy(r.bytes.begin(), r.bytes.end(), file.begin() + r.offset);
  }
  return file;
}

TEST(DiffRuns, MergesShortGapsOnly) {
  std::vector<uint8_t> old_bytes(100, 0);
  auto new_bytes = old_bytes;
  EXPECT_TRUE(DiffRuns(old_bytes, new_bytes).empty());
  new_bytes[10] = 1;
  new_bytes[19] = 1;  // gap of 8 equal bytes: one run 10..19
  new_bytes[29] = 1;  // gap of 9 equal bytes: a second run
  auto runs = DiffRuns(old_bytes, new_bytes);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].offset, 10);
  EXPECT_EQ(runs[0].bytes.size(), 10u);
  EXPECT_EQ(runs[1].offset, 29);
  EXPECT_EQ(runs[1].bytes.size(), 1u);
}

TEST(DiffRuns, GrowthIsWrittenEvenWhereTheExtensionCouldMatch) {
  std::vector<uint8_t> old_bytes = {1, 2, 3};
  std::vector<uint8_t> new_bytes = {1, 2, 3, 0, 0, 0};
  auto runs = DiffRuns(old_bytes, new_bytes);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].offset, 3);
  EXPECT_EQ(runs[0].bytes, (std::vector<uint8_t>{0, 0, 0}));
  // Shrinking needs no record at all.
  EXPECT_TRUE(DiffRuns(new_bytes, old_bytes).empty());
}

TEST(DiffRuns, RandomPairsRoundTrip) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 300; ++round) {
    size_t n = rng() % 300, m = rng() % 300;
    std::vector<uint8_t> a(n), b(m);
    for (auto& x : a) x = static_cast<uint8_t>(rng() % 3);  // few values: many equal gaps
    for (size_t i = 0; i < m; ++i) b[i] = (i < n && rng() % 4) ? a[i] : static_cast<uint8_t>(rng() % 3);
    auto runs = DiffRuns(a, b);
    ASSERT_EQ(ApplyRuns(a, m, runs), b) << "round " << round;
    for (size_t k = 1; k < runs.size(); ++k)
      EXPECT_GT(runs[k].offset, runs[k - 1].offset + static_cast<int32_t>(runs[k - 1].bytes.size() + kPatchMergeGap));
  }
}

TEST(DiffRuns, PatchListLayout) {
  std::vector<uint8_t> a(4096, 0), b = a;
  b[16] = 0x90;
  auto list = PatchListFor(a, b);
  // head (reserved, new size, kind 1, count 1), then offset 16, length 1, 0x90
  std::vector<uint8_t> expected = {0, 0, 0, 0, 0, 0x10, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0,
                                   16, 0, 0, 0, 1, 0, 0, 0, 0x90};
  EXPECT_EQ(list, expected);
}

class DiffFoldersTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
  std::string Old() { return dir_.Path("old"); }
  std::string New() { return dir_.Path("new"); }
};

std::vector<uint8_t> Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

const ManifestItem* ItemNamed(const Manifest& m, const std::string& path, const std::string& name) {
  for (const auto& it : m.items)
    if (it.path == path && it.origin_name == name) return &it;
  return nullptr;
}

TEST_F(DiffFoldersTest, PlansEveryKindOfChange) {
  auto exe = Random(40000, 1);
  auto exe2 = exe;
  exe2[1000] ^= 1;
  exe2[30000] ^= 0xFF;
  dir_.Write("old/bin/app.exe", exe);
  dir_.Write("new/bin/app.exe", exe2);
  auto lib = Random(30000, 4), moved = lib;  // content moves: a delta
  moved.insert(moved.begin() + 100, lib.begin() + 20000, lib.end());
  dir_.Write("old/lib.dll", lib);
  dir_.Write("new/lib.dll", moved);
  dir_.Write("old/data.bin", Random(5000, 2));
  dir_.Write("new/data.bin", Random(5000, 3));  // nothing in common: replace
  dir_.Write("old/same.txt", {'s'});
  dir_.Write("new/same.txt", {'s'});
  dir_.Write("old/gone/obsolete.dll", {1, 2, 3});
  dir_.Write("new/gone/.keep", {});
  dir_.Write("old/empty.cfg", {});
  dir_.Write("new/empty.cfg", {'x'});
  dir_.Write("new/bin/Файл справки.txt", {'h', 'i'});
  dir_.Write("new/fresh/new.txt", {'n'});

  DiffResult r = DiffFolders(Old(), New(), {});
  EXPECT_EQ(r.changed, 4);
  EXPECT_EQ(r.patched, 1);
  EXPECT_EQ(r.deltas, 1);
  EXPECT_EQ(r.added, 3);  // .keep, the Cyrillic file, fresh/new.txt
  EXPECT_EQ(r.removed, 1);
  EXPECT_EQ(r.unchanged, 1);

  const Manifest& m = r.manifest;
  const ManifestItem* patch = ItemNamed(m, "bin", "app.exe");
  ASSERT_NE(patch, nullptr);
  EXPECT_EQ(patch->action, kActionPatch);
  EXPECT_TRUE(patch->check_size && patch->check_crc);
  EXPECT_EQ(patch->size, 40000);
  EXPECT_EQ(patch->crc, static_cast<int32_t>(Crc32Block(exe.data(), 40000)));
  EXPECT_EQ(HostPath(patch->old_file), HostPath(Old()) / "bin" / "app.exe");

  const ManifestItem* delta = ItemNamed(m, "", "lib.dll");
  ASSERT_NE(delta, nullptr);
  EXPECT_EQ(delta->action, kActionDelta);
  EXPECT_TRUE(delta->check_size && delta->check_crc);

  const ManifestItem* replaced = ItemNamed(m, "", "data.bin");
  ASSERT_NE(replaced, nullptr);
  EXPECT_EQ(replaced->action, kActionReplace);
  EXPECT_TRUE(replaced->check_size && replaced->check_crc);

  const ManifestItem* deleted = ItemNamed(m, "gone", "obsolete.dll");
  ASSERT_NE(deleted, nullptr);
  EXPECT_EQ(deleted->action, kActionDelete);
  EXPECT_EQ(deleted->size, 3);

  // An empty old file cannot pass the installer's CRC check: size only.
  const ManifestItem* empty = ItemNamed(m, "", "empty.cfg");
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(empty->check_size);
  EXPECT_EQ(empty->size, 0);
  EXPECT_FALSE(empty->check_crc);

  const ManifestItem* cyrillic = ItemNamed(m, "bin", "\xD4\xE0\xE9\xEB \xF1\xEF\xF0\xE0\xE2\xEA\xE8.txt");
  ASSERT_NE(cyrillic, nullptr) << "name stored in code page 1251";
  EXPECT_EQ(cyrillic->action, kActionReplace);
  EXPECT_FALSE(cyrillic->check_size || cyrillic->check_crc) << "a new file has nothing to check";

  // The new folder "fresh" needs no note: the installer creates it.
  EXPECT_TRUE(r.notes.empty()) << r.notes[0];

  // Sorted by path, so the plan is the same on every run.
  for (size_t i = 1; i < m.items.size(); ++i) {
    auto key = [](const ManifestItem& it) { return it.path.empty() ? it.origin_name : it.path + "/" + it.origin_name; };
    EXPECT_LT(key(m.items[i - 1]), key(m.items[i]));
  }
}

TEST_F(DiffFoldersTest, RenamedAndCopiedFilesComeFromTheirBase) {
  // A versioned name (paired by name), a copy of an unchanged file under
  // another name (paired by content), and a new file like nothing old.
  auto lib = Random(60000, 5), lib2 = lib, keep = Random(40000, 6), copy = keep;
  lib2[100] ^= 1;
  copy.insert(copy.begin() + 500, 20, 0x55);
  dir_.Write("old/bin/libfoo-8.18.6.dll", lib);
  dir_.Write("new/bin/libfoo-8.18.7.dll", lib2);
  dir_.Write("old/keep.bin", keep);
  dir_.Write("new/keep.bin", keep);
  dir_.Write("new/sub/other.bin", copy);
  dir_.Write("new/fresh.bin", Random(30000, 7));
  DiffResult r = DiffFolders(Old(), New(), {});
  EXPECT_EQ(r.renamed, 2);
  EXPECT_EQ(r.removed, 1);
  ASSERT_EQ(r.manifest.items.size(), 3u) << "the moved base has no delete item of its own";
  const ManifestItem* renamed = ItemNamed(r.manifest, "bin", "libfoo-8.18.7.dll");
  ASSERT_NE(renamed, nullptr);
  EXPECT_EQ(renamed->action, kActionDelta);
  EXPECT_EQ(renamed->base_name, "libfoo-8.18.6.dll");
  EXPECT_EQ(renamed->base_path, "bin");
  EXPECT_TRUE(renamed->base_moves);
  EXPECT_FALSE(renamed->check_size || renamed->check_crc) << "the target does not exist yet";
  const ManifestItem* copied = ItemNamed(r.manifest, "sub", "other.bin");
  ASSERT_NE(copied, nullptr);
  EXPECT_EQ(copied->base_name, "keep.bin");
  EXPECT_FALSE(copied->base_moves) << "an unchanged file stays";
  EXPECT_EQ(ItemNamed(r.manifest, "", "fresh.bin")->action, kActionReplace);
  // The streams rebuild the new files from their bases, and the manifest
  // keeps the base through its text form.
  for (const auto& [index, stream] : r.delta_streams) {
    const ManifestItem& it = r.manifest.items[index];
    EXPECT_TRUE(DeltaRebuilds(stream, ReadHostFile(it.old_file), ReadHostFile(it.new_file))) << it.origin_name;
  }
  Manifest again = ParseManifest(FormatManifest(r.manifest, dir_.Path("")), "m", dir_.Path(""));
  EXPECT_EQ(ItemNamed(again, "bin", "libfoo-8.18.7.dll")->base_name, "libfoo-8.18.6.dll");
  EXPECT_TRUE(ItemNamed(again, "bin", "libfoo-8.18.7.dll")->base_moves);
}

// The action whose payload is smallest as stored; a tie goes to replace, then patch.
int32_t Smallest(size_t whole, size_t patch, size_t delta) {
  if (whole <= patch && whole <= delta) return kActionReplace;
  return patch <= delta ? kActionPatch : kActionDelta;
}

// Files planned in parallel and big files matched by blocks (the threshold
// lowered to a few hundred KiB): the same manifest, streams and package
// whatever the thread count, and every big item as sound as a small one.
TEST_F(DiffFoldersTest, ThreadCountChangesNothingAndBigFilesAreMatchedByBlocks) {
  const std::vector<uint8_t> big = Random(1 << 20, 51);
  std::vector<uint8_t> big2 = big;
  for (size_t at = 1000; at < big2.size(); at += 90000) big2[at] ^= 0x5A;  // scattered edits
  big2.insert(big2.begin() + 300000, 4000, 0x33);
  dir_.Write("old/assets/pak0.bin", big);
  dir_.Write("new/assets/pak0.bin", big2);
  dir_.Write("old/assets/same.bin", big);
  dir_.Write("new/assets/same.bin", big);
  dir_.Write("old/assets/gone.bin", big2);
  dir_.Write("old/assets/swap.bin", big);
  dir_.Write("new/assets/swap.bin", Random(300000, 52));  // nothing in common: replace
  for (int i = 0; i < 6; ++i) {
    std::vector<uint8_t> small = Random(20000 + 3000 * i, 60 + i), small2 = small;
    small2[i * 100] ^= 1;
    if (i % 2) small2.insert(small2.begin() + 5000, 300, uint8_t(i));
    dir_.Write("old/f" + std::to_string(i) + ".dat", small);
    dir_.Write("new/f" + std::to_string(i) + ".dat", small2);
  }
  DiffResult one = DiffFolders(Old(), New(), {.level = 1, .jobs = 1, .block_threshold = 256 << 10});
  DiffResult three = DiffFolders(Old(), New(), {.level = 1, .jobs = 3, .block_threshold = 256 << 10});
  EXPECT_EQ(FormatManifest(one.manifest, dir_.Path()), FormatManifest(three.manifest, dir_.Path()));
  EXPECT_TRUE(one.delta_streams == three.delta_streams);
  EXPECT_EQ(one.unchanged, 1);
  EXPECT_EQ(one.removed, 1);
  EXPECT_EQ(one.changed, 8);

  const ManifestItem* pak = ItemNamed(one.manifest, "assets", "pak0.bin");
  ASSERT_NE(pak, nullptr);
  ASSERT_EQ(pak->action, kActionDelta);
  EXPECT_TRUE(pak->check_size && pak->check_crc);
  EXPECT_EQ(static_cast<uint32_t>(*pak->crc), Crc32Block(big.data(), static_cast<uint32_t>(big.size())));
  const std::vector<uint8_t>& stream = one.delta_streams.at(static_cast<size_t>(pak - one.manifest.items.data()));
  EXPECT_TRUE(DeltaRebuilds(stream, big, big2));
  EXPECT_LT(stream.size(), 20000u);
  const ManifestItem* gone = ItemNamed(one.manifest, "assets", "gone.bin");
  ASSERT_NE(gone, nullptr);
  EXPECT_EQ(gone->action, kActionDelete);
  EXPECT_EQ(static_cast<uint32_t>(*gone->crc), Crc32Block(big2.data(), static_cast<uint32_t>(big2.size())));
  const ManifestItem* swap = ItemNamed(one.manifest, "assets", "swap.bin");
  ASSERT_NE(swap, nullptr);
  EXPECT_EQ(swap->action, kActionReplace);

  // The packages, with one key: byte for byte the same, the kept streams
  // taken as they are.
  for (DiffResult* r : {&one, &three}) {
    r->manifest.key = CipherKey{};
    for (auto& [index, s] : r->delta_streams) {
      const std::string path = dir_.Path("streams" + std::to_string(r == &one) + "-" + std::to_string(index));
      WriteHostFile(path, s);
      r->manifest.items[index].stream_file = path;
    }
  }
  EXPECT_TRUE(BuildContainer(one.manifest) == BuildContainer(three.manifest));

  // Several releases: the same plan for any thread count too.
  for (int i = 0; i < 4; ++i) dir_.Write("old2/f" + std::to_string(i) + ".dat", Random(15000, 70 + i));
  DiffResult r1 = DiffReleases({Old(), dir_.Path("old2")}, New(), {.level = 1, .jobs = 1});
  DiffResult r3 = DiffReleases({Old(), dir_.Path("old2")}, New(), {.level = 1, .jobs = 3});
  EXPECT_EQ(FormatManifest(r1.manifest, dir_.Path()), FormatManifest(r3.manifest, dir_.Path()));
  EXPECT_TRUE(r1.alternative_streams == r3.alternative_streams);
  EXPECT_EQ(r1.deltas, r3.deltas);
  EXPECT_GE(r1.deltas + r1.patched, 6);
}

// A delta item of a big pair at build time: a stale kept stream is made
// again through bounded reads, the old file's size and CRC come from the
// stream's head, and an item whose CRC no longer matches is refused.
TEST_F(DiffFoldersTest, BuildMakesBigDeltasAgainAndChecksTheOldFile) {
  std::vector<uint8_t> old_bytes(kBlockMatchThreshold, 0), chunk = Random(100000, 81);
  std::copy(chunk.begin(), chunk.end(), old_bytes.begin() + (10 << 20));
  std::vector<uint8_t> new_bytes = old_bytes;
  std::copy(chunk.begin(), chunk.end(), new_bytes.begin() + (40 << 20));
  new_bytes[123456] = 9;
  dir_.Write("old.bin", old_bytes);
  dir_.Write("new.bin", new_bytes);
  dir_.Write("stale.upkd", {'U', 'P', 'K', 'D', 2});
  Manifest m;
  ManifestItem& it = m.items.emplace_back();
  it.action = kActionDelta;
  it.origin_name = it.update_name = "asset.bin";
  it.old_file = dir_.Path("old.bin");
  it.new_file = dir_.Path("new.bin");
  it.stream_file = dir_.Path("stale.upkd");
  it.check_size = it.check_crc = true;
  Package p = PackageFromManifest(m);
  ASSERT_EQ(p.Items.size(), 1u);
  EXPECT_TRUE(DeltaRebuilds(p.Items[0].Data, old_bytes, new_bytes));
  EXPECT_LT(p.Items[0].Data.size(), 2000u);
  EXPECT_EQ(p.Items[0].Size, static_cast<int32_t>(old_bytes.size()));
  EXPECT_EQ(static_cast<uint32_t>(p.Items[0].CRC), Crc32Block(old_bytes.data(), static_cast<uint32_t>(old_bytes.size())));
  it.crc = p.Items[0].CRC ^ 1;
  EXPECT_THROW(PackageFromManifest(m), Error);
}

TEST_F(DiffFoldersTest, ChoiceFollowsCompressedSize) {
  // A file of text where every line changes a little: the patch list has many
  // records; which payload is smallest depends on the compression.
  std::string a, b;
  for (int i = 0; i < 2000; ++i) {
    a += "line " + std::to_string(i) + " value " + std::to_string(i * 7) + "\n";
    b += "line " + std::to_string(i) + " value " + std::to_string(i * 7 + 1) + "\n";
  }
  dir_.Write("old/t.txt", std::vector<uint8_t>(a.begin(), a.end()));
  dir_.Write("new/t.txt", std::vector<uint8_t>(b.begin(), b.end()));
  std::vector<uint8_t> bytes_a(a.begin(), a.end()), bytes_b(b.begin(), b.end());
  std::vector<uint8_t> list = PatchListFor(bytes_a, bytes_b), delta = EncodeDelta(bytes_a, bytes_b);
  size_t patch = StoredSize(list, true, 9), packed_delta = StoredSize(delta, true, 9);
  size_t whole = StoredSize(bytes_b, true, 9);
  DiffResult r = DiffFolders(Old(), New(), {});
  ASSERT_EQ(r.manifest.items.size(), 1u);
  EXPECT_EQ(r.manifest.items[0].action, Smallest(whole, patch, packed_delta))
      << "patch " << patch << " delta " << packed_delta << " whole " << whole;
  // Uncompressed, the same pair compares raw sizes.
  DiffResult stored = DiffFolders(Old(), New(), {.level = 9, .compressed = false});
  EXPECT_EQ(stored.manifest.items[0].action, Smallest(bytes_b.size(), list.size(), delta.size()));
}

TEST_F(DiffFoldersTest, NameOutsideCodePage1251IsRejectedByName) {
  dir_.Write("old/a.txt", {'a'});
  dir_.Write("new/a.txt", {'a'});
  dir_.Write("new/sub/日本.txt", {'j'});
  try {
    DiffFolders(Old(), New(), {});
    FAIL() << "accepted";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("日本.txt"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("code page 1251"), std::string::npos) << e.what();
  }
}

TEST_F(DiffFoldersTest, NamesDifferingOnlyInCaseAreReported) {
#ifdef _WIN32
  GTEST_SKIP() << "a Windows folder cannot hold both names";
#endif
  dir_.Write("old/x", {'x'});
  dir_.Write("new/Ёлка.txt", {'1'});
  dir_.Write("new/ёЛКА.txt", {'2'});
  dir_.Write("new/other.txt", {'3'});
  DiffResult r = DiffFolders(Old(), New(), {});
  ASSERT_EQ(r.notes.size(), 1u);
  EXPECT_NE(r.notes[0].find("differ only in letter case"), std::string::npos) << r.notes[0];
}

// A sparse 2 GiB file in one release: refused by name before it is read
// (reading it whole and matching it exactly would take tens of GiB).
TEST_F(DiffFoldersTest, SeveralReleasesRefuseFilesOf2GiBBeforeReadingThem) {
  dir_.Write("old/a.txt", {1});
  dir_.Write("old2/big.img", {});
  std::filesystem::resize_file(HostPath(dir_.Path("old2/big.img")), 1ull << 31);
  dir_.Write("new/big.img", {1});
  try {
    DiffReleases({Old(), dir_.Path("old2")}, New(), {.level = 1});
    FAIL() << "planned a 2 GiB file for a multi-release item";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("big.img: 2147483648 bytes; with several old folders"), std::string::npos)
        << e.what();
  }
}

TEST_F(DiffFoldersTest, MissingFolderIsAnError) {
  dir_.Write("old/a.txt", {'a'});
  EXPECT_THROW(DiffFolders(Old(), dir_.Path("nowhere"), {}), Error);
}

// verify names the folder the installer will create for a new file, and
// says nothing of folders that are there.
TEST(Verify, NamesTheFoldersANewFileCreates) {
  test::TempDir dir;
  dir.WriteText("bin/app.exe", "x");
  TUpdateFile update;
  for (const char* path : {"bin", "plugins\\extra"}) {
    TFileItem item;
    item.OriginName = "new.dll";
    item.Path = path;
    item.Action = 3;
    update.Items.push_back(item);
  }
  std::vector<VerifyResult> results = VerifyUpdate(update, dir.Path());
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].outcome, "replace (new file)");
  EXPECT_TRUE(results[1].applies);
  EXPECT_EQ(results[1].outcome, "replace (new file; creates folder " + dir.Path("plugins/extra") + ")");
}

}  // namespace
}  // namespace upkit::pack
