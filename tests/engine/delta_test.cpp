// Action 6 on real files: a delta rebuilds the new file from the old one.
// A wrong base, a damaged stream or a result that does not match the head
// each leave the old file byte-identical and no temporary file behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "codec/crc32.h"
#include "pack/delta_encode.h"
#include "tests/engine/support.h"
#include "texts/texts.h"
#include "update/actions.h"
#include "update/delta.h"
#include "update/delta_action.h"
#include "update/delta_format.h"
#include "update/engine.h"

namespace upkit {
namespace {

using test::Bytes;
using test::MakeItem;
using test::MessageOf;

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

int32_t Crc(const Bytes& b) { return static_cast<int32_t>(Crc32Block(b.data(), static_cast<uint32_t>(b.size()))); }

class DeltaActionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Several read windows long; the new file inserts, drops, moves a block
    // from the end to the front and changes single bytes.
    old_ = Random(300000, 1);
    new_ = old_;
    Bytes inserted = Random(5000, 2);
    new_.insert(new_.begin() + 100, inserted.begin(), inserted.end());
    new_.erase(new_.begin() + 200000, new_.begin() + 200100);
    new_.insert(new_.begin(), old_.begin() + 250000, old_.begin() + 290000);
    new_[123456] ^= 0x40;
    test::WriteBytes(file_, old_);
    delta_ = pack::EncodeDelta(old_, new_);
  }
  void TearDown() override { SetBackupOption(false); }

  std::string Apply(const Bytes& stream) {
    return MessageOf([&] { ApplyDeltaItem(file_, MakeItem("lib.dll", 6, stream)); });
  }
  // The old file as it was, and nothing else in the folder.
  void ExpectUntouched(const Bytes& content) {
    EXPECT_EQ(test::ReadBytes(file_), content);
    EXPECT_EQ(folder_.Names(), std::vector<std::string>{"lib.dll"});
  }

  test::TempFolder folder_;
  std::string file_ = folder_ / "lib.dll";
  Bytes old_, new_, delta_;
};

TEST_F(DeltaActionTest, EngineRebuildsTheFileWithChecksAndBackup) {
  TUpdateFile update;
  update.DefaultDir = folder_.Path();
  TFileItem item = MakeItem("lib.dll", 6, delta_);
  item.CheckSize = item.CheckCRC = 1;
  item.Size = static_cast<int32_t>(old_.size());
  item.CRC = Crc(old_);
  update.Items = {item, MakeItem("absent.dll", 6, delta_)};
  SetBackupOption(true);
  test::RecordingLog log;
  RunUpdate(update, log);

  EXPECT_EQ(test::ReadBytes(file_), new_);
  EXPECT_EQ(test::ReadBytes(file_ + ".bak"), old_);
  std::vector<std::string> lines = log.Lines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[2], "Updating [lib.dll]  ...  OK");
  EXPECT_EQ(lines[3], "Updating [absent.dll]  ...  not found in " + folder_.Path());
  std::vector<std::string> names = folder_.Names();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"lib.dll", "lib.dll.bak"}));
}

TEST_F(DeltaActionTest, WrongBaseIsRefusedWhateverTheItemChecks) {
  const std::string wrong_base = text::kDeltaWrongBase.english;
  Bytes changed = old_;
  changed[299999] ^= 1;  // same size, last byte differs
  test::WriteBytes(file_, changed);
  EXPECT_EQ(Apply(delta_), wrong_base);
  ExpectUntouched(changed);

  Bytes shorter(old_.begin(), old_.end() - 1);
  test::WriteBytes(file_, shorter);
  EXPECT_EQ(Apply(delta_), wrong_base);
  ExpectUntouched(shorter);
}

TEST_F(DeltaActionTest, DamagedStreamOrMismatchedResultKeepsTheOldFile) {
  EXPECT_EQ(Apply(Bytes(delta_.begin(), delta_.end() - 1)), "Stream read error");
  ExpectUntouched(old_);
  EXPECT_EQ(Apply(Bytes(delta_.begin(), delta_.begin() + 3)), "Stream read error");
  ExpectUntouched(old_);
  TFileItem beyond = MakeItem("lib.dll", 6, delta_);
  beyond.DataSize += 1;  // more than Data holds
  EXPECT_EQ(MessageOf([&] { ApplyDeltaItem(file_, beyond); }), "Stream read error");
  ExpectUntouched(old_);

  // A stream that decodes cleanly to a file of the right size, but whose
  // head promises the CRC-32 of another: the head's last field.
  Bytes other_new = new_;
  other_new[7] ^= 0x55;
  Bytes spliced = pack::EncodeDelta(old_, other_new);
  const size_t crc_at = delta::kFixedHeadSize - 4;
  std::copy(delta_.begin() + crc_at, delta_.begin() + crc_at + 4, spliced.begin() + crc_at);
  ASSERT_EQ(ReadDeltaHead(spliced.data(), spliced.size()).new_crc, static_cast<uint32_t>(Crc(new_)));
  EXPECT_EQ(Apply(spliced), text::kDeltaResultMismatch.english);
  ExpectUntouched(old_);
}

}  // namespace
}  // namespace upkit
