// The all-or-nothing journal as text: its records, how they are written and
// read, and the checks a journal must pass before any of it is carried out.
// Portable (no file access), so that the reader and its checks can be
// fuzzed natively; install/transaction.h carries journals out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace upkit {

// The journal's file name in the destination folder.
inline constexpr const char kJournalName[] = "~upkit.journal";

// The journal's full name for the destination folder `destination`.
std::string JournalPath(const std::string& destination);

// One file the update changes. Kinds: 'R' replace an existing file, 'N' a
// new file, 'D' delete; 'r' and 'd' the same for a file in use, done by
// Windows at restart. An item may have several entries.
//
// File identities (`original`, `made`) are 24 hexadecimal digits: the
// volume's serial number and the file's index on it, which stay with a file
// through every rename on its volume.
struct JournalEntry {
  char kind = 'R';
  std::string target;    // full file name
  std::string staged;    // the new content, beside the target ('R', 'N', 'r')
  std::string aside;     // the original, renamed ('R', 'D')
  std::string original;  // identity of the target as checked ('R', 'D', 'r', 'd')
  std::string made;      // identity of the staged file this run created (its "made" line)
};

// What the journal holds: the plan, then how far the update got.
struct JournalPlan {
  uint32_t identity = 0;             // PackageIdentity of the package that wrote it
  std::vector<std::string> folders;  // folders the update creates, outermost first
  std::vector<JournalEntry> entries;
  bool staged = false;   // past the commit point: finish, do not undo
  bool restart = false;  // the in-use entries wait for Windows' restart
  int restarts = 0;      // how many times the restart-time moves were asked for
  bool undo = false;     // being undone
};

// The journal's text for `plan` (plan lines, "made" lines and state lines),
// and back. ParseJournal fills an empty plan and takes only lines ended by
// LF; false when a complete line is not one of a journal of this version. A
// journal cut short while its plan was written (also an empty one) reads as
// a plan not yet staged.
std::string FormatJournal(const JournalPlan& plan);
bool ParseJournal(const std::string& text, JournalPlan* plan);

// The "made" line that records `entry`'s staged file, with its line end.
std::string MadeLine(size_t entry, const std::string& identity);

// True when every record of `plan` is one this installer writes for the
// destination folder `destination`:
//  - every name is a plain full name "X:\..." (no "\\?\", "\\.\", share,
//    "." or ".." part, empty part, part ending in "." or " ", stream,
//    wildcard or control character);
//  - every target lies below `destination`, or is one of `package_targets`
//    (the files the package being run names itself);
//  - a staged name is the target's own folder plus "~upk", 8 lower-case hex
//    digits and ".tmp"; an aside the same with ".old" (two entries that
//    name the same file cannot both move it: each move checks the file's
//    identity);
//  - each kind has exactly its fields, identities are 24 hex digits, a
//    "made" line names an entry with a staged file, once;
//  - a folder line is a folder above one of the targets, never a drive,
//    and below the destination unless that target lies outside it;
//  - past the commit point every staged file has its "made" line; a
//    restart state comes after the commit point, has an in-use entry to
//    wait for, and is never combined with an undo.
bool JournalIsSound(const JournalPlan& plan, const std::string& destination,
                    const std::vector<std::string>& package_targets);

}  // namespace upkit
