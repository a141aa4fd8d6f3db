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

}  // namespace
}  // namespace upkit
