#include "install/engine.h"

#include <windows.h>

#include <cstdint>
#include <new>
#include <vector>

#include "codec/crc32.h"
#include "codec/error.h"
#include "install/actions.h"
#include "install/alternative_choice.h"
#include "install/file_install.h"
#include "install/item_check.h"
#include "install/transaction.h"
#include "install/win32_error.h"
#include "install/win32_handle.h"
#include "texts/texts.h"

namespace upkit {

namespace {

// The text of the current language, as a string that can be concatenated.
std::string Pick(const TextPair& pair) { return PickText(pair); }

// An existing file; a folder of that name counts as missing.
bool FileExists(const std::string& file_name) {
  DWORD attributes = ::GetFileAttributesA(file_name.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

class ItemRun {
 public:
  ItemRun(TUpdateFile& update, ResultsLog& log) : update_(update), log_(log) {}

  // Applies one item; returns true when it ended "OK" (now, or at the next
  // restart of Windows).
  bool Apply(const std::string& file_name, TFileItem& item, const std::string& base_file) {
    if (!item.Alternatives.list.empty()) {
      AlternativeChoice choice = ChooseAlternative(file_name, item);
      if (choice == AlternativeChoice::kNoKnownRelease) return Fail(Pick(text::kNoKnownRelease));
      if (choice == AlternativeChoice::kAlreadyNew) {
        log_.AppendLogLine(std::string(text::kOk) + ", " + Pick(text::kAlreadyUpToDate), kLogWhite);
        return true;
      }
    }
    const bool file_exists = FileExists(file_name);
    std::string failure = BasicCheckFailure(file_name, item);
    if (!failure.empty()) return Fail(failure);
    CleanFolderOnce(FolderPart(file_name));
    // A file whose backup cannot be made is left alone; so is the base a
    // delta deletes once it has made its file.
    const bool base_goes = !base_file.empty() && item.BaseMoves == 1 && FileExists(base_file);
    for (const std::string* backed : {&file_name, &base_file}) {
      if (!BackupOption() || !(backed == &file_name ? file_exists : base_goes)) continue;
      std::string backup = *backed + text::kBackupSuffix;
      if (!::CopyFileA(backed->c_str(), backup.c_str(), FALSE)) {
        DWORD code = ::GetLastError();
        std::string message = SystemMessage(code);
        return Fail(Pick(text::kSkipped) + (message.empty() ? SystemErrorText(code) : message));
      }
    }
    PlaceOutcome outcome = PlaceOutcome::kPlaced;
    try {
      // The payload exists only while its own action runs.
      ItemDataInUse data(update_, item);
      outcome = PerformAction(file_name, item, log_, base_file);
    } catch (const std::bad_alloc&) {
      return Fail(Pick(text::kSkipped) + std::string(kOutOfMemory));
    } catch (const std::exception& failure) {
      return Fail(Pick(text::kSkipped) + failure.what());
    }
    if (outcome == PlaceOutcome::kScheduledForRestart) {
      ++scheduled_;
      const TextPair& when = item.Action == 4 ? text::kDeletedAtRestart : text::kReplacedAtRestart;
      log_.AppendLogLine(std::string(text::kOk) + ", " + Pick(when), kLogWhite);
      return true;
    }
    log_.AppendLogLine(text::kOk, kLogWhite);
    return true;
  }

  int32_t Scheduled() const { return scheduled_; }

 private:
  // Temporary files an interrupted run left beside the files we touch.
  void CleanFolderOnce(std::string folder) {
    for (const std::string& done : cleaned_) {
      if (done == folder) return;
    }
    RemoveLeftoverTempFiles(folder);
    cleaned_.push_back(std::move(folder));
  }

  bool Fail(const std::string& line) {
    log_.AppendLogLine(line, kLogRed);
    return false;
  }

  TUpdateFile& update_;
  ResultsLog& log_;
  int32_t scheduled_ = 0;
  std::vector<std::string> cleaned_;
};

}  // namespace

UpdateCounts RunUpdate(TUpdateFile& update, ResultsLog& log) {
  const int32_t count = static_cast<int32_t>(update.Items.size());
  log.AppendLogLine(Pick(text::kUpdateFileCount) + std::to_string(count), kLogWhite);
  log.AppendLogLine("", kLogWhite);
  log.PaintNow();
  log.MarkForRepaint();

  // An update a kill or a power cut interrupted is finished or undone first.
  bool own = false;
  switch (RecoverJournal(update.DefaultDir, PackageIdentity(update), &own)) {
    case Recovery::kNone:
      break;
    case Recovery::kFinished:
      log.AppendLogLine(Pick(text::kPreviousFinished), kLogWhite);
      break;
    case Recovery::kUndone:
      log.AppendLogLine(Pick(text::kPreviousUndone), kLogWhite);
      break;
    case Recovery::kWaitsForRestart:
      log.AppendLogLine(Pick(text::kCompletesAtRestart), kLogWhite);
      if (own) return CloseEarly(log, text::kRestartNeeded, kLogWhite, {count, 0, 1});
      return CloseEarly(log, text::kNoFileChanged, kLogRed, {count, count, 0});
    case Recovery::kUnreadable:
      log.AppendLogLine(Pick(text::kJournalUnreadable) + JournalPath(update.DefaultDir),
                        kLogRed);
      return CloseEarly(log, text::kNoFileChanged, kLogRed, {count, count, 0});
  }
  if (update.AllOrNothing) return RunAllOrNothing(update, log);

  ItemRun run(update, log);
  int32_t failed = 0;
  for (int32_t i = 0; i < count; ++i) {
    TFileItem& item = update.Items[static_cast<size_t>(i)];
    LogItemLead(log, item);
    log.SetProgressPosition(i);
    log.MarkForRepaint();
    std::string base_file;
    if (item.Action == 6 && !item.BaseName.empty())
      base_file = FullFileName(update.DefaultDir, item.BasePath, item.BaseName);
    if (!run.Apply(FullFileName(update.DefaultDir, item), item, base_file)) ++failed;
  }

  return CloseRun(log, {count, failed, run.Scheduled()});
}

}  // namespace upkit
