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
#include "install/journal.h"
#include "install/results_log.h"
#include "package/update_file.h"

namespace upkit {

// An identity of the package's items (names, paths, actions, sizes and
// checks), to tell the journal of this package from another's.
uint32_t PackageIdentity(const TUpdateFile& update);

// The full names of the files `update`'s items name (and their deltas' base
// files), as RecoverJournal takes them.
std::vector<std::string> PackageTargets(const TUpdateFile& update);

// How a journal left in the destination folder was dealt with.
enum class Recovery {
  kNone,              // no journal
  kFinished,          // an interrupted update was finished
  kUndone,            // an interrupted update was undone
  kWaitsForRestart,   // its in-use files are replaced only when Windows restarts
  kUnreadable,        // a journal that cannot be read (another run holds it): left alone
  kRefused,           // a journal this run cannot trust: renamed to *name, not carried out
  kRefusedKept,       // the same, but it could not be renamed: left alone
  kStuck,             // cannot be finished: *name says which file is missing or waits
};

// Finishes or undoes the update of a journal in `destination`, whichever
// package wrote it (*own says whether it was `identity`), once the journal
// is trusted (JournalTrusted) and sound (JournalIsSound, with
// `package_targets` the full names of the files the package being run
// names). *name receives the file a kRefused, kRefusedKept or kStuck line
// names. Raises nothing.
Recovery RecoverJournal(const std::string& destination, uint32_t identity,
                        const std::vector<std::string>& package_targets, bool* own, std::string* name);

// True when the security descriptor `descriptor` (owner and DACL) of a
// journal lets nobody steer this run: it is owned by SYSTEM, Administrators
// or the owner this process gives its own files, and grants no one else
// write, append, delete, WRITE_DAC or WRITE_OWNER. A missing DACL grants
// everything.
bool JournalSecurityTrusted(const void* descriptor);

// The file identity (journal.h) of `name` itself, never of what a link
// points to: empty when it cannot be opened, "link" for a reparse point.
std::string FileIdentity(const std::string& name);

// Runs an all-or-nothing update of `update` (after RecoverJournal), writing
// the item lines and the closing lines to `log`.
UpdateCounts RunAllOrNothing(TUpdateFile& update, ResultsLog& log);

}  // namespace upkit
