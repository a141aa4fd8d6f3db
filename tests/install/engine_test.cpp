// RunUpdate against real folders: the exact log (text runs and colours),
// the checks and their order, backups, and the closing line.
#include <gtest/gtest.h>

#include "install/engine.h"
#include "install/win32_handle.h"
#include "pack/package_writer.h"
#include "tests/install/support.h"
#include "texts/texts.h"

namespace upkit {
namespace {

using test::Bytes;
using test::LogRun;
using test::MakeItem;
using test::TempFolder;

constexpr uint32_t W = kLogWhite, R = kLogRed, N = kLogNameColour;

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { update.DefaultDir = folder.Path(); }
  void TearDown() override {
    SetBackupOption(false);
    SetLanguage(1);
  }
  TFileItem& Add(TFileItem item) {
    update.Items.push_back(std::move(item));
    return update.Items.back();
  }
  void Run() { RunUpdate(update, log); }
  // The text of item line `i` (0-based) after "]  ...  ".
  std::string Outcome(size_t i) {
    std::string line = log.Lines().at(2 + i);
    return line.substr(line.find("]  ...  ") + 8);
  }

  TempFolder folder;
  TUpdateFile update;
  test::RecordingLog log;
};

TEST_F(EngineTest, TwoItemExampleGivesTheExactLog) {
  test::WriteText(folder / "app.exe", "x");
  Add(MakeItem("app.exe", 0));
  Add(MakeItem("help.dat", 1)).Path = "bin";
  update.DefaultDir = folder.Path().substr(0, folder.Path().size() - 1);  // no final "\"
  Run();
  std::vector<LogRun> expected = {
      {"Update file count: 2", W, true},
      {"", W, true},
      {"Updating [", W, false}, {"app.exe", N, false}, {"]  ...  ", W, false}, {"OK", W, true},
      {"Updating [", W, false}, {"help.dat", N, false}, {"]  ...  ", W, false},
      {"not found in " + folder.Path() + "bin\\", R, true},
      {"", W, true},
      {"Update finished with errors: 1 of 2 files were not updated.", R, true},
  };
  EXPECT_EQ(log.runs, expected);
  EXPECT_EQ(log.progress, (std::vector<int32_t>{0, 1, 0}));
  EXPECT_EQ(log.paints, 1);
  EXPECT_EQ(log.marks, 4);  // after the header, after each item's progress, at the end
}

TEST_F(EngineTest, AllItemsOkAndNoItemsCloseWithSuccess) {
  Run();
  EXPECT_EQ(log.runs, (std::vector<LogRun>{{"Update file count: 0", W, true},
                                           {"", W, true},
                                           {"", W, true},
                                           {"Update installed successfully !", W, true}}));
  EXPECT_EQ(log.progress, std::vector<int32_t>{0});

  log = {};
  test::WriteText(folder / "a", "x");
  Add(MakeItem("a", 7));  // unknown action: does nothing
  Add(MakeItem("gone", 4));  // missing file: the existence test is waived
  Run();
  EXPECT_EQ(log.Lines().back(), "Update installed successfully !");
  EXPECT_EQ(log.runs.back().colour, W);
  EXPECT_EQ(Outcome(0), "OK");
  EXPECT_EQ(Outcome(1), "OK");
}

TEST_F(EngineTest, NameIsShownTrimmedButUsedAsStored) {
  test::WriteText(folder / "data.bin", "x");
  Add(MakeItem("  data.bin\t", 0)).Path = " \\ ";
  Run();
  EXPECT_EQ(log.runs[3], (LogRun{"data.bin", N, false}));
  // Windows drops trailing blanks from names, so the stored name finds the file;
  // the leading blanks belong to it and make it a different name.
  EXPECT_EQ(Outcome(0), "not found in " + folder.Path());
}

TEST_F(EngineTest, SizeCheckComparesTheLow32Bits) {
  test::WriteBytes(folder / "s", Bytes(10));
  TFileItem& ok = Add(MakeItem("s", 0));
  ok.CheckSize = 1;
  ok.Size = 10;
  TFileItem& wrong = Add(MakeItem("s", 0));
  wrong.CheckSize = 1;
  wrong.Size = -5;
  TFileItem& off = Add(MakeItem("s", 0));
  off.CheckSize = 2;  // only 1 switches the check on
  off.Size = 99;
  TFileItem& missing = Add(MakeItem("new", 3, {'n'}));
  missing.CheckSize = 1;
  missing.Size = 0;  // a missing file counts as size 0
  // A sparse file of 4 GiB + 10 bytes passes against 10.
  HANDLE huge = ::CreateFileA((folder / "huge").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(huge, INVALID_HANDLE_VALUE);
  LARGE_INTEGER end;
  end.QuadPart = (1LL << 32) + 10;
  ASSERT_TRUE(::SetFilePointerEx(huge, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(huge));
  ::CloseHandle(huge);
  TFileItem& low = Add(MakeItem("huge", 0));
  low.CheckSize = 1;
  low.Size = 10;
  // With the full size ("Size64"), all 64 bits: the same low bits fail.
  TFileItem& full = Add(MakeItem("huge", 0));
  full.CheckSize = 1;
  full.Size = 10;
  full.HasSize64 = true;
  full.Size64 = 10;
  TFileItem& right = Add(full);
  right.Size64 = (1ull << 32) + 10;
  TFileItem& small = Add(right);
  small.OriginName = "s";
  Run();
  EXPECT_EQ(Outcome(0), "OK");
  EXPECT_EQ(Outcome(1), "wrong file size 10 need -5");
  EXPECT_EQ(log.runs[9].colour, R);
  EXPECT_EQ(Outcome(2), "OK");
  EXPECT_EQ(Outcome(3), "OK");
  EXPECT_EQ(test::ReadBytes(folder / "new"), Bytes{'n'});
  EXPECT_EQ(Outcome(4), "OK");
  EXPECT_EQ(Outcome(5), "wrong file size 4294967306 need 10");
  EXPECT_EQ(Outcome(6), "OK");
  EXPECT_EQ(Outcome(7), "wrong file size 10 need 4294967306");
}

TEST_F(EngineTest, CrcCheckShowsSignedValuesAndMinusOneOnFailure) {
  test::WriteText(folder / "c", "123456789");  // CRC-32 0xCBF43926
  test::WriteBytes(folder / "empty", {});
  TFileItem& good = Add(MakeItem("c", 0));
  good.CheckCRC = 1;
  good.CRC = static_cast<int32_t>(0xCBF43926u);
  TFileItem& bad = Add(MakeItem("c", 0));
  bad.CheckCRC = 1;
  bad.CRC = 12345;
  TFileItem& empty = Add(MakeItem("empty", 0));
  empty.CheckCRC = 1;
  empty.CRC = 0;  // the CRC of no bytes, but an empty file cannot be mapped
  TFileItem& gone = Add(MakeItem("gone", 4));
  gone.CheckCRC = 1;
  gone.CRC = -1;  // -1 shown because the check failed, not because it matched
  TFileItem& off = Add(MakeItem("c", 0));
  off.CheckCRC = 2;
  Run();
  EXPECT_EQ(Outcome(0), "OK");
  EXPECT_EQ(Outcome(1), "wrong file CRC -873187034 need 12345");
  EXPECT_EQ(Outcome(2), "wrong file CRC -1 need 0");
  EXPECT_EQ(Outcome(3), "wrong file CRC -1 need -1");
  EXPECT_EQ(Outcome(4), "OK");
  EXPECT_EQ(log.Lines().back(), "Update finished with errors: 3 of 5 files were not updated.");
}

TEST_F(EngineTest, FailedCheckSkipsBackupAndAction) {
  SetBackupOption(true);
  test::WriteText(folder / "keep", "12345");
  TFileItem& item = Add(MakeItem("keep", 4));
  item.CheckSize = 1;
  item.Size = 4;
  item.CheckCRC = 1;
  item.CRC = 0;
  Run();
  // Size is checked before the CRC, and nothing follows a failed check.
  EXPECT_EQ(Outcome(0), "wrong file size 5 need 4");
  EXPECT_TRUE(test::Exists(folder / "keep"));
  EXPECT_FALSE(test::Exists(folder / "keep.bak"));

  // Missing file for action 2: not found, before any check.
  log = {};
  update.Items.clear();
  TFileItem& patch = Add(MakeItem("none", 2));
  patch.CheckSize = 1;
  patch.Size = 7;
  Run();
  EXPECT_EQ(Outcome(0), "not found in " + folder.Path());
}

TEST_F(EngineTest, BackupReplacesOldCopiesForEveryAction) {
  SetBackupOption(true);
  test::WriteText(folder / "del.txt", "deleted content");
  test::WriteText(folder / "rep.txt", "replaced content");
  test::WriteText(folder / "rep.txt.bak", "stale backup");
  Add(MakeItem("del.txt", 4));
  Add(MakeItem("rep.txt", 3, {'n', 'e', 'w'}));
  Add(MakeItem("fresh.txt", 3, {'f'}));  // no file yet: nothing to back up
  Run();
  EXPECT_EQ(Outcome(0), "OK");
  EXPECT_EQ(Outcome(1), "OK");
  EXPECT_EQ(Outcome(2), "OK");
  EXPECT_FALSE(test::Exists(folder / "del.txt"));
  Bytes del_bak = test::ReadBytes(folder / "del.txt.bak");
  EXPECT_EQ(std::string(del_bak.begin(), del_bak.end()), "deleted content");
  Bytes rep_bak = test::ReadBytes(folder / "rep.txt.bak");
  EXPECT_EQ(std::string(rep_bak.begin(), rep_bak.end()), "replaced content");
  EXPECT_EQ(test::ReadBytes(folder / "rep.txt"), (Bytes{'n', 'e', 'w'}));
  EXPECT_FALSE(test::Exists(folder / "fresh.txt.bak"));
}

// Regression: a file whose backup cannot be made is not touched.
TEST_F(EngineTest, FailedBackupSkipsTheItem) {
  SetBackupOption(true);
  test::WriteText(folder / "f.txt", "precious");
  ASSERT_TRUE(::CreateDirectoryA((folder / "f.txt.bak").c_str(), nullptr));  // blocks the copy
  Add(MakeItem("f.txt", 3, {'x'}));
  Run();
  std::string outcome = Outcome(0);
  EXPECT_EQ(outcome.rfind(" has been skipped, error: ", 0), 0u) << outcome;
  EXPECT_GT(outcome.size(), 27u);
  EXPECT_EQ(log.runs[5].colour, R);
  Bytes content = test::ReadBytes(folder / "f.txt");
  EXPECT_EQ(std::string(content.begin(), content.end()), "precious");

  // Without the option the same item goes through.
  SetBackupOption(false);
  log = {};
  Run();
  EXPECT_EQ(Outcome(0), "OK");
}

TEST_F(EngineTest, ActionFailureIsReportedAndTheLoopGoesOn) {
  test::WriteBytes(folder / "p", Bytes(4));
  Add(MakeItem("p", 2, {1, 2, 3}));  // patch list shorter than its head
  Add(MakeItem("q", 3, {'q'}));
  Run();
  EXPECT_EQ(Outcome(0), " has been skipped, error: Stream read error");
  EXPECT_EQ(log.runs[5], (LogRun{" has been skipped, error: Stream read error", R, true}));
  EXPECT_EQ(Outcome(1), "OK");
  EXPECT_EQ(log.Lines().back(), "Update finished with errors: 1 of 2 files were not updated.");
}

TEST_F(EngineTest, ResourceUpdateOfANonExecutableShowsBothErrorsInOrder) {
  test::WriteText(folder / "notes.txt", "not a program");
  Add(MakeItem("notes.txt", 1, test::Writer().I32(0).bytes));
  Run();
  if (test::RunningOnWine()) {
    // Wine 8 fails both BeginUpdateResourceA and EndUpdateResourceA here
    // without setting an error code, so there is no resource-writing line
    // and the begin step's failure reads as the code-0 text.
    ASSERT_EQ(log.runs.size(), 8u);
    EXPECT_EQ(log.runs[5],
              (LogRun{" has been skipped, error: A call to an OS function failed", R, true}));
  } else {
    // The item line ends with the red resource-writing error; the skip text
    // with the begin step's error stands alone on the next line.
    ASSERT_EQ(log.runs.size(), 9u);
    EXPECT_EQ(log.runs[5].colour, R);
    EXPECT_EQ(log.runs[5].text.rfind("Resources error writing: ", 0), 0u) << log.runs[5].text;
    EXPECT_EQ(log.runs[6].colour, R);
    EXPECT_EQ(log.runs[6].text.rfind(" has been skipped, error: System Error.  Code: ", 0), 0u)
        << log.runs[6].text;
  }
  Bytes content = test::ReadBytes(folder / "notes.txt");
  EXPECT_EQ(std::string(content.begin(), content.end()), "not a program");
}

TEST_F(EngineTest, ResourceUpdateOfAProgramEndsOk) {
  ASSERT_TRUE(::CopyFileA((test::ProgramFolder() + "engine_target_pe.exe").c_str(),
                          (folder / "t.exe").c_str(), FALSE));
  test::Writer list;
  list.I32(1).U8(0).U16(10).U8(0).U16(40).U16(0).I32(2).Raw("hi");
  Add(MakeItem("t.exe", 1, list.bytes));
  Run();
  EXPECT_EQ(Outcome(0), "OK");
  EXPECT_EQ(log.Lines().back(), "Update installed successfully !");
}

// The counts the run sequence turns into exit codes, and the lines of a
// file in use: done at the restart, counted as done, closing with a request
// to restart.
TEST_F(EngineTest, CountsFailuresAndFilesWaitingForARestart) {
  test::ClearPendingRenames();
  test::WriteText(folder / "busy.dll", "old");
  FileHandle holder(::CreateFileA((folder / "busy.dll").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(holder);
  Add(MakeItem("busy.dll", 3, {'n'}));
  Add(MakeItem("fresh.txt", 3, {'f'})).Path = "new\\dir";
  UpdateCounts counts = RunUpdate(update, log);
  test::ClearPendingRenames();
  EXPECT_EQ(Outcome(0), "OK, the file is in use and will be replaced when Windows restarts");
  EXPECT_EQ(Outcome(1), "OK");
  std::vector<std::string> lines = log.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Update installed successfully !");
  EXPECT_EQ(lines.back(), "Restart Windows to complete the update.");
  EXPECT_EQ(counts.items, 2);
  EXPECT_EQ(counts.failed, 0);
  EXPECT_EQ(counts.scheduled, 1);

  update.Items = {MakeItem("absent.bin", 2)};
  counts = RunUpdate(update, log);
  EXPECT_EQ(counts.failed, 1);
  EXPECT_EQ(counts.scheduled, 0);
}

TEST_F(EngineTest, RussianLogIsCodePage1251) {
  SetLanguage(0);
  Add(MakeItem("x", 2)).Path = "sub";
  Run();
  std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], std::string(text::kUpdateFileCount.russian) + "1");
  EXPECT_EQ(lines[0].substr(0, 4), "\xCE\xE1\xED\xEE");  // "Обно"
  EXPECT_EQ(lines[2], std::string("\xCE\xE1\xED\xEE\xE2\xEB\xE5\xED\xE8\xE5 [x]  ...  ") +
                          "\xED\xE5 \xED\xE0\xE9\xE4\xE5\xED \xE2 " + folder.Path() + "sub\\");
  EXPECT_EQ(lines[4], "\xCE\xE1\xED\xEE\xE2\xEB\xE5\xED\xE8\xE5 \xE7\xE0\xE2\xE5\xF0\xF8\xE5\xED\xEE"
                      " \xF1 \xEE\xF8\xE8\xE1\xEA\xE0\xEC\xE8: \xED\xE5 \xEE\xE1\xED\xEE\xE2\xEB"
                      "\xE5\xED\xEE \xF4\xE0\xE9\xEB\xEE\xE2: 1 \xE8\xE7 1.");

  // The skip text has no leading blank in Russian.
  log = {};
  test::WriteBytes(folder / "p", Bytes(2));
  update.Items = {MakeItem("p", 2, {1})};
  Run();
  EXPECT_EQ(Outcome(0), std::string(text::kSkipped.russian) + "Stream read error");
  log = {};
  update.Items = {MakeItem("p", 0)};
  Run();
  EXPECT_EQ(log.Lines().back(), text::kUpdateInstalled.russian);
}

// A loaded package's payloads exist only while their own item runs: the
// first item's expanded Data is gone when the second item starts, and no
// Data is left after the run.
TEST_F(EngineTest, LoadedDataLivesOnlyWhileItsItemRuns) {
  pack::Package package;
  Bytes packed(300000, 'a'), stored;
  for (int i = 0; i < 5000; ++i) stored.push_back(static_cast<uint8_t>(i * 7919 >> 3));
  for (const Bytes* data : {&packed, &stored}) {
    pack::PackageItem item;
    item.OriginName = data == &packed ? "packed.dat" : "stored.dat";
    item.Action = 3;
    item.Data = *data;
    package.Items.push_back(item);
  }
  pack::ContainerOptions options;  // enciphered and compressed
  Bytes bytes = pack::WritePackage(package, options);
  MemoryStream stream(bytes.data(), bytes.size());
  update.LoadFromStream(stream);
  update.DefaultDir = folder.Path();
  struct Watch : test::RecordingLog {
    TUpdateFile* update = nullptr;
    std::vector<bool> empty_at_start;
    void AppendLogText(const std::string& text, uint32_t colour) override {
      if (colour == kLogNameColour) empty_at_start.push_back(update->Items[0].Data.empty());
      RecordingLog::AppendLogText(text, colour);
    }
  } watch;
  watch.update = &update;
  RunUpdate(update, watch);
  EXPECT_EQ(watch.empty_at_start, (std::vector<bool>{true, true}));
  EXPECT_TRUE(update.Items[0].Data.empty() && update.Items[1].Data.empty());
  EXPECT_EQ(test::ReadBytes(folder / "packed.dat"), packed);
  EXPECT_EQ(test::ReadBytes(folder / "stored.dat"), stored);
}

}  // namespace
}  // namespace upkit
