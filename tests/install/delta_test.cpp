// Action 6 on real files: a delta rebuilds the new file from the old one;
// a wrong base, a damaged stream or a result that does not match the head
// each leave the old file byte-identical and no temporary file behind.
#include <gtest/gtest.h>

#include <windows.h>

#include <random>

#include "codec/crc32.h"
#include "delta/delta_encode.h"
#include "delta/delta_format.h"
#include "install/delta_action.h"
#include "install/engine.h"
#include "tests/install/support.h"
#include "texts/texts.h"

namespace upkit {
namespace {

using test::Bytes;
using test::Random;
using test::Crc;

TEST(DeltaAction, EngineRebuildsTheFileWithChecksAndBackup) {
  // Several read windows long; content inserted, dropped and moved.
  Bytes old_file = Random(300000, 1), new_file = old_file, inserted = Random(5000, 2);
  new_file.insert(new_file.begin() + 100, inserted.begin(), inserted.end());
  new_file.erase(new_file.begin() + 200000, new_file.begin() + 200100);
  new_file.insert(new_file.begin(), old_file.begin() + 250000, old_file.begin() + 290000);
  // Pieces from all over the old file: reads jump between more blocks than it caches.
  for (size_t k = 0, at = 0; k < 60; ++k, at = (at + 7919 * 37) % 299000)
    new_file.insert(new_file.end(), old_file.begin() + at, old_file.begin() + at + 700);
  test::TempFolder folder;
  test::WriteBytes(folder / "lib.dll", old_file);
  TUpdateFile update;
  update.DefaultDir = folder.Path();
  TFileItem item = test::MakeItem("lib.dll", 6, pack::EncodeDelta(old_file, new_file));
  item.CheckSize = item.CheckCRC = 1;
  item.Size = static_cast<int32_t>(old_file.size());
  item.CRC = Crc(old_file);
  update.Items = {item, test::MakeItem("absent.dll", 6, Bytes(item.Data.begin(), item.Data.end()))};
  SetBackupOption(true);
  test::RecordingLog log;
  RunUpdate(update, log);
  SetBackupOption(false);

  EXPECT_EQ(test::ReadBytes(folder / "lib.dll"), new_file);
  EXPECT_EQ(test::ReadBytes(folder / "lib.dll.bak"), old_file);
  EXPECT_EQ(folder.Names().size(), 2u) << "no temporary file left";
  ASSERT_GE(log.Lines().size(), 4u);
  EXPECT_EQ(log.Lines()[2], "Updating [lib.dll]  ...  OK");
  EXPECT_EQ(log.Lines()[3], "Updating [absent.dll]  ...  not found in " + folder.Path());
}

TEST(DeltaAction, RebuildsFromPiecesAllOverAnOldFileLargerThanItsCache) {
  // 2.5 MiB and a few bytes (more than the read cache, not a whole number
  // of its blocks); pieces that start just before 16 KiB edges, from more
  // places than the cache holds, some runs of new bytes, then the file's
  // last bytes.
  Bytes old_file = Random((5u << 19) + 777, 7), new_file;
  std::mt19937 rng(8);
  for (int k = 0; k < 300; ++k) {
    const size_t edge = (1 + rng() % (old_file.size() / 16384)) * 16384, at = edge - rng() % 48;
    const size_t length = std::min<size_t>(48 + rng() % 40000, old_file.size() - at);
    new_file.insert(new_file.end(), old_file.begin() + at, old_file.begin() + at + length);
    if (k % 3 == 0) new_file.insert(new_file.end(), 7, uint8_t(k));
  }
  new_file.insert(new_file.end(), old_file.end() - 3000, old_file.end());
  test::TempFolder folder;
  test::WriteBytes(folder / "big.dll", old_file);
  ApplyDeltaItem(folder / "big.dll", test::MakeItem("big.dll", 6, pack::EncodeDelta(old_file, new_file)));
  EXPECT_TRUE(test::ReadBytes(folder / "big.dll") == new_file);
}

TEST(DeltaAction, EveryFailureKeepsTheOldFile) {
  Bytes old_file = Random(100000, 3), new_file = Random(300, 4), other_new = new_file, wrong_base = old_file;
  new_file.insert(new_file.end(), old_file.begin(), old_file.end());
  other_new.insert(other_new.begin(), old_file.begin(), old_file.end());
  wrong_base[99999] ^= 1;  // same size, last byte differs
  Bytes delta = pack::EncodeDelta(old_file, new_file);
  // Decodes cleanly to a file of the right size, but its head (last field)
  // promises the CRC-32 of another.
  Bytes lying = pack::EncodeDelta(old_file, other_new);
  const size_t crc_at = delta::kFixedHeadSize - 4;
  std::copy(delta.begin() + crc_at, delta.begin() + crc_at + 4, lying.begin() + crc_at);
  struct Case { Bytes file, stream; std::string message; };
  const Case cases[] = {
      {wrong_base, delta, text::kDeltaWrongBase.english},
      {Bytes(old_file.begin(), old_file.end() - 1), delta, text::kDeltaWrongBase.english},
      {old_file, Bytes(delta.begin(), delta.end() - 1), "Stream read error"},
      {old_file, lying, text::kDeltaResultMismatch.english},
  };
  for (const Case& c : cases) {
    test::TempFolder folder;
    test::WriteBytes(folder / "lib.dll", c.file);
    EXPECT_EQ(test::MessageOf([&] { ApplyDeltaItem(folder / "lib.dll", test::MakeItem("lib.dll", 6, c.stream)); }),
              c.message);
    EXPECT_EQ(test::ReadBytes(folder / "lib.dll"), c.file);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"lib.dll"});
  }
}

TEST(DeltaAction, DeltaFromAnotherFileOfTheProduct) {
  // This test program (a PE file with relocations: stream version 2 with
  // references from its tables, code moved by the insertion) renamed with code inserted, as a delta from
  // the old name that then goes; an unchanged file as the base of an edited
  // copy in a new folder, which stays. The renamed file is already there,
  // stale, as after a run stopped between placing it and deleting the base.
  // With backups on, the base that goes is backed up first.
  char self[MAX_PATH];
  ASSERT_GT(::GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
  const Bytes exe = test::ReadBytes(self), inserted = Random(3000, 8);
  Bytes next = exe;
  next.insert(next.begin() + next.size() / 2, inserted.begin(), inserted.end());
  next[next.size() / 3] ^= 0x5A;
  const Bytes data = Random(200000, 7);
  Bytes copy = data;
  copy.insert(copy.begin() + 1000, inserted.begin(), inserted.begin() + 100);
  test::TempFolder folder;
  test::WriteBytes(folder / "app-1.2.exe", exe);
  test::WriteBytes(folder / "app-1.3.exe", Random(10, 9));
  test::WriteBytes(folder / "data.bin", data);

  TFileItem renamed = test::MakeItem("app-1.3.exe", 6, pack::EncodeDelta(exe, next));
  ASSERT_EQ(renamed.Data.data()[4], delta::kVersionLzma);
  // Conditional jumps too; in a 64-bit build (PE32+) RIP-relative operands.
  ASSERT_EQ(renamed.Data.data()[5], delta::kFlagReferences | delta::kFlagPeTables | delta::kFlagJumpIf |
                                        (sizeof(void*) == 8 ? delta::kFlagRipRelative : 0));
  renamed.BaseName = "app-1.2.exe";
  renamed.BaseMoves = 1;
  TFileItem copied = test::MakeItem("copy.bin", 6, pack::EncodeDelta(data, copy));
  copied.Path = "new folder";
  copied.BaseName = "data.bin";
  // A base that is not the stream's: nothing is made and the base stays.
  TFileItem wrong = test::MakeItem("other.exe", 6, Bytes(renamed.Data.begin(), renamed.Data.end()));
  wrong.BaseName = "data.bin";
  wrong.BaseMoves = 1;
  TUpdateFile update;
  update.DefaultDir = folder.Path();
  update.Items = {renamed, copied, wrong};
  test::RecordingLog log;
  SetBackupOption(true);
  RunUpdate(update, log);
  SetBackupOption(false);

  EXPECT_EQ(test::ReadBytes(folder / "app-1.3.exe"), next);
  EXPECT_TRUE(test::ReadBytes(folder / "app-1.2.exe").empty()) << "the moved base is gone";
  EXPECT_EQ(test::ReadBytes(folder / "app-1.2.exe.bak"), exe) << "backed up first";
  EXPECT_EQ(test::ReadBytes(folder / "new folder\\copy.bin"), copy);
  EXPECT_EQ(test::ReadBytes(folder / "data.bin"), data);
  EXPECT_TRUE(test::ReadBytes(folder / "other.exe").empty());
  ASSERT_GE(log.Lines().size(), 5u);
  EXPECT_EQ(log.Lines()[2], "Updating [app-1.3.exe]  ...  OK");
  EXPECT_EQ(log.Lines()[3], "Updating [copy.bin]  ...  OK");
  EXPECT_NE(log.Lines()[4].find(text::kDeltaWrongBase.english), std::string::npos) << log.Lines()[4];
}

// New code in this test program (calls from each new place to a few of
// its functions, between random bytes): the stream stores the new bytes
// with their branches naming targets (flag bit 6), and the installer turns
// them back as it writes the file.
TEST(DeltaAction, NewCodeStoredAsTargetsRebuildsTheFile) {
  char self[MAX_PATH];
  ASSERT_GT(::GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
  const Bytes exe = test::ReadBytes(self);
  const size_t at = exe.size() / 2;
  Bytes added = Random(40000, 11);
  std::mt19937 rng(12);
  for (size_t i = 0; i + 16 <= added.size(); i += 8 + rng() % 8) {
    const uint32_t target = uint32_t(0x1000 + (rng() % 16) * 1024), d = uint32_t(target - (at + i + 5));
    added[i] = 0xE8;
    for (int k = 0; k < 4; ++k) added[i + 1 + k] = uint8_t(d >> (8 * k));
  }
  Bytes next = exe;
  next.insert(next.begin() + at, added.begin(), added.end());
  test::TempFolder folder;
  test::WriteBytes(folder / "app.exe", exe);
  TFileItem item = test::MakeItem("app.exe", 6, pack::EncodeDelta(exe, next));
  ASSERT_TRUE(item.Data.data()[5] & delta::kFlagNewBytesTargets);
  TUpdateFile update;
  update.DefaultDir = folder.Path();
  update.Items = {item};
  test::RecordingLog log;
  RunUpdate(update, log);
  EXPECT_EQ(test::ReadBytes(folder / "app.exe"), next);
  ASSERT_GE(log.Lines().size(), 3u);
  EXPECT_EQ(log.Lines()[2], "Updating [app.exe]  ...  OK");
}

}  // namespace
}  // namespace upkit
