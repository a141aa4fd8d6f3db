// All-or-nothing updates against real folders: a failing check changes
// nothing, a failure while staging undoes everything, a re-run is "already
// up to date", a journal left by a crash is finished or undone, and files
// in use wait for the restart without breaking a second run.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "codec/crc32.h"
#include "container/stream.h"
#include "delta/delta_encode.h"
#include "install/engine.h"
#include "install/file_install.h"
#include "install/transaction.h"
#include "pack/package_writer.h"
#include "tests/install/support.h"
#include "texts/texts.h"

namespace upkit {
namespace {

using test::Bytes;
using test::Random;
using test::Crc;
using test::MakeItem;

// A product of three files and an all-or-nothing update of it: a delta, a
// patch (with its stored result), a new file in a new folder, a deletion.
class AllOrNothing : public ::testing::Test {
 protected:
  void SetUp() override {
    update.DefaultDir = folder.Path();
    update.AllOrNothing = true;
    old_lib = Random(70000, 1);
    new_lib = old_lib;
    new_lib.insert(new_lib.begin() + 1000, 300, 0x90);
    old_cfg = Bytes(100, 'a');
    new_cfg = old_cfg;
    new_cfg[10] = 'b';
    WriteOld();
    TFileItem lib = MakeItem("lib.dll", 6, pack::EncodeDelta(old_lib, new_lib));
    TFileItem cfg = MakeItem("cfg.ini", 2, pack::PatchListRuns(100, {{10, {'b'}}}));
    cfg.CheckCRC = 1;
    cfg.CRC = Crc(old_cfg);
    cfg.HasNewCheck = true;
    cfg.NewSize = 100;
    cfg.NewCRC = Crc(new_cfg);
    TFileItem added = MakeItem("added.txt", 3, {'n', 'e', 'w'});
    added.Path = "sub\\deeper";
    update.Items = {lib, cfg, added, MakeItem("old.txt", 4)};
  }
  void WriteOld() {
    test::WriteBytes(folder / "lib.dll", old_lib);
    test::WriteBytes(folder / "cfg.ini", old_cfg);
    test::WriteText(folder / "old.txt", "obsolete");
  }
  void ExpectOld() {
    EXPECT_EQ(test::ReadBytes(folder / "lib.dll"), old_lib);
    EXPECT_EQ(test::ReadBytes(folder / "cfg.ini"), old_cfg);
    EXPECT_EQ(test::ReadBytes(folder / "old.txt"), Bytes({'o', 'b', 's', 'o', 'l', 'e', 't', 'e'}));
    EXPECT_EQ(folder.Names(), (std::vector<std::string>{"cfg.ini", "lib.dll", "old.txt"}));
  }
  void ExpectNew() {
    EXPECT_EQ(test::ReadBytes(folder / "lib.dll"), new_lib);
    EXPECT_EQ(test::ReadBytes(folder / "cfg.ini"), new_cfg);
    EXPECT_EQ(test::ReadBytes(folder / "sub\\deeper\\added.txt"), Bytes({'n', 'e', 'w'}));
    EXPECT_EQ(folder.Names(), (std::vector<std::string>{"cfg.ini", "lib.dll", "sub"}));
    EXPECT_EQ(test::NamesIn(folder / "sub\\deeper"), std::vector<std::string>{"added.txt"});
  }
  UpdateCounts Run() {
    log = {};
    return RunUpdate(update, log);
  }

  test::TempFolder folder;
  TUpdateFile update;
  test::RecordingLog log;
  Bytes old_lib, new_lib, old_cfg, new_cfg;
};

TEST_F(AllOrNothing, AppliesWholeThenARerunIsAlreadyUpToDate) {
  UpdateCounts counts = Run();
  EXPECT_EQ(counts.failed, 0);
  ExpectNew();
  EXPECT_EQ(log.Lines()[2], "Updating [lib.dll]  ...  OK");
  EXPECT_EQ(log.Lines().back(), "Update installed successfully !");

  counts = Run();
  EXPECT_EQ(counts.failed, 0);
  ExpectNew();
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(log.Lines()[2 + i].substr(log.Lines()[2 + i].find("...")), "...  OK, already up to date");
  EXPECT_EQ(log.Lines().back(), "Update installed successfully !");
}

TEST_F(AllOrNothing, OneFailingCheckChangesNothing) {
  test::WriteBytes(folder / "cfg.ini", Bytes(100, 'x'));  // changed locally
  old_cfg = Bytes(100, 'x');
  UpdateCounts counts = Run();
  EXPECT_EQ(counts.failed, 1);
  ExpectOld();
  std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2], "Updating [cfg.ini]  ...  wrong file CRC " + std::to_string(Crc(old_cfg)) + " need " +
                          std::to_string(update.Items[1].CRC));
  EXPECT_EQ(lines[4], "The update was not installed: no file was changed.");
  EXPECT_EQ(log.runs.back().colour, kLogRed);
}

TEST_F(AllOrNothing, AFailureWhileStagingUndoesEverything) {
  // Passes every check, fails when written: a resource update of a file
  // that is no executable.
  pack::ResourceEntry entry;
  entry.data = {1, 2};
  update.Items.push_back(MakeItem("cfg.ini", 1, pack::ResourceList({entry})));
  UpdateCounts counts = Run();
  EXPECT_EQ(counts.failed, 1);
  ExpectOld();
  EXPECT_EQ(log.Lines().back(), "The update was undone: every file is as it was.");
}

// The full size of a check ("Size64") from the package writer through the
// loader to the all-or-nothing check: a file whose size has the expected
// low 32 bits but not the high ones fails, and nothing changes; with the
// right sizes the same package applies. The sparse file costs no disk, and
// a size check reads only the directory listing.
TEST(FullSizeCheck, AFileWithTheSameLow32BitsChangesNothing) {
  test::TempFolder folder;
  const uint64_t big = (1ull << 32) + 10;
  auto sparse = [](const std::string& name, uint64_t size) {
    HANDLE file = ::CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    EXPECT_TRUE(::SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(file));
    ::CloseHandle(file);
  };
  sparse(folder / "huge.img", big);
  test::WriteBytes(folder / "small.img", Bytes(10, 's'));
  pack::Package package;
  package.AllOrNothing = true;
  for (const char* name : {"huge.img", "small.img"}) {
    pack::PackageItem& item = package.Items.emplace_back();
    item.OriginName = name;
    item.Action = 4;
    item.CheckSize = 1;
    pack::ExpectedSize(item, big);
  }
  auto load = [&] {
    auto update = std::make_unique<TUpdateFile>();
    const std::vector<uint8_t> bytes = pack::WritePackage(package, pack::ContainerOptions());
    BufferStream stream(bytes);
    update->LoadFromStream(stream);
    update->DefaultDir = folder.Path();
    return update;
  };
  test::RecordingLog log;
  auto update = load();
  UpdateCounts counts = RunUpdate(*update, log);
  EXPECT_EQ(counts.failed, 1);
  ASSERT_EQ(log.Lines().size(), 5u);  // the failing item's line alone
  EXPECT_EQ(log.Lines()[2], "Updating [small.img]  ...  wrong file size 10 need 4294967306");
  EXPECT_EQ(log.Lines().back(), "The update was not installed: no file was changed.");
  EXPECT_EQ(folder.Names(), (std::vector<std::string>{"huge.img", "small.img"}));

  pack::ExpectedSize(package.Items[1], 10);
  log = {};
  update = load();
  counts = RunUpdate(*update, log);
  EXPECT_EQ(counts.failed, 0);
  EXPECT_EQ(log.Lines().back(), "Update installed successfully !");
  EXPECT_TRUE(folder.Names().empty());
}

TEST_F(AllOrNothing, AJournalLeftByACrashIsFinishedOrUndone) {
  // Crashed after the commit point, between the two renames of lib.dll:
  // the original is aside, the new file still staged.
  for (bool committed : {true, false}) {
    WriteOld();
    JournalPlan plan;
    plan.identity = 1;  // another package's journal: dealt with all the same
    plan.entries = {{'R', folder / "lib.dll", folder / "~upk00000001.tmp", folder / "~upk00000002.old",
                     FileIdentity(folder / "lib.dll"), ""},
                    {'N', folder / "added.txt", folder / "~upk00000003.tmp", "", "", ""}};
    plan.staged = committed;
    test::WriteBytes(plan.entries[0].staged, new_lib);
    test::WriteText(plan.entries[1].staged, "new");
    for (JournalEntry& entry : plan.entries) entry.made = FileIdentity(entry.staged);
    if (committed) {
      ASSERT_TRUE(MoveFileA((folder / "lib.dll").c_str(), plan.entries[0].aside.c_str()));
    }
    std::string journal = FormatJournal(plan) + "und";  // a torn last line does not count
    test::WriteText(folder / kJournalName, journal);

    bool own = true;
    std::string name;
    EXPECT_EQ(RecoverJournal(folder.Path(), 2, {}, &own, &name), committed ? Recovery::kFinished : Recovery::kUndone);
    EXPECT_FALSE(own);
    EXPECT_EQ(test::ReadBytes(folder / "lib.dll"), committed ? new_lib : old_lib);
    EXPECT_EQ(test::Exists(folder / "added.txt"), committed);
    EXPECT_EQ(folder.Names().size(), committed ? 4u : 3u) << "no journal, staged or aside file left";
    DeleteFileA((folder / "added.txt").c_str());
  }
  test::WriteText(folder / kJournalName, "not a journal\n");
  bool own = false;
  std::string name;
  EXPECT_EQ(RecoverJournal(folder.Path(), 2, {}, &own, &name), Recovery::kRefused);
  EXPECT_FALSE(test::Exists(folder / kJournalName)) << "set aside";
  EXPECT_EQ(test::ReadBytes(name), Bytes({'n', 'o', 't', ' ', 'a', ' ', 'j', 'o', 'u', 'r', 'n', 'a', 'l', '\n'}));
}

TEST_F(AllOrNothing, AFileInUseWaitsForTheRestartAndASecondRunSaysSo) {
  HANDLE holder = CreateFileA((folder / "cfg.ini").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  UpdateCounts counts = Run();
  EXPECT_EQ(counts.failed, 0);
  EXPECT_EQ(counts.scheduled, 1);
  EXPECT_EQ(log.Lines()[3], "Updating [cfg.ini]  ...  OK, the file is in use and will be replaced when Windows restarts");
  EXPECT_EQ(log.Lines().back(), "Restart Windows to complete the update.");
  EXPECT_EQ(test::ReadBytes(folder / "cfg.ini"), old_cfg) << "replaced only at the restart";
  EXPECT_EQ(test::ReadBytes(folder / "lib.dll"), new_lib);
  EXPECT_TRUE(test::Exists(folder / kJournalName));

  counts = Run();
  EXPECT_EQ(counts.failed, 0);
  EXPECT_EQ(counts.scheduled, 1);
  EXPECT_EQ(log.Lines()[2], "The update completes when Windows restarts.");
  EXPECT_EQ(test::ReadBytes(folder / "cfg.ini"), old_cfg);
  CloseHandle(holder);
  test::ClearPendingRenames();
}

}  // namespace
}  // namespace upkit

namespace upkit {
namespace {

// Review fixes in the file handling shared by every package.
TEST(FileHandling, LeftoverTemporaryFilesGoUnlessHeldOrStillNeeded) {
  test::TempFolder folder;
  test::WriteText(folder / "app.txt", "old");
  for (const char* name : {"~upk0000abcd.tmp", "~upk0000abce.tmp", "~upk0000abcf.tmp", "~upk0000DEAD.tmp",
                           "~upk12.tmp", "~upk0000abcd.tmp.keep"}) {
    test::WriteText(folder / name, "left");
  }
  HANDLE held = CreateFileA((folder / "~upk0000abce.tmp").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  // A restart-time move still names one (as "\??\" + its full name).
  std::string pending = "\\??\\" + folder / "~upk0000abcf.tmp";
  pending += std::string("\0!\\??\\", 6) + folder / "app.txt" + std::string("\0\0", 2);
  ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager",
                            "PendingFileRenameOperations", REG_MULTI_SZ, pending.data(),
                            static_cast<DWORD>(pending.size())),
            ERROR_SUCCESS);

  TUpdateFile update;
  update.DefaultDir = folder.Path();
  update.Items = {MakeItem("app.txt", 3, {'n', 'e', 'w'})};
  test::RecordingLog log;
  RunUpdate(update, log);
  CloseHandle(held);
  test::ClearPendingRenames();
  std::vector<std::string> names = folder.Names();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"app.txt", "~upk0000DEAD.tmp", "~upk0000abcd.tmp.keep",
                                             "~upk0000abce.tmp", "~upk0000abcf.tmp", "~upk12.tmp"}));
}

TEST(FileHandling, FilesInUseAreTreatedAlikeAndRestartMovesOnlyOnLocalFixedVolumes) {
  test::TempFolder folder;
  Bytes old_file = Random(20000, 5), new_file = old_file;
  new_file[100] ^= 1;
  test::WriteBytes(folder / "lib.dll", old_file);
  test::WriteText(folder / "locked.txt", "x");
  TUpdateFile update;
  update.DefaultDir = folder.Path();
  TFileItem locked = MakeItem("locked.txt", 3, {'y'});
  locked.CheckCRC = 1;
  update.Items = {MakeItem("lib.dll", 6, pack::EncodeDelta(old_file, new_file)), locked};
  // The product holds its library open for reading, and another program
  // holds the text with no sharing at all.
  HANDLE reader = CreateFileA((folder / "lib.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE owner = CreateFileA((folder / "locked.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  test::RecordingLog log;
  UpdateCounts counts = RunUpdate(update, log);
  CloseHandle(reader);
  CloseHandle(owner);
  test::ClearPendingRenames();
  EXPECT_EQ(log.Lines()[2], "Updating [lib.dll]  ...  OK, the file is in use and will be replaced when Windows restarts");
  EXPECT_EQ(log.Lines()[3], "Updating [locked.txt]  ...  the file is in use by another program");
  EXPECT_EQ(counts.failed, 1);
  EXPECT_EQ(counts.scheduled, 1);

  EXPECT_TRUE(OnLocalFixedVolume(folder / "lib.dll"));
  EXPECT_FALSE(OnLocalFixedVolume("\\\\server\\share\\lib.dll"));
  // A SUBST drive: Windows moves files at boot before such drives exist.
  if (DefineDosDeviceA(0, "Q:", folder.Path().c_str())) {
    EXPECT_FALSE(OnLocalFixedVolume("Q:\\lib.dll"));
    DefineDosDeviceA(DDD_REMOVE_DEFINITION, "Q:", nullptr);
  } else {
    std::printf("note: no SUBST drive here; that case not run\n");
  }
}

}  // namespace
}  // namespace upkit

#include <sddl.h>

#include "install/item_check.h"

namespace upkit {
namespace {

std::string Journal(const std::string& lines) { return "upkit journal 2\npackage 00000001\n" + lines; }

// Journals a standard user could plant: none is carried out, each is set
// aside under a new name, and nothing outside the destination changes.
TEST_F(AllOrNothing, PlantedJournalsAreSetAsideAndChangeNothing) {
  test::TempFolder other;
  const std::string victim = other / "victim.txt";
  test::WriteText(victim, "victim");
  ASSERT_TRUE(CreateDirectoryA((other / "empty").c_str(), nullptr));
  test::WriteText(folder / "user.txt", "user");
  const std::string d = folder.Path(), id = FileIdentity(victim), cfg = FileIdentity(folder / "cfg.ini");
  const std::string other_name = other.Path().substr(other.Path().rfind('\\', other.Path().size() - 2) + 1);
  const std::string made = "\nmade 0 " + FileIdentity(folder / "user.txt") + "\nstaged\n";
  const std::vector<std::string> planted = {
      Journal("file D " + victim + "||" + other / "~upk00000001.old|" + id + "\nstaged\n"),            // outside
      Journal("file D " + d + "..\\" + other_name + "victim.txt||" + d + "~upk00000001.old|" + id + "\n"),  // ..
      Journal("file R " + victim + "|" + d + "user.txt|" + other / "~upk00000002.old|" + id + made),  // user's file in
      Journal("file R " + d + "cfg.ini|" + d + "user.txt|" + d + "~upk00000002.old|" + cfg + made),   // not a work name
      Journal("file D \\\\?\\" + victim + "||\\\\?\\" + other / "~upk00000001.old|" + id + "\n"),     // \\?\ name
      Journal("file D \\\\localhost\\C$" + victim.substr(2) + "||\\\\localhost\\C$" +
              (other / "~upk00000001.old|").substr(2) + id + "\n"),                                     // share
      Journal("file D " + d + "cfg.ini:x||" + d + "~upk00000001.old|" + cfg + "\n"),                    // stream
      Journal("folder " + other / "empty\nfile N " + d + "new.txt|" + d + "~upk00000003.tmp||\n"),     // folder
      Journal("file N " + d + "cfg.ini|" + d + "~upk00000003.tmp|" + d + "~upk00000004.old|\n"),        // wrong fields
      Journal("file X " + d + "cfg.ini|||" + cfg + "\n"),                                                // wrong kind
      Journal("file R " + d + "cfg.ini|" + d + "~upk00000001.tmp|" + victim + "|" + cfg + made + "undo\n"),  // undo
      Journal("staged\nrestart\n"),                                                                      // fake restart
      Journal("file R " + d + "cfg.ini|" + d + "~upk00000001.tmp|" + d + "~upk00000002.old|" + cfg +
              "\nstaged\n"),  // committed without the staged file's identity
      "upkit journal 1\npackage 00000001\nfile D " + victim + "||" + other / "~upk00000001.old\nstaged\n",  // old format
  };
  for (size_t i = 0; i < planted.size(); ++i) {
    test::WriteText(folder / kJournalName, planted[i]);
    bool own = true;
    std::string name;
    EXPECT_EQ(RecoverJournal(folder.Path(), 2, {}, &own, &name), Recovery::kRefused) << planted[i];
    EXPECT_EQ(test::ReadBytes(name), Bytes(planted[i].begin(), planted[i].end())) << "renamed whole: " << i;
    EXPECT_FALSE(test::Exists(folder / kJournalName)) << i;
    DeleteFileA(name.c_str());
  }
  EXPECT_EQ(test::ReadBytes(victim), Bytes({'v', 'i', 'c', 't', 'i', 'm'}));
  EXPECT_EQ(other.Names(), (std::vector<std::string>{"empty", "victim.txt"}));
  EXPECT_EQ(test::ReadBytes(folder / "user.txt"), Bytes({'u', 's', 'e', 'r'}));
  DeleteFileA((folder / "user.txt").c_str());
  ExpectOld();

  // A file the package itself names may lie outside; a journal with a
  // second name (a hard link a user made to it) is not trusted.
  const std::string outside = Journal("file D " + victim + "||" + other / "~upk00000001.old|" + id + "\nstaged\n");
  test::WriteText(folder / kJournalName, outside);
  bool own = true;
  std::string name;
  ASSERT_TRUE(CreateHardLinkA((other / "link").c_str(), (folder / kJournalName).c_str(), nullptr));
  EXPECT_EQ(RecoverJournal(folder.Path(), 2, {victim}, &own, &name), Recovery::kRefused);
  EXPECT_TRUE(test::Exists(victim));
  DeleteFileA((other / "link").c_str());
  ASSERT_TRUE(MoveFileA(name.c_str(), (folder / kJournalName).c_str()));
  EXPECT_EQ(RecoverJournal(folder.Path(), 2, {victim}, &own, &name), Recovery::kFinished);
  EXPECT_FALSE(test::Exists(victim));

  // In a run: a red line names the renamed journal, then the package is
  // installed as usual; a planted restart state never asks for a restart.
  test::WriteText(folder / kJournalName, Journal("staged\nrestart\n"));
  UpdateCounts counts = Run();
  EXPECT_EQ(counts.failed, 0);
  EXPECT_EQ(counts.scheduled, 0);
  const std::string line = log.Lines()[2];
  EXPECT_EQ(line.substr(0, line.find(':') + 2), "A journal this installer cannot trust was not carried out: ");
  EXPECT_EQ(line.substr(line.size() - 8), ".refused");
  EXPECT_EQ(log.runs[2].colour, kLogRed);
  EXPECT_TRUE(DeleteFileA(line.substr(line.find(": ") + 2).c_str()));
  ExpectNew();
}

// A name a user took before the run (here the aside's) is never moved over
// a product file: the rename fails, and the undo moves back only the file
// the journal set aside.
TEST_F(AllOrNothing, ATakenAsideNameIsNeitherReplacedNorMovedBack) {
  const std::string staged = folder / "~upk00000001.tmp", aside = folder / "~upk00000002.old";
  test::WriteBytes(staged, new_cfg);
  test::WriteText(aside, "planted");
  const std::string plan = Journal("file R " + folder / "cfg.ini|" + staged + "|" + aside + "|" +
                                   FileIdentity(folder / "cfg.ini") + "\nmade 0 " + FileIdentity(staged) +
                                   "\nstaged\n");
  for (const char* state : {"", "undo\n"}) {
    test::WriteText(folder / kJournalName, plan + state);
    bool own = true;
    std::string name;
    const Recovery recovery = RecoverJournal(folder.Path(), 2, {}, &own, &name);
    EXPECT_EQ(test::ReadBytes(folder / "cfg.ini"), old_cfg) << state;
    EXPECT_EQ(test::ReadBytes(aside), Bytes({'p', 'l', 'a', 'n', 't', 'e', 'd'})) << state;
    if (*state == 0) {
      EXPECT_EQ(recovery, Recovery::kStuck);
      EXPECT_TRUE(test::Exists(folder / kJournalName)) << "kept for a later run";
      DeleteFileA((folder / kJournalName).c_str());
    } else {
      EXPECT_EQ(recovery, Recovery::kUndone);
      EXPECT_FALSE(test::Exists(staged)) << "the run's own staged file goes";
    }
  }
}

// Past the commit point nothing is undone: a staged file that vanished is
// named and the run ends with an error, an original that cannot be deleted
// waits for the restart while the product stands NEW.
TEST_F(AllOrNothing, PastTheCommitPointAMissingFileIsNamedAndAnUndeletableOriginalWaits) {
  const std::string staged = folder / "~upk00000001.tmp", aside = folder / "~upk00000002.old";
  test::WriteBytes(staged, new_cfg);
  const std::string original = FileIdentity(folder / "cfg.ini"), made = FileIdentity(staged);
  const std::string plan = Journal("file R " + folder / "cfg.ini|" + staged + "|" + aside + "|" + original +
                                   "\nmade 0 " + made + "\nstaged\n");
  ASSERT_TRUE(DeleteFileA(staged.c_str()));  // a cleaner took it
  test::WriteText(folder / kJournalName, plan);
  UpdateCounts counts = Run();
  EXPECT_EQ(counts.failed, counts.items);
  EXPECT_EQ(log.Lines()[2], "the update's new file is missing: " + staged);
  EXPECT_EQ(log.Lines().back(), "An interrupted earlier update cannot be finished: its journal stays.");
  EXPECT_EQ(test::ReadBytes(folder / "cfg.ini"), old_cfg);

  // Every rename done; the original is held by a program, so it cannot go.
  test::WriteBytes(staged, new_cfg);
  ASSERT_TRUE(MoveFileA((folder / "cfg.ini").c_str(), aside.c_str()));
  const std::string moved = FileIdentity(staged);
  ASSERT_TRUE(MoveFileA(staged.c_str(), (folder / "cfg.ini").c_str()));
  test::WriteText(folder / kJournalName, Journal("file R " + folder / "cfg.ini|" + staged + "|" + aside + "|" +
                                                 original + "\nmade 0 " + moved + "\nstaged\n"));
  HANDLE holder = CreateFileA(aside.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  bool own = true;
  std::string name;
  EXPECT_EQ(RecoverJournal(folder.Path(), 2, {}, &own, &name), Recovery::kFinished);
  CloseHandle(holder);
  EXPECT_TRUE(QueuedForRestart(aside));
  test::ClearPendingRenames();
  EXPECT_EQ(test::ReadBytes(folder / "cfg.ini"), new_cfg);
  EXPECT_FALSE(test::Exists(folder / kJournalName));
}

// A restart state whose moves Windows does not have (a crash before they
// were asked for, a lost registry write) asks for them again, once; after
// that it ends with an error, and once the file is free it is finished now.
TEST_F(AllOrNothing, ARestartStateWithNothingQueuedAsksOnceThenStopsThenFinishes) {
  test::ClearPendingRenames();
  const std::string staged = folder / "~upk00000001.tmp";
  test::WriteBytes(staged, new_cfg);
  test::WriteText(folder / kJournalName, Journal("file r " + folder / "cfg.ini|" + staged + "||" +
                                                 FileIdentity(folder / "cfg.ini") + "\nmade 0 " +
                                                 FileIdentity(staged) + "\nstaged\nrestart\n"));
  HANDLE holder = CreateFileA((folder / "cfg.ini").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  bool own = true;
  std::string name;
  EXPECT_EQ(RecoverJournal(folder.Path(), 2, {}, &own, &name), Recovery::kWaitsForRestart);
  EXPECT_TRUE(QueuedForRestart(staged));
  EXPECT_EQ(RecoverJournal(folder.Path(), 2, {}, &own, &name), Recovery::kWaitsForRestart) << "queued: waits";
  test::ClearPendingRenames();  // a restart that did not replace the file
  EXPECT_EQ(RecoverJournal(folder.Path(), 2, {}, &own, &name), Recovery::kStuck);
  EXPECT_EQ(name, "Windows restarted without replacing " + folder / "cfg.ini");
  EXPECT_FALSE(QueuedForRestart(staged)) << "not asked for a third time";
  CloseHandle(holder);
  EXPECT_EQ(RecoverJournal(folder.Path(), 2, {}, &own, &name), Recovery::kFinished);
  EXPECT_EQ(test::ReadBytes(folder / "cfg.ini"), new_cfg);
  EXPECT_FALSE(test::Exists(folder / kJournalName));
}

// Wine shows no reparse points: the walk is tested with the attributes a
// junction would show.
TEST(Links, EveryFolderBelowTheDestinationAndTheFileAreAskedWithoutFollowing) {
  static std::vector<std::string> asked;
  static std::string link;
  auto attributes = [](const char* name) -> uint32_t {
    asked.push_back(name);
    if (std::string(name).size() > 12) return INVALID_FILE_ATTRIBUTES;  // below "C:\App\a\b\c": not made yet
    return name == link ? FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT : FILE_ATTRIBUTE_DIRECTORY;
  };
  link = "C:\\App\\a\\b";
  EXPECT_EQ(LinkOnTheWay("C:\\app\\", "C:\\App\\a\\b\\c.txt", attributes), "C:\\App\\a\\b");
  EXPECT_EQ(asked, (std::vector<std::string>{"C:\\App\\a", "C:\\App\\a\\b"}));
  asked.clear();
  link = "C:\\App";  // the destination itself may be a link
  EXPECT_EQ(LinkOnTheWay("C:\\App", "C:\\App\\a\\b\\c\\d\\e.txt", attributes), "");
  EXPECT_EQ(asked, (std::vector<std::string>{"C:\\App\\a", "C:\\App\\a\\b", "C:\\App\\a\\b\\c",
                                             "C:\\App\\a\\b\\c\\d"}));
  asked.clear();
  EXPECT_EQ(LinkOnTheWay("C:\\App", "C:\\Apps\\x.txt", attributes), "") << "not below: not walked";
  EXPECT_TRUE(asked.empty());
}

// Wine keeps no security descriptors of files: the journal's owner and
// rights check is tested on descriptors made here.
TEST(JournalTrust, OnlySystemAdministratorsAndThisProcessOwnerMaySteerIt) {
  auto trusted = [](const char* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr));
    const bool result = JournalSecurityTrusted(descriptor);
    LocalFree(descriptor);
    return result;
  };
  EXPECT_TRUE(trusted("O:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)"));
  EXPECT_TRUE(trusted("O:BAD:(A;;FA;;;SY)(A;;FR;;;BU)(D;;FA;;;WD)(A;OICIIO;FA;;;BU)"));  // read, deny, inherit-only
  EXPECT_FALSE(trusted("O:BUD:P(A;;FA;;;SY)"));        // owned by Users
  EXPECT_FALSE(trusted("O:S-1-5-21-1-2-3-1001D:P(A;;FA;;;SY)"));  // owned by another user
  EXPECT_FALSE(trusted("O:BAD:(A;;FW;;;BU)"));          // Users may write
  EXPECT_FALSE(trusted("O:BAD:(A;;0x4;;;AU)"));         // append
  EXPECT_FALSE(trusted("O:BAD:(A;;SD;;;WD)"));          // delete
  EXPECT_FALSE(trusted("O:BAD:(A;;WD;;;IU)"));          // WRITE_DAC
  EXPECT_FALSE(trusted("O:BAD:(A;;GA;;;S-1-5-21-1-2-3-1001)"));
  EXPECT_FALSE(trusted("O:BA"));                         // no DACL: anyone may do anything
  // A DACL that is there but null: anyone may do anything.
  SECURITY_DESCRIPTOR null_dacl;
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof admins;
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size));
  InitializeSecurityDescriptor(&null_dacl, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorOwner(&null_dacl, admins, FALSE);
  SetSecurityDescriptorDacl(&null_dacl, TRUE, nullptr, FALSE);
  EXPECT_FALSE(JournalSecurityTrusted(&null_dacl));
  SetSecurityDescriptorDacl(&null_dacl, FALSE, nullptr, FALSE);
  EXPECT_FALSE(JournalSecurityTrusted(&null_dacl));
}

}  // namespace
}  // namespace upkit
