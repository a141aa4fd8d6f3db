// One multi-release package (all-or-nothing, as `upkit diff` makes it)
// against real folders: each known release ends byte-identical to NEW, NEW
// stays as it is, an unknown release changes nothing at all, and with the
// whole-file fallback it is brought to NEW as well.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>

#include "container/stream.h"
#include "install/engine.h"
#include "pack/build.h"
#include "pack/diff.h"
#include "tests/install/support.h"
#include "texts/texts.h"

namespace upkit {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::Random;
using Tree = std::map<std::string, Bytes>;  // relative path -> content

void WriteTree(const std::string& root, const Tree& tree) {
  for (const auto& [rel, bytes] : tree) {
    fs::create_directories(fs::path(root + rel).parent_path());
    test::WriteBytes(root + rel, bytes);
  }
}

Tree ReadTree(const std::string& root) {
  Tree tree;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) tree[e.path().lexically_relative(root).generic_string()] = test::ReadBytes(e.path().string());
  return tree;
}

class MultiReleaseRun : public ::testing::Test {
 protected:
  void SetUp() override {
    // app.exe grows a little in each release (a delta or patch each time),
    // lib.dll is equal in r1 and r2, add.txt comes in r2, gone.txt goes in NEW.
    Bytes app = Random(150000, 1), lib = Random(30000, 2);
    for (int r = 0; r < 3; ++r) {
      Tree& t = trees_[r];
      app.insert(app.begin() + 70000, 2000, static_cast<uint8_t>(r));
      app[100] = static_cast<uint8_t>(r);
      t["app.exe"] = app;
      t["lib/lib.dll"] = r == 2 ? Random(30000, 3) : lib;
      t["same.txt"] = Bytes{'s'};
      if (r < 2) t["gone.txt"] = Bytes{'g'};
      if (r > 0) t["add.txt"] = Bytes{'a', r == 2 ? uint8_t('2') : uint8_t('1')};
      WriteTree(folder_ / names_[r], t);
    }
  }
  Bytes Build(bool fallback) {
    pack::DiffOptions o;
    o.full_fallback = fallback;
    pack::DiffResult diff = pack::DiffReleases({folder_ / "r1", folder_ / "r2"}, folder_ / "new", o);
    return pack::BuildContainer(diff.manifest);
  }
  // Installs `container` into a copy of `tree`; gives the folder afterwards.
  Tree Install(const Bytes& container, const Tree& tree, UpdateCounts* counts = nullptr) {
    const std::string dest = folder_ / ("dest" + std::to_string(runs_++) + "\\");
    WriteTree(dest, tree);
    TUpdateFile update;
    BufferStream stream(container);
    update.LoadFromStream(stream);
    update.DefaultDir = dest;
    log_ = test::RecordingLog();
    UpdateCounts c = RunUpdate(update, log_);
    if (counts) *counts = c;
    return ReadTree(dest);
  }
  std::string LineOf(const std::string& name) const {
    for (const std::string& line : log_.Lines())
      if (line.find("[" + name + "]") != std::string::npos) return line;
    return "(no line)";
  }

  test::TempFolder folder_;
  const char* names_[3] = {"r1\\", "r2\\", "new\\"};
  Tree trees_[3];
  test::RecordingLog log_;
  int runs_ = 0;
};

TEST_F(MultiReleaseRun, EveryKnownReleaseEndsAsNewAndNewStays) {
  const Bytes package = Build(false);
  for (int r = 0; r < 2; ++r) {
    UpdateCounts counts;
    EXPECT_EQ(Install(package, trees_[r], &counts), trees_[2]) << "release " << r + 1;
    EXPECT_EQ(counts.failed, 0);
  }
  EXPECT_EQ(LineOf("add.txt"), "Updating [add.txt]  ...  OK");
  EXPECT_EQ(Install(package, trees_[2]), trees_[2]);
  EXPECT_EQ(LineOf("app.exe"), "Updating [app.exe]  ...  OK, " + std::string(text::kAlreadyUpToDate.english));
  EXPECT_EQ(LineOf("gone.txt"), "Updating [gone.txt]  ...  OK, " + std::string(text::kAlreadyUpToDate.english));
}

TEST_F(MultiReleaseRun, AnUnknownReleaseIsRefusedOrReplacedWholeWithTheFallback) {
  Tree unknown = trees_[1];
  unknown["app.exe"][5] ^= 1;
  UpdateCounts counts;
  EXPECT_EQ(Install(Build(false), unknown, &counts), unknown) << "not even the files of known content";
  EXPECT_EQ(counts.failed, 1);
  EXPECT_EQ(LineOf("app.exe"), "Updating [app.exe]  ...  " + std::string(text::kNoKnownRelease.english));

  EXPECT_EQ(Install(Build(true), unknown, &counts), trees_[2]);
  EXPECT_EQ(counts.failed, 0);
}

// Three releases of a program that all lack the same new code: `upkit diff`
// chains the deltas (the second and third primed by the one before), the
// package stores each stream once, and the installer takes every release
// to NEW byte for byte from its own payload of the chain.
TEST(MultiReleaseChained, EachReleaseRebuiltFromItsPrimedStream) {
  test::TempFolder folder;
  const Bytes base = Random(200000, 11), added = Random(60000, 12);
  Tree trees[4];
  for (int r = 0; r < 4; ++r) {
    Bytes app = base;
    if (r == 3) {
      app.insert(app.begin() + 90000, added.begin(), added.end());
    } else {
      for (int i = 0; i < 300; ++i) app[static_cast<size_t>(7919 * i * (r + 3)) % app.size()] ^= 0x5A;
    }
    trees[r]["bin/app.exe"] = app;
    trees[r]["readme.txt"] = Bytes{'r', static_cast<uint8_t>('0' + r)};
    WriteTree(folder / ("r" + std::to_string(r) + "\\"), trees[r]);
  }
  pack::DiffResult diff = pack::DiffReleases({folder / "r0", folder / "r1", folder / "r2"}, folder / "r3", {});
  // The app's streams: each starts with the one before, and is primed.
  size_t app_item = 0;
  while (app_item < diff.manifest.items.size() && diff.manifest.items[app_item].origin_name != "app.exe") ++app_item;
  const Bytes& s0 = diff.alternative_streams.at({app_item, 0});
  const Bytes& s1 = diff.alternative_streams.at({app_item, 1});
  const Bytes& s2 = diff.alternative_streams.at({app_item, 2});
  ASSERT_GT(s1.size(), s0.size());
  ASSERT_GT(s2.size(), s1.size());
  EXPECT_TRUE(std::equal(s0.begin(), s0.end(), s1.begin()));
  EXPECT_TRUE(std::equal(s1.begin(), s1.end(), s2.begin()));
  EXPECT_LT(s2.size() - s0.size(), s0.size() / 2) << "the primed streams share the new code";
  const Bytes package = pack::BuildContainer(diff.manifest);
  // s0 alone holds the new code: storing it twice would pass this.
  EXPECT_LT(package.size(), s2.size() + s0.size() / 2) << "each stream stored once";

  for (int r = 0; r < 3; ++r) {
    const std::string dest = folder / ("dest" + std::to_string(r) + "\\");
    WriteTree(dest, trees[r]);
    TUpdateFile update;
    BufferStream stream(package);
    update.LoadFromStream(stream);
    update.DefaultDir = dest;
    test::RecordingLog log;
    UpdateCounts counts = RunUpdate(update, log);
    EXPECT_EQ(counts.failed, 0) << "release " << r;
    EXPECT_EQ(ReadTree(dest), trees[3]) << "release " << r;
  }
}

}  // namespace
}  // namespace upkit
