// Actions 2 to 5 on real files: byte patches, replace, delete, shell open.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <utility>

#include "codec/error.h"
#include "install/actions.h"
#include "install/win32_error.h"
#include "install/win32_handle.h"
#include "tests/install/support.h"

namespace upkit {
namespace {

using test::Bytes;
using test::MessageOf;
using test::MakeItem;
using test::TempFolder;
using test::Writer;

Bytes Pattern(size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i + 1);
  return bytes;
}

Writer PatchHead(int32_t new_size, int32_t kind, int32_t count) {
  Writer w;
  w.I32(0x12345678).I32(new_size).I32(kind).I32(count);
  return w;
}

class PatchTest : public ::testing::Test {
 protected:
  void SetUp() override { test::WriteBytes(file, Pattern(64)); }
  std::string Patch(const Bytes& list) {
    return MessageOf([&] { ApplyPatchList(file, MakeItem("f", 2, list)); });
  }
  TempFolder folder;
  std::string file = folder / "target.bin";
};

TEST_F(PatchTest, SingleByteAndRunRecordsLandWhereTheySay) {
  EXPECT_EQ(Patch(PatchHead(64, 0, 2).I32(16).U8(0x90).I32(0).U8(0xEE).bytes), "(nothing raised)");
  Bytes expected = Pattern(64);
  expected[16] = 0x90;
  expected[0] = 0xEE;
  EXPECT_EQ(test::ReadBytes(file), expected);

  // Runs: one inside, one of length 0 (writes nothing), one past the end
  // that extends the file up to its last byte.
  EXPECT_EQ(Patch(PatchHead(64, 1, 3)
                      .I32(60).I32(3).Raw("abc")
                      .I32(5).I32(0)
                      .I32(70).I32(2).Raw("yz")
                      .bytes),
            "(nothing raised)");
  Bytes after = test::ReadBytes(file);
  ASSERT_EQ(after.size(), 72u);
  EXPECT_EQ(std::string(after.begin() + 60, after.begin() + 63), "abc");
  EXPECT_EQ(after[5], expected[5]);
  EXPECT_EQ(after[63], expected[63]);
  EXPECT_EQ(std::string(after.begin() + 70, after.end()), "yz");
}

TEST_F(PatchTest, ResizesBothWaysAndOtherKindsOnlyResize) {
  EXPECT_EQ(Patch(PatchHead(10, 2, 5).bytes), "(nothing raised)");
  EXPECT_EQ(test::ReadBytes(file), Pattern(10));
  EXPECT_EQ(Patch(PatchHead(100, 0, 0).bytes), "(nothing raised)");
  Bytes grown = test::ReadBytes(file);
  ASSERT_EQ(grown.size(), 100u);
  EXPECT_EQ(Bytes(grown.begin(), grown.begin() + 10), Pattern(10));
  // Exactly 16 bytes, same size, no records: nothing changes.
  Bytes before = test::ReadBytes(file);
  EXPECT_EQ(Patch(PatchHead(100, 0, 0).bytes), "(nothing raised)");
  EXPECT_EQ(test::ReadBytes(file), before);
}

// Regression: a malformed list used to apply its records up to the fault.
// The whole list is checked first, so nothing is written: no resize, no
// earlier record, and never a negative offset or size.
TEST_F(PatchTest, MalformedListsFailBeforeAnythingIsWritten) {
  Bytes head = PatchHead(8, 0, 0).bytes;
  head.pop_back();
  const std::pair<Bytes, const char*> cases[] = {
      {head, "Stream read error"},
      // A second single-byte record cut short after its offset.
      {PatchHead(8, 0, 2).I32(1).U8(0xAA).I32(2).bytes, "Stream read error"},
      // A run whose bytes end early.
      {PatchHead(8, 1, 2).I32(1).I32(1).U8(0xAA).I32(30).I32(5).Raw("xy").bytes, "Stream read error"},
      // More records announced than present; a negative run length.
      {PatchHead(8, 0, 1000).I32(3).U8(0xBB).bytes, "Stream read error"},
      {PatchHead(8, 1, 2).I32(1).I32(1).U8(0xAA).I32(3).I32(-1).bytes, "Stream read error"},
      // Negative offsets (after a good record) and a negative new size.
      {PatchHead(8, 0, 2).I32(2).U8(0x77).I32(-1).U8(0x66).bytes, "Stream write error"},
      {PatchHead(8, 1, 2).I32(1).I32(1).U8(0xAA).I32(-4).I32(0).bytes, "Stream write error"},
      {PatchHead(-1, 0, 1).I32(0).U8(0).bytes, "Stream write error"},
  };
  for (const auto& [list, message] : cases) {
    EXPECT_EQ(Patch(list), message);
    EXPECT_EQ(test::ReadBytes(file), Pattern(64));
  }
  TFileItem negative = MakeItem("f", 2, PatchHead(8, 0, 0).bytes);
  negative.DataSize = -5;
  EXPECT_EQ(MessageOf([&] { ApplyPatchList(file, negative); }), "Stream write error");
  EXPECT_EQ(test::ReadBytes(file), Pattern(64));
}

TEST_F(PatchTest, FileHeldForWritingOrMissingCannotBeOpened) {
  HANDLE other = ::CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  // The name handed in is relative to nothing: the message shows it made absolute.
  std::string roundabout = folder / "sub\\..\\target.bin";
  EXPECT_EQ(MessageOf([&] { ApplyPatchList(roundabout, MakeItem("f", 2, PatchHead(1, 0, 0).bytes)); }),
            "Cannot open file \"" + file + "\". " + SystemMessage(ERROR_SHARING_VIOLATION));
  ::CloseHandle(other);
  EXPECT_EQ(test::ReadBytes(file), Pattern(64));

  EXPECT_EQ(MessageOf([&] {
              ApplyPatchList(folder / "none.bin", MakeItem("f", 2, PatchHead(1, 0, 0).bytes));
            }),
            "Cannot open file \"" + (folder / "none.bin") + "\". " +
                SystemMessage(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(test::Exists(folder / "none.bin"));
}

TEST(WriteFileFromMemory, CreatesOrEmptiesAndReportsBytes) {
  TempFolder folder;
  EXPECT_EQ(WriteFileFromMemory(folder / "w", "hello", 5), 5);
  EXPECT_EQ(test::ReadBytes(folder / "w"), Bytes({'h', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(WriteFileFromMemory(folder / "w", "x", 0), 0);
  EXPECT_TRUE(test::Exists(folder / "w"));
  EXPECT_TRUE(test::ReadBytes(folder / "w").empty());
  EXPECT_EQ(WriteFileFromMemory(folder / "no\\such\\folder", "x", 1), 0);
}

TEST(ReplaceAction, ReplacesCreatesAndEmpties) {
  TempFolder folder;
  const std::string file = folder / "r.txt";
  test::WriteText(file, "old content that is longer");
  test::RecordingLog log;
  PerformAction(file, MakeItem("r.txt", 3, {'n', 'e', 'w'}), log);
  EXPECT_EQ(test::ReadBytes(file), Bytes({'n', 'e', 'w'}));
  ReplaceItemFile(file, MakeItem("r.txt", 3));
  EXPECT_TRUE(test::Exists(file));
  EXPECT_TRUE(test::ReadBytes(file).empty());
  ReplaceItemFile(folder / "fresh", MakeItem("fresh", 3, {1, 2}));
  EXPECT_EQ(test::ReadBytes(folder / "fresh"), Bytes({1, 2}));
  // No temporary files are left behind.
  EXPECT_EQ(folder.Names().size(), 2u);
}

// Regression: the old file must survive a replacement that cannot finish.
TEST(ReplaceAction, FailureKeepsTheOldFileAndSaysWhy) {
  TempFolder folder;
  // A folder of the target's name: no file can be moved over it, and it is
  // not a file in use that a restart would replace.
  const std::string file = folder / "locked.dll";
  ASSERT_TRUE(::CreateDirectoryA(file.c_str(), nullptr));
  test::WriteText(file + "\\old.txt", "old");
  std::string message = MessageOf([&] { ReplaceItemFile(file, MakeItem("locked.dll", 3, {'n'})); });
  EXPECT_EQ(message.rfind("System Error.  Code: ", 0), 0u) << message;
  EXPECT_EQ(test::ReadBytes(file + "\\old.txt"), Bytes({'o', 'l', 'd'}));
  EXPECT_EQ(folder.Names(), std::vector<std::string>{"locked.dll"});

  // A folder that cannot be created (a file holds its name) cannot take the file.
  message = MessageOf([&] { ReplaceItemFile(file + "\\old.txt\\x", MakeItem("x", 3, {'n'})); });
  EXPECT_EQ(message.rfind("System Error.  Code: ", 0), 0u) << message;
}

TEST(ReplaceAction, CreatesTheMissingFoldersOfItsPath) {
  TempFolder folder;
  const std::string file = folder / "new\\deeper\\n.txt";
  EXPECT_EQ(ReplaceItemFile(file, MakeItem("n.txt", 3, {'n'})), PlaceOutcome::kPlaced);
  EXPECT_EQ(test::ReadBytes(file), Bytes({'n'}));
  EXPECT_EQ(test::NamesIn(folder / "new\\deeper"), std::vector<std::string>{"n.txt"});
}

// Regression: GetTempFileNameA needs 14 characters of room, so a folder
// deeper than MAX_PATH - 14 took no replacement that a direct write takes.
TEST(ReplaceAction, WorksAtEveryPathLengthADirectWriteTakes) {
  TempFolder folder;
  // The deepest folder the system creates, up to one that leaves room for a
  // one-letter name: past MAX_PATH - 14 on Windows, to the end under Wine.
  std::string deep = folder.Path();
  while (deep.size() < MAX_PATH - 2) {
    size_t room = MAX_PATH - 2 - deep.size();
    size_t chunk = room <= 41 ? room - 1 : std::min<size_t>(40, room - 3);
    std::string deeper = deep + std::string(chunk, 'd') + "\\";
    if (!::CreateDirectoryA(deeper.c_str(), nullptr)) break;
    deep = deeper;
  }
  // GetTempFileNameA takes at most MAX_PATH - 14 (and Wine's faults beyond).
  ASSERT_GT(deep.size(), MAX_PATH - 14u) << "too shallow to show anything";
  // The longest name that fits, and a one-letter name.
  for (std::string file : {deep + std::string(MAX_PATH - 1 - deep.size(), 'n'), deep + "z"}) {
    ASSERT_EQ(WriteFileFromMemory(file, "old", 3), 3) << "the direct write must work: " << file.size();
    EXPECT_EQ(ReplaceItemFile(file, MakeItem("n", 3, {'n', 'e', 'w'})), PlaceOutcome::kPlaced);
    EXPECT_EQ(test::ReadBytes(file), Bytes({'n', 'e', 'w'}));
    EXPECT_EQ(test::NamesIn(deep).size(), 1u) << "a temporary file was left behind";
    ::DeleteFileA(file.c_str());
  }
}

TEST(TempFileName, FitsTheRoomGiven) {
  EXPECT_EQ(TempFileName(200, 0x1234ABCDu), "~upk1234abcd.tmp");
  EXPECT_EQ(TempFileName(16, 0x1234ABCDu), "~upk1234abcd.tmp");
  EXPECT_EQ(TempFileName(5, 0x1234ABCDu), "~abcd");
  EXPECT_EQ(TempFileName(1, 0x1234ABCDu), "d");
}

TEST(DeleteAction, DeletesAndToleratesMissingFiles) {
  TempFolder folder;
  const std::string file = folder / "d.txt";
  test::WriteText(file, "x");
  EXPECT_EQ(DeleteItemFile(file), PlaceOutcome::kPlaced);
  EXPECT_FALSE(test::Exists(file));
  EXPECT_EQ(MessageOf([&] { DeleteItemFile(file); }), "(nothing raised)");
  EXPECT_EQ(MessageOf([&] { DeleteItemFile(folder / "no\\such.txt"); }), "(nothing raised)");
}

// Waits for every process this test started (the shell's command
// interpreter) to end, ending any that is still there after the timeout.
void ReapChildren(DWORD timeout_ms) {
  KernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot || snapshot.Get() == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32First(snapshot.Get(), &entry); more;
       more = ::Process32Next(snapshot.Get(), &entry)) {
    if (entry.th32ParentProcessID != ::GetCurrentProcessId()) continue;
    KernelHandle child(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
    if (child && ::WaitForSingleObject(child.Get(), timeout_ms) != WAIT_OBJECT_0) {
      ::TerminateProcess(child.Get(), 1);
    }
  }
}

TEST(OpenAction, ShellRunsTheFileInItsFolder) {
  TempFolder folder;
  const std::string script = folder / "mark.bat";
  // Written relative to the working folder: proves the folder is handed over.
  test::WriteText(script, "@echo off\r\necho opened> marker.txt\r\n");
  OpenWithShell(script);
  const std::string marker = folder / "marker.txt";
  bool seen = false;
  for (int waited = 0; waited < 20000 && !seen; waited += 50) {
    seen = test::ReadBytes(marker).size() >= 6;
    if (!seen) ::Sleep(50);
  }
  ReapChildren(10000);
  ASSERT_TRUE(seen) << "the shell did not run " << script;
  Bytes content = test::ReadBytes(marker);
  EXPECT_EQ(std::string(content.begin(), content.begin() + 6), "opened");
}

// Regression: a file the shell cannot open is reported, not called done.
TEST(OpenAction, MissingFileRaisesTheSystemError) {
  TempFolder folder;
  EXPECT_EQ(MessageOf([&] { OpenWithShell(folder / "absent.bat"); }),
            SystemErrorText(ERROR_FILE_NOT_FOUND));
  ReapChildren(5000);
}

TEST(Dispatch, UnknownActionsDoNothing) {
  TempFolder folder;
  test::WriteText(folder / "u", "same");
  test::RecordingLog log;
  for (int32_t action : {0, 7, -1, 1000}) {
    PerformAction(folder / "u", MakeItem("u", action, {1, 2, 3}), log);
  }
  EXPECT_EQ(test::ReadBytes(folder / "u"), Bytes({'s', 'a', 'm', 'e'}));
  EXPECT_TRUE(log.runs.empty());
}

}  // namespace
}  // namespace upkit
