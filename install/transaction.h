// All-or-nothing updates: the update as one transaction. Every item is
// checked first (install/item_check.h); then every new file is staged beside
// its target, the originals are renamed aside, the staged files renamed in,
// and only when all of that has worked are the originals deleted. Any
// failure on the way undoes everything. A journal in the destination folder
// lets a later run finish or undo an update that a kill or a power cut
// interrupted. docs/all-or-nothing.md gives the protocol step by step and
// what a crash at each step leaves.
//
// The actions still produce one file each; this module decides where they
// write and when anything becomes visible.
// Win32 only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "install/item_report.h"
#include "install/results_log.h"
#include "package/update_file.h"

namespace upkit {

// The journal's file name in the destination folder.
inline constexpr const char kJournalName[] = "~upkit.journal";

// The journal's full name for the destination folder `destination`.
std::string JournalPath(const std::string& destination);

// One file the update changes. Kinds: 'R' replace an existing file, 'N' a
// new file, 'D' delete; 'r' and 'd' the same for a file in use, done by
// Windows at restart. An item may have several entries.
struct JournalEntry {
  char kind = 'R';
  std::string target;  // full file name
  std::string staged;  // the new content, beside the target ('R', 'N', 'r')
  std::string aside;   // the original, renamed ('R', 'D')
};

// What the journal holds: the plan, then how far the update got.
struct JournalPlan {
  uint32_t identity = 0;             // PackageIdentity of the package that wrote it
  std::vector<std::string> folders;  // folders the update creates, outermost first
  std::vector<JournalEntry> entries;
  bool staged = false;   // past the commit point: finish, do not undo
  bool restart = false;  // the in-use entries wait for Windows' restart
  bool undo = false;     // being undone
};

// The journal's text for `plan` (plan lines and state lines), and back.
// ParseJournal fills an empty plan and takes only lines ended by LF; false when a complete line is
// not one of a journal of this version. A journal cut short while its plan
// was written (also an empty one) reads as a plan not yet staged.
std::string FormatJournal(const JournalPlan& plan);
bool ParseJournal(const std::string& text, JournalPlan* plan);

// An identity of the package's items (names, paths, actions, sizes and
// checks), to tell the journal of this package from another's.
uint32_t PackageIdentity(const TUpdateFile& update);

// How a journal left in the destination folder was dealt with.
enum class Recovery {
  kNone,              // no journal
  kFinished,          // an interrupted update was finished
  kUndone,            // an interrupted update was undone
  kWaitsForRestart,   // its in-use files are replaced only when Windows restarts
  kUnreadable,        // a journal that cannot be read or carried out: left alone
};

// Finishes or undoes the update of a journal in `destination`, whichever
// package wrote it (*own says whether it was `identity`). Raises nothing.
Recovery RecoverJournal(const std::string& destination, uint32_t identity, bool* own);

// Runs an all-or-nothing update of `update` (after RecoverJournal), writing
// the item lines and the closing lines to `log`.
UpdateCounts RunAllOrNothing(TUpdateFile& update, ResultsLog& log);

}  // namespace upkit
