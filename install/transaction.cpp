#include "install/transaction.h"

#include <windows.h>

#include <cstring>
#include <new>

#include "codec/crc32.h"
#include "codec/error.h"
#include "install/actions.h"
#include "install/alternative_choice.h"
#include "install/delta_action.h"
#include "install/file_install.h"
#include "install/item_check.h"
#include "install/win32_error.h"
#include "install/win32_handle.h"
#include "package/item_lists.h"
#include "texts/texts.h"

namespace upkit {

namespace {

constexpr char kJournalHead[] = "upkit journal 1";

std::string_view Pick(const TextPair& pair) { return PickText(pair); }

constexpr char kHex[] = "0123456789ABCDEF";

std::string Hex32(uint32_t value) {
  std::string text(8, '0');
  for (int i = 7; i >= 0; --i, value >>= 4) text[static_cast<size_t>(i)] = kHex[value & 15];
  return text;
}

bool Exists(const std::string& path) {
  return !path.empty() && ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Every move is written through: when it returns, the rename is on disk.
void Move(const std::string& from, const std::string& to) {
  if (!::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    RaiseLastSystemError();
  }
}

// Deletes a file of ours, read-only or not; a missing one is no failure.
void Remove(const std::string& path) {
  if (path.empty() || ::DeleteFileA(path.c_str())) return;
  DWORD code = ::GetLastError();
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return;
  ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!::DeleteFileA(path.c_str())) RaiseLastSystemError();
}

// The journal file: written once with the plan, then appended to; each
// write is flushed before the step it announces.
class Journal {
 public:
  explicit Journal(std::string path) : path_(std::move(path)) {}

  void Create(const JournalPlan& plan) {
    Open(CREATE_ALWAYS);
    Write(FormatJournal(plan));
  }
  // Continues a journal found on disk (OPEN_EXISTING), or starts one.
  void Open(DWORD disposition) {
    file_.Reset(::CreateFileA(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) RaiseLastSystemError();
    if (::SetFilePointer(file_.Get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
        ::GetLastError() != NO_ERROR) {
      RaiseLastSystemError();
    }
  }
  // `state` with its line end.
  void Append(const char* state) { Write(state); }
  void Delete() {
    file_.Reset();
    Remove(path_);
  }
  void Close() { file_.Reset(); }
  const std::string& Path() const { return path_; }

 private:
  void Write(std::string_view text) {
    WriteAll(file_.Get(), text.data(), text.size());
    FlushToDisk(file_.Get());
  }
  std::string path_;
  FileHandle file_;
};

bool Deferred(const JournalEntry& entry) { return entry.kind == 'r' || entry.kind == 'd'; }

// Step 5 for one entry, decided from which files exist: can be repeated.
void CommitEntry(const JournalEntry& entry) {
  switch (entry.kind) {
    case 'R':
      if (!Exists(entry.staged)) return;  // done
      if (Exists(entry.target) && !Exists(entry.aside)) Move(entry.target, entry.aside);
      Move(entry.staged, entry.target);
      return;
    case 'N':
      if (Exists(entry.staged)) Move(entry.staged, entry.target);
      return;
    case 'D':
      if (Exists(entry.target) && !Exists(entry.aside)) Move(entry.target, entry.aside);
      return;
    default:
      return;  // 'r', 'd': at restart
  }
}

// Step U for one entry; `committed`: the commit point was passed, so a new
// file's target without its staged file is ours.
void UndoEntry(const JournalEntry& entry, bool committed) {
  if (Exists(entry.aside)) Move(entry.aside, entry.target);
  if (entry.kind == 'N' && committed && !Exists(entry.staged) && Exists(entry.target)) Remove(entry.target);
  Remove(entry.staged);
}

void RemoveFolders(const JournalPlan& plan) {
  for (size_t i = plan.folders.size(); i-- > 0;) ::RemoveDirectoryA(plan.folders[i].c_str());
}

void Undo(const JournalPlan& plan, Journal& journal) {
  for (size_t i = plan.entries.size(); i-- > 0;) UndoEntry(plan.entries[i], plan.staged);
  RemoveFolders(plan);
  journal.Delete();
}

// Step 7: the originals go (copied to ".bak" first when asked).
void RemoveAsides(const JournalPlan& plan, bool backup) {
  for (const JournalEntry& entry : plan.entries) {
    if (!Exists(entry.aside)) continue;
    if (backup) ::CopyFileA(entry.aside.c_str(), (entry.target + text::kBackupSuffix).c_str(), FALSE);
    Remove(entry.aside);
  }
}

// Steps 5 to 7 from wherever they stopped. Returns the number of entries
// left for the restart (the journal then stays).
int32_t Finish(JournalPlan& plan, Journal& journal, bool backup) {
  for (const JournalEntry& entry : plan.entries) CommitEntry(entry);
  int32_t deferred = 0;
  for (const JournalEntry& entry : plan.entries) deferred += Deferred(entry);
  if (deferred != 0 && !plan.restart) {
    journal.Append("restart\n");
    plan.restart = true;
    for (const JournalEntry& entry : plan.entries) {
      if (entry.kind == 'r') ScheduleAtRestart(entry.staged, entry.target);
    }
    for (const JournalEntry& entry : plan.entries) {
      if (entry.kind == 'd') ScheduleAtRestart(entry.target, std::string());
    }
    // The journal goes after the files it names.
    journal.Close();
    ScheduleAtRestart(journal.Path(), std::string());
  }
  RemoveAsides(plan, backup);
  if (deferred == 0) journal.Delete();
  return deferred;
}

// True while Windows has not yet carried out the restart-time moves.
bool RestartPending(const JournalPlan& plan) {
  for (const JournalEntry& entry : plan.entries) {
    if (entry.kind == 'r' && Exists(entry.staged)) return true;
    if (entry.kind == 'd' && Exists(entry.target)) return true;
  }
  return false;
}

bool ReadWhole(const std::string& path, std::string* text) {
  FileHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size;
  if (!file || !::GetFileSizeEx(file.Get(), &size) || size.QuadPart > (64 << 20)) return false;
  text->assign(static_cast<size_t>(size.QuadPart), '\0');
  DWORD got = 0;
  return text->empty() ||
         (::ReadFile(file.Get(), text->data(), static_cast<DWORD>(text->size()), &got, nullptr) &&
          got == text->size());
}

// A name in `folder` that nothing holds yet: "~upk" + 8 hex digits +
// `extension`.
std::string FreeNameIn(const std::string& folder, const char* extension, uint32_t* serial) {
  for (;;) {
    std::string name = folder + TempFileName(16, (*serial)++);
    name.replace(name.size() - 4, 4, extension);
    if (!Exists(name)) return name;
  }
}

// The folders down to `folder` (ending in "\\") that do not exist, outermost
// first.
void AddMissingFolders(const std::string& folder, std::vector<std::string>* folders) {
  // Each folder below the nearest existing one, down to `folder`; a drive's
  // root is never one.
  size_t end = ExistingFolderOf(folder).size();
  for (end = end > 3 ? end : 3; (end = folder.find('\\', end)) != std::string::npos; ++end) {
    std::string missing = folder.substr(0, end);
    bool known = false;
    for (const std::string& f : *folders) known = known || f == missing;
    if (!known) folders->push_back(std::move(missing));
  }
}

// Writes the item's complete new file through `file` (the staged file,
// created with read and write access). Resource updates work on a name: the
// original's copy is closed, rewritten by name and flushed again.
// A delta reads `base` (its BaseName's full name) when that is not empty.
void StageContent(TFileItem& item, const JournalEntry& entry, const std::string& base, FileHandle& file,
                  ResultsLog& log) {
  switch (item.Action) {
    case 1:
      CopyContent(entry.target, file.Get());
      file.Reset();  // flushed once rewritten, below
      WriteResourceList(entry.staged, item, log);
      file.Reset(::CreateFileA(entry.staged.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!file) RaiseLastSystemError();
      break;
    case 2:
      CopyContent(entry.target, file.Get());
      ApplyPatchTo(file.Get(), ReadPatchList(item.Data.data(), static_cast<size_t>(item.DataSize)));
      break;
    case 3:
      WriteAll(file.Get(), item.Data.data(), ReplaceSize(item));
      break;
    case 6:
      RebuildDelta(base.empty() ? entry.target : base, item, file.Get());
      break;
    default:
      break;
  }
  FlushToDisk(file.Get());
  file.Reset();
}

// After a failure: the red line, everything undone, the closing line.
// What cannot be undone now (a file locked meanwhile) stays in the journal
// for the next run to undo.
UpdateCounts Undone(ResultsLog& log, JournalPlan& plan, Journal& journal, const std::string& line, int32_t count) {
  log.AppendLogLine(line, kLogRed);
  const TextPair* closing = &text::kUpdateUndone;
  try {
    if (plan.undo) journal.Append("undo\n");
    Undo(plan, journal);
  } catch (const std::exception&) {
    closing = &text::kUpdateStoppedPartWay;
  }
  return CloseEarly(log, *closing, kLogRed, {count, 1, 0});
}

}  // namespace

std::string JournalPath(const std::string& destination) {
  const bool ends_folder = !destination.empty() && destination.back() == '\\';
  return JoinText({destination, ends_folder ? "" : "\\", kJournalName});
}

std::string FormatJournal(const JournalPlan& plan) {
  std::string text = JoinText({kJournalHead, "\npackage ", Hex32(plan.identity), "\n"});
  for (const std::string& folder : plan.folders) text += JoinText({"folder ", folder, "\n"});
  for (const JournalEntry& e : plan.entries) {
    const char kind[] = {e.kind, ' ', 0};
    text += JoinText({"file ", kind, e.target, "|", e.staged, "|", e.aside, "\n"});
  }
  if (plan.staged) text += "staged\n";
  if (plan.restart) text += "restart\n";
  if (plan.undo) text += "undo\n";
  return text;
}

bool ParseJournal(const std::string& text, JournalPlan* plan) {
  size_t at = 0;
  bool head = false;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    std::string line = text.substr(at, end - at);
    if (!head) {
      if (line != kJournalHead) return false;
      head = true;
    } else if (line.rfind("package ", 0) == 0 && line.size() == 16) {
      for (size_t k = 8; k < 16; ++k) {
        char c = line[k];
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0) return false;
        plan->identity = plan->identity << 4 | static_cast<uint32_t>(digit);
      }
    } else if (line.rfind("folder ", 0) == 0) {
      plan->folders.push_back(line.substr(7));
    } else if (line.rfind("file ", 0) == 0 && line.size() > 7 && line[6] == ' ') {
      JournalEntry entry;
      entry.kind = line[5];
      size_t bar1 = line.find('|', 7), bar2 = bar1 == std::string::npos ? bar1 : line.find('|', bar1 + 1);
      if (bar2 == std::string::npos || std::string("RNDrd").find(entry.kind) == std::string::npos) return false;
      entry.target = line.substr(7, bar1 - 7);
      entry.staged = line.substr(bar1 + 1, bar2 - bar1 - 1);
      entry.aside = line.substr(bar2 + 1);
      plan->entries.push_back(std::move(entry));
    } else if (line == "staged") {
      plan->staged = true;
    } else if (line == "restart") {
      plan->restart = true;
    } else if (line == "undo") {
      plan->undo = true;
    } else {
      return false;
    }
  }
  // A journal cut short before its plan was complete (even an empty file)
  // is one whose update never staged anything: it reads as such.
  return true;
}

uint32_t PackageIdentity(const TUpdateFile& update) {
  uint32_t crc = 0;
  for (const TFileItem& item : update.Items) {
    const int32_t numbers[] = {item.Action, item.DataSize, item.Size, item.CRC, item.NewSize, item.NewCRC};
    for (const std::string* text : {&item.Path, &item.OriginName}) {
      crc = Crc32Update(crc, text->data(), static_cast<uint32_t>(text->size() + 1));  // with its terminator
    }
    crc = Crc32Update(crc, numbers, sizeof numbers);
  }
  return crc;
}

Recovery RecoverJournal(const std::string& destination, uint32_t identity, bool* own) {
  *own = false;
  Journal journal(JournalPath(destination));
  std::string text;
  if (!Exists(journal.Path())) return Recovery::kNone;
  JournalPlan plan;
  if (!ReadWhole(journal.Path(), &text) || !ParseJournal(text, &plan)) return Recovery::kUnreadable;
  *own = plan.identity == identity;
  try {
    if (plan.restart) {
      RemoveAsides(plan, false);
      if (RestartPending(plan)) return Recovery::kWaitsForRestart;
      // Windows has carried out the moves; only the journal may be left.
      journal.Delete();
      return Recovery::kFinished;
    }
    journal.Open(OPEN_EXISTING);
    if (plan.staged && !plan.undo) {
      Finish(plan, journal, false);
      return plan.restart ? Recovery::kWaitsForRestart : Recovery::kFinished;
    }
    Undo(plan, journal);
    return Recovery::kUndone;
  } catch (const std::exception&) {
    return Recovery::kUnreadable;
  }
}

UpdateCounts RunAllOrNothing(TUpdateFile& update, ResultsLog& log) {
  const int32_t count = static_cast<int32_t>(update.Items.size());
  // Of the items as loaded: choosing alternatives below rewrites them.
  const uint32_t identity = PackageIdentity(update);
  // Per item: its file, its check, its journal entry, and the bytes its
  // volume needs when it is the first item on that volume.
  struct Step {
    std::string name;
    std::string base;  // a delta's other base file, when it names one
    ItemCheck check;
    int entry = -1;
    std::string volume;
    uint64_t volume_bytes = 0;
    bool first_on_volume = false;
  };
  std::vector<Step> steps(update.Items.size());

  // Step 1: check every item; nothing is written.
  int32_t failed = 0;
  for (int32_t i = 0; i < count; ++i) {
    TFileItem& item = update.Items[static_cast<size_t>(i)];
    log.SetProgressPosition(i);
    log.MarkForRepaint();
    Step& step = steps[static_cast<size_t>(i)];
    step.name = FullFileName(update.DefaultDir, item);
    if (item.Action == 6 && !item.BaseName.empty())
      step.base = FullFileName(update.DefaultDir, item.BasePath, item.BaseName);
    try {
      if (!AlternativeDecides(step.name, item, &step.check)) {
        ItemDataInUse data(update, item);
        CheckItem(step.name, item, &step.check, step.base);
      }
    } catch (const std::exception& error) {
      step.check.state = ItemReadiness::kFailed;
      step.check.reason = JoinText({Pick(text::kSkipped), error.what()});
    }
    failed += step.check.state == ItemReadiness::kFailed;
  }

  // The plan, and the free space it needs on each volume.
  JournalPlan plan;
  plan.identity = identity;
  uint32_t serial = ::GetTickCount() ^ (::GetCurrentProcessId() << 16);
  for (int32_t i = 0; i < count && failed == 0; ++i) {
    const TFileItem& item = update.Items[static_cast<size_t>(i)];
    Step& step = steps[static_cast<size_t>(i)];
    const ItemCheck& check = step.check;
    if (check.state != ItemReadiness::kReady) continue;
    JournalEntry entry;
    entry.target = step.name;
    const std::string folder = FolderPart(entry.target);
    if (item.Action == 4) {
      entry.kind = check.in_use ? 'd' : 'D';
    } else if (item.Action == 1 || item.Action == 2 || item.Action == 3 || item.Action == 6) {
      entry.kind = check.in_use ? 'r' : (check.exists ? 'R' : 'N');
      RemoveLeftoverTempFiles(folder);
      entry.staged = FreeNameIn(folder, ".tmp", &serial);
      AddMissingFolders(folder, &plan.folders);
      char volume[MAX_PATH] = {};
      if (::GetVolumePathNameA(folder.empty() ? "." : folder.c_str(), volume, MAX_PATH)) {
        step.volume = volume;
        Step* first = steps.data();
        while (first->volume != step.volume) ++first;
        first->first_on_volume = true;
        first->volume_bytes += check.new_size;
      }
    } else {
      continue;
    }
    if (entry.kind == 'R' || entry.kind == 'D') entry.aside = FreeNameIn(folder, ".old", &serial);
    step.entry = static_cast<int>(plan.entries.size());
    plan.entries.push_back(std::move(entry));
    if (check.base_goes) {  // the base of a delta goes with the rest, after its file is made
      JournalEntry base{check.base_in_use ? 'd' : 'D', step.base, std::string(), std::string()};
      if (base.kind == 'D') base.aside = FreeNameIn(FolderPart(base.target), ".old", &serial);
      plan.entries.push_back(std::move(base));
    }
  }
  std::string space_failure;
  for (const Step& step : steps) {
    const uint64_t bytes = step.volume_bytes;
    if (!step.first_on_volume) continue;
    const std::string& volume = step.volume;
    ULARGE_INTEGER free_bytes;
    // A margin for the journal and the file system's own records.
    if (::GetDiskFreeSpaceExA(volume.c_str(), &free_bytes, nullptr, nullptr) &&
        free_bytes.QuadPart < bytes + (1u << 20)) {
      space_failure = JoinText({Pick(text::kNotEnoughSpace), volume, Pick(text::kNeed),
                                std::to_string(static_cast<int32_t>((bytes >> 20) + 1)), " MiB"});
    }
  }

  if (failed != 0 || !space_failure.empty()) {
    for (int32_t i = 0; i < count; ++i) {
      const ItemCheck& check = steps[static_cast<size_t>(i)].check;
      if (check.state != ItemReadiness::kFailed) continue;
      LogItemLead(log, update.Items[static_cast<size_t>(i)]);
      log.AppendLogLine(check.reason, kLogRed);
    }
    if (!space_failure.empty()) log.AppendLogLine(space_failure, kLogRed);
    return CloseEarly(log, text::kNoFileChanged, kLogRed, {count, failed != 0 ? failed : count, 0});
  }

  // Steps 2 and 3: the plan on disk, then every new file staged.
  Journal journal(JournalPath(update.DefaultDir));
  int32_t i = 0;
  try {
    journal.Create(plan);
    for (const std::string& folder : plan.folders) CreateFolders(folder);
    for (i = 0; i < count; ++i) {
      TFileItem& item = update.Items[static_cast<size_t>(i)];
      LogItemLead(log, item);
      log.SetProgressPosition(i);
      log.MarkForRepaint();
      const Step& step = steps[static_cast<size_t>(i)];
      const TextPair* after_ok = nullptr;
      if (step.check.state == ItemReadiness::kUpToDate) after_ok = &text::kAlreadyUpToDate;
      if (step.entry >= 0) {
        const JournalEntry& entry = plan.entries[static_cast<size_t>(step.entry)];
        if (!entry.staged.empty()) {
          ItemDataInUse data(update, item);
          FileHandle file(::CreateFileA(entry.staged.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
          if (!file) RaiseLastSystemError();
          StageContent(item, entry, step.base, file, log);
        }
        if (Deferred(entry)) after_ok = entry.kind == 'd' ? &text::kDeletedAtRestart : &text::kReplacedAtRestart;
      }
      log.AppendLogLine(after_ok ? JoinText({text::kOk, ", ", Pick(*after_ok)}) : std::string(text::kOk), kLogWhite);
    }
  } catch (const std::bad_alloc&) {
    return Undone(log, plan, journal, JoinText({Pick(text::kSkipped), kOutOfMemory}), count);
  } catch (const std::exception& error) {
    return Undone(log, plan, journal, JoinText({Pick(text::kSkipped), error.what()}), count);
  }

  // Steps 4 to 7: the commit point, then the commit.
  int32_t deferred = 0;
  try {
    journal.Append("staged\n");
    plan.staged = true;
    deferred = Finish(plan, journal, BackupOption());
  } catch (const std::exception& error) {
    if (!plan.restart) {
      plan.undo = true;
      return Undone(log, plan, journal, error.what(), count);
    }
    log.AppendLogLine(error.what(), kLogRed);
  }

  // Only once the update stands: the items that open a file.
  int32_t open_failed = 0;
  for (int32_t k = 0; k < count; ++k) {
    TFileItem& item = update.Items[static_cast<size_t>(k)];
    if (item.Action != 5 || steps[static_cast<size_t>(k)].check.state != ItemReadiness::kReady) continue;
    try {
      OpenWithShell(steps[static_cast<size_t>(k)].name);
    } catch (const std::exception& error) {
      LogItemLead(log, item);
      log.AppendLogLine(JoinText({Pick(text::kSkipped), error.what()}), kLogRed);
      ++open_failed;
    }
  }
  // The closing line agrees with the exit code: not every item ended "OK".
  return CloseRun(log, {count, open_failed, deferred});
}

}  // namespace upkit
