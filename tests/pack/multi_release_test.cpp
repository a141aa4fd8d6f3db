// Multi-release packages on the authoring side: `upkit diff` of several
// releases, the manifest form, payloads stored once, the alternatives table
// as the installer's loader reads it, and `upkit verify` per release.
#include <gtest/gtest.h>

#include <random>

#include "codec/error.h"
#include "container/stream.h"
#include "delta/delta_encode.h"
#include "pack/build.h"
#include "pack/diff.h"
#include "pack/manifest.h"
#include "pack/package_writer.h"
#include "pack/verify.h"
#include "package/alternatives.h"
#include "package/update_file.h"
#include "tests/pack/temp_dir.h"

namespace upkit::pack {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// Three releases and NEW: app.exe changes in every release; lib.dll is the
// same in r1 and r2; add.txt is new in r2; gone.txt goes in NEW; the two
// dup.bin files share their whole history; same.txt never changes.
class MultiRelease : public ::testing::Test {
 protected:
  void SetUp() override {
    Bytes app = Random(40000, 1), lib = Random(20000, 2), dup = Random(9000, 3);
    for (const char* r : {"r1", "r2", "new"}) {
      const std::string d = r + std::string("/");
      app[1000] = static_cast<uint8_t>(d[1]);
      app.insert(app.end(), 500, static_cast<uint8_t>(d[1]));
      dir_.Write(d + "app.exe", app);
      if (d != "new/") dir_.Write(d + "lib.dll", lib);
      else dir_.Write(d + "lib.dll", Random(20000, 4));
      dir_.WriteText(d + "same.txt", "same");
      dir_.Write(d + "x/dup.bin", d == "new/" ? Random(9000, 5) : dup);
      dir_.Write(d + "y/dup.bin", d == "new/" ? Random(9000, 5) : dup);
      if (d != "new/") dir_.WriteText(d + "gone.txt", "gone");
      if (d != "r1/") dir_.WriteText(d + "add.txt", "added");
    }
  }
  DiffResult Diff(bool fallback) {
    DiffOptions o;
    o.full_fallback = fallback;
    DiffResult r = DiffReleases({dir_.Path("r1"), dir_.Path("r2")}, dir_.Path("new"), o);
    r.manifest.key = CipherKey{};
    return r;
  }
  std::unique_ptr<TUpdateFile> Load(const Bytes& container) {
    auto update = std::make_unique<TUpdateFile>();
    BufferStream stream(container);
    update->LoadFromStream(stream);
    return update;
  }
  std::vector<std::string> Verify(TUpdateFile& update, const std::string& folder) {
    std::vector<std::string> lines;
    for (const VerifyResult& r : VerifyUpdate(update, dir_.Path(folder)))
      lines.push_back(r.name + ": " + (r.applies ? "" : "NOT ") + r.outcome);
    return lines;
  }
  test::TempDir dir_;
};

TEST_F(MultiRelease, DiffPlansOneAlternativePerDistinctOldContent) {
  DiffResult r = Diff(false);
  const auto& items = r.manifest.items;
  ASSERT_EQ(items.size(), 6u);  // add, app, gone, lib, x/dup, y/dup; same.txt unchanged
  EXPECT_EQ(r.manifest.releases, (std::vector<std::string>{"r1", "r2"}));
  EXPECT_EQ(items[0].origin_name, "add.txt");
  ASSERT_EQ(items[0].from.size(), 1u);  // r2 already has it
  EXPECT_TRUE(items[0].from[0].absent);
  EXPECT_EQ(items[0].from[0].releases, (std::vector<std::string>{"r1"}));
  ASSERT_EQ(items[1].from.size(), 2u);
  EXPECT_EQ(items[1].from[1].releases, (std::vector<std::string>{"r2"}));
  EXPECT_EQ(items[2].origin_name, "gone.txt");
  EXPECT_TRUE(items[2].new_file.empty());
  EXPECT_EQ(items[2].from.at(0).action, kActionDelete);
  EXPECT_EQ(items[2].from[0].releases, (std::vector<std::string>{"r1", "r2"}));
  ASSERT_EQ(items[3].from.size(), 1u) << "equal old contents share one alternative";
  EXPECT_EQ(items[3].from[0].releases, (std::vector<std::string>{"r1", "r2"}));
  EXPECT_EQ(r.unchanged, 1);
}

TEST_F(MultiRelease, BuildStoresEachPayloadOnceAndVerifyNamesTheRelease) {
  DiffResult r = Diff(true);
  Bytes container = BuildContainer(r.manifest);
  // The manifest written and read back builds the same bytes.
  Manifest again = ParseManifest(FormatManifest(r.manifest, dir_.Path()), "upkit.toml", dir_.Path());
  EXPECT_EQ(BuildContainer(again), container);

  auto update = Load(container);
  ASSERT_EQ(update->Items.size(), 6u);
  EXPECT_EQ(update->Releases, "r1\nr2");
  // add.txt: its replace for r1 and its fallback are one payload.
  const ItemAlternatives& add = update->Items[0].Alternatives;
  ASSERT_EQ(add.list.size(), 2u);
  EXPECT_EQ(add.list[1].base, kBaseAny);
  EXPECT_EQ(add.list[0].offset, add.list[1].offset);
  // y/dup.bin takes both payloads from x/dup.bin and stores none.
  const TFileItem& x = update->Items[4];
  const TFileItem& y = update->Items[5];
  EXPECT_EQ(y.Path, "y");
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(y.Alternatives.list[i].data_item, 4);
    EXPECT_EQ(y.Alternatives.list[i].offset, x.Alternatives.list[i].offset);
  }
  EXPECT_EQ(y.DataValue, nullptr);
  EXPECT_EQ(y.Action, 0) << "no alternative's payload starts its own Data";

  EXPECT_EQ(Verify(*update, "r1"), (std::vector<std::string>{
      "add.txt: release r1: replace (new file)", "app.exe: release r1: patch", "gone.txt: release r1, r2: delete",
      "lib.dll: release r1, r2: replace", "x\\dup.bin: release r1, r2: replace", "y\\dup.bin: release r1, r2: replace"}));
  std::vector<std::string> on_new = Verify(*update, "new");
  EXPECT_EQ(on_new.size(), 6u);
  for (const std::string& line : on_new) EXPECT_NE(line.find(": already new"), std::string::npos) << line;
  dir_.WriteText("r2/app.exe", "a build nobody released");
  std::vector<std::string> unknown = Verify(*update, "r2");
  EXPECT_EQ(unknown[1], "app.exe: no known release, fallback: replace");
  EXPECT_EQ(unknown[0], "add.txt: already new");
}

TEST_F(MultiRelease, WithoutFallbackAnUnknownFileIsReported) {
  auto update = Load(BuildContainer(Diff(false).manifest));
  dir_.WriteText("r2/lib.dll", "changed by hand");
  std::vector<std::string> lines = Verify(*update, "r2");
  EXPECT_EQ(lines[3], "lib.dll: NOT skip: no known release");
  EXPECT_EQ(lines[1], "app.exe: release r2: patch");
}

// Both releases' deltas carry the same new text (6 bits a byte), r1's after
// a block r2 has already: LZMA codes it differently in each stream alone;
// chained, r2's stream is primed with r1's and the package holds the text
// once.
TEST(MultiReleaseStreams, NewBytesOfSeveralAlternativesAreSharedInThePackage) {
  test::TempDir dir;
  Bytes r1 = Random(30000, 7), r2 = r1, text = Random(20000, 8);
  for (uint8_t& b : text) b = static_cast<uint8_t>('0' + b % 64);  // LZMA codes it to 3/4
  Bytes r2_only = Random(3000, 9);
  r2.insert(r2.begin() + 10000, r2_only.begin(), r2_only.end());
  Bytes fresh = r2;
  fresh.insert(fresh.begin() + 20000, text.begin(), text.end());
  dir.Write("r1/a.bin", r1);
  dir.Write("r2/a.bin", r2);
  dir.Write("new/a.bin", fresh);
  DiffResult r = DiffReleases({dir.Path("r1"), dir.Path("r2")}, dir.Path("new"), DiffOptions{});
  ASSERT_EQ(r.alternative_streams.size(), 2u);
  const Bytes& first = r.alternative_streams.begin()->second;
  Manifest coded = r.manifest;
  for (auto& [at, stream] : r.alternative_streams) {
    const Bytes& old = at.second == 0 ? r1 : r2;
    if (at.second == 0) {
      EXPECT_EQ(stream, EncodeDelta(r1, fresh)) << "the first stays an ordinary stream";
    } else {
      EXPECT_TRUE(stream.size() > first.size() && std::equal(first.begin(), first.end(), stream.begin()))
          << "chained after the first";
    }
    EXPECT_TRUE(DeltaRebuilds(stream, old, fresh));
    const std::string name = std::to_string(at.second);
    dir.Write("stored" + name, stream);
    dir.Write("coded" + name, EncodeDelta(old, fresh));
    r.manifest.items[at.first].from[at.second].stream_file = dir.Path("stored" + name);
    coded.items[at.first].from[at.second].stream_file = dir.Path("coded" + name);
  }
  r.manifest.key = coded.key = CipherKey{};
  EXPECT_LT(BuildContainer(r.manifest).size() + 2000, BuildContainer(coded).size());
}

TEST(MultiReleaseManifest, ErrorsNameFileAndLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"[[item]]\norigin_name = \"a\"\nnew = \"n\"\naction = \"replace\"\n[[item.from]]\nabsent = true\naction = \"replace\"\n",
       "upkit.toml:4: key \"action\" does not belong to a multi-release [[item]]"},
      {"[[item]]\norigin_name = \"a\"\nnew = \"n\"\n[[item.from]]\naction = \"delta\"\n",
       "upkit.toml:4: [[item.from]] needs either \"old\" or \"absent = true\""},
      {"[[item]]\norigin_name = \"a\"\nnew = \"n\"\n[[item.from]]\nabsent = true\naction = \"patch\"\n",
       "upkit.toml:4: an absent file can only be added"},
      {"[[item]]\norigin_name = \"a\"\n[[item.from]]\nold = \"o\"\naction = \"delta\"\n",
       "upkit.toml:3: an [[item]] without \"new\" removes the file"},
      {"[[item]]\norigin_name = \"a\"\nnew = \"n\"\n[[item.from]]\nold = \"o\"\naction = \"move\"\n",
       "upkit.toml:6: \"action\" in [[item.from]] must be one of"},
      {"[[item]]\norigin_name = \"a\"\nnew = \"n\"\n[[item.from]]\nold = \"o\"\naction = \"patch\"\nreleases = [\"9.9\"]\n",
       "upkit.toml:4: release \"9.9\" of [[item.from]] is not in \"releases\" of [package]"},
  };
  for (const auto& [text, message] : cases) {
    std::string got = "(nothing raised)";
    try {
      ParseManifest(text, "upkit.toml", ".");
    } catch (const Error& e) {
      got = e.Message();
    }
    EXPECT_EQ(got.rfind(message, 0), 0u) << text << "\ngot: " << got;
  }
}

// The loader refuses a table it cannot trust: the whole package then fails
// to load, as for any item whose Data cannot supply what it claims.
TEST(MultiReleaseTable, MalformedTablesAndRangesFailTheLoad) {
  ItemAlternatives good;
  good.new_size = 3;
  ItemAlternative a;
  a.base = kBasePresent;
  a.action = 3;
  a.length = 3;
  good.list = {a};
  const Bytes bytes = WriteAlternatives(good);
  ASSERT_EQ(bytes.size(), kAlternativesHeadSize + kAlternativeSize);
  auto damaged = [&](size_t at, uint8_t value) {
    Bytes b = bytes;
    b[at] = value;
    return b;
  };
  const Bytes bad_tables[] = {
      damaged(0, 2),                                         // unknown format
      damaged(kAlternativesHeadSize, 3),                     // unknown base
      damaged(kAlternativesHeadSize + 13, 5),                // action 5 (open)
      damaged(kAlternativesHeadSize + 14, 1),                // payload in a later item
      Bytes(bytes.begin(), bytes.end() - 1),                 // one byte short
  };
  auto load = [](const Bytes& table, Bytes data) {
    Package pkg;
    PackageItem item;
    item.OriginName = "f";
    item.Data = std::move(data);
    item.DataSize = 0;
    item.Alternatives = table;
    pkg.Items = {item};
    BufferStream stream(WritePackage(pkg, ContainerOptions{}));
    TUpdateFile update;
    update.LoadFromStream(stream);
    return update.Items.at(0).Alternatives.list.size();
  };
  EXPECT_EQ(load(bytes, {1, 2, 3}), 1u);
  EXPECT_THROW(load(bytes, {1, 2}), Error) << "payload range past Data";
  for (const Bytes& b : bad_tables) EXPECT_THROW(load(b, {1, 2, 3}), Error);
  ItemAlternatives fallback_first = good;
  fallback_first.list = {a, a};
  fallback_first.list[0].base = kBaseAny;
  EXPECT_THROW(load(WriteAlternatives(fallback_first), {1, 2, 3}), Error);
}

}  // namespace
}  // namespace upkit::pack
