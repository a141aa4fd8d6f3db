// Delta items on the authoring side: `upkit diff` plans one where content
// moved, `upkit build` writes a stream that rebuilds NEW from OLD, and
// `upkit verify` checks a folder's file against the stream's head.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "codec/crc32.h"
#include "codec/error.h"
#include "container/stream.h"
#include "pack/build.h"
#include "pack/diff.h"
#include "pack/verify.h"
#include "tests/pack_build/temp_dir.h"
#include "update/delta.h"
#include "update/update_file.h"

namespace upkit::pack {
namespace {

std::vector<uint8_t> Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

struct MemorySource : DeltaSource {
  const std::vector<uint8_t>& bytes;
  explicit MemorySource(const std::vector<uint8_t>& b) : bytes(b) {}
  void ReadOld(uint64_t offset, uint8_t* out, size_t length) override {
    ASSERT_LE(offset + length, bytes.size());
    std::memcpy(out, bytes.data() + offset, length);
  }
};

struct MemorySink : DeltaSink {
  std::vector<uint8_t> bytes;
  void WriteNew(const uint8_t* p, size_t length) override { bytes.insert(bytes.end(), p, p + length); }
};

class DeltaPlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = Random(60000, 7);
    // Content moves: 50 bytes inserted near the start, 30 removed later. A
    // byte patch would rewrite everything after the insertion.
    new_ = old_;
    auto extra = Random(50, 8);
    new_.insert(new_.begin() + 1000, extra.begin(), extra.end());
    new_.erase(new_.begin() + 40000, new_.begin() + 40030);
    dir_.Write("old/lib.dll", old_);
    dir_.Write("new/lib.dll", new_);
  }
  std::vector<uint8_t> old_, new_;
  test::TempDir dir_;
};

TEST_F(DeltaPlanTest, DiffPlansDeltaAndBuildRebuildsNew) {
  DiffResult plan = DiffFolders(dir_.Path("old"), dir_.Path("new"), {});
  ASSERT_EQ(plan.manifest.items.size(), 1u);
  const ManifestItem& item = plan.manifest.items[0];
  EXPECT_EQ(item.action, kActionDelta);
  EXPECT_EQ(plan.deltas, 1);
  EXPECT_EQ(plan.patched, 0);
  EXPECT_TRUE(item.check_size && item.check_crc);
  EXPECT_EQ(item.crc, static_cast<int32_t>(Crc32Block(old_.data(), static_cast<uint32_t>(old_.size()))));

  Package package = PackageFromManifest(plan.manifest);
  const std::vector<uint8_t>& stream = package.Items[0].Data;
  EXPECT_LT(stream.size(), 1000u);
  DeltaHead head = ReadDeltaHead(stream.data(), stream.size());
  EXPECT_EQ(head.old_size, old_.size());
  EXPECT_EQ(head.new_size, new_.size());
  MemorySource source(old_);
  MemorySink sink;
  EXPECT_EQ(ApplyDelta(stream.data(), stream.size(), source, sink),
            Crc32Block(new_.data(), static_cast<uint32_t>(new_.size())));
  EXPECT_EQ(sink.bytes, new_);

  // The old file changed after the plan: no delta against the wrong base.
  dir_.Write("old/lib.dll", Random(60000, 9));
  EXPECT_THROW(PackageFromManifest(plan.manifest), Error);
}

TEST_F(DeltaPlanTest, VerifyChecksTheFileAgainstTheHead) {
  Manifest m = DiffFolders(dir_.Path("old"), dir_.Path("new"), {}).manifest;
  m.items[0].check_crc = false;  // so that only the delta's own check can catch a same-size change
  auto container = BuildContainer(m);
  TUpdateFile update;
  BufferStream stream(container);
  update.LoadFromStream(stream);

  auto ok = VerifyUpdate(update, dir_.Path("old"));
  ASSERT_EQ(ok.size(), 1u);
  EXPECT_TRUE(ok[0].applies);
  EXPECT_EQ(ok[0].outcome, "delta (rebuilds the file: " + std::to_string(new_.size()) + " bytes)");

  auto changed = old_;
  changed[5] ^= 1;
  dir_.Write("other/lib.dll", changed);
  auto wrong = VerifyUpdate(update, dir_.Path("other"));
  EXPECT_FALSE(wrong[0].applies);
  EXPECT_EQ(wrong[0].outcome.rfind("skip: the file is not the one this delta was made for", 0), 0u)
      << wrong[0].outcome;

  update.Items[0].DataSize = 3;  // the head cut short
  auto damaged = VerifyUpdate(update, dir_.Path("old"));
  EXPECT_FALSE(damaged[0].applies);
  EXPECT_EQ(damaged[0].outcome, "skip: Stream read error");
}

}  // namespace
}  // namespace upkit::pack
