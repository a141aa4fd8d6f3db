// Putting a new file in place without ever losing the old one.
//
// Actions that produce a whole new file (replace, delta) write it first to a
// temporary file in the target's own folder, then move that over the target
// in one step. If anything fails before the move, the temporary file is
// removed and the target is untouched. The target's missing folders are
// created first, so an update can add folders.
//
// A target held open by another program cannot be replaced now: the new
// content then stays beside it and Windows moves it over the target when it
// next restarts (the installer runs elevated, as that needs).
// Win32 only.
#pragma once

#include <cstdint>
#include <string>

#include "update/win32_handle.h"

namespace upkit {

// How a new file reached its place.
enum class PlaceOutcome {
  kPlaced,               // the target now holds the new content
  kScheduledForRestart,  // the target is in use; Windows replaces it when it restarts
};

// Creates `folder` and every missing folder above it. Raises "System
// Error..." with the last creation's code when the folder still does not
// exist (a file of that name, a missing drive, no rights).
void CreateFolders(const std::string& folder);

// True when `code`, from a failed move or delete of `file`, means another
// program holds the file open. Access denied is also the answer Windows gives
// for a running program; that case is told from a read-only file or a
// forbidden folder by trying to open the file for deletion and for writing.
bool FileInUse(uint32_t code, const std::string& file);

// Asks Windows to move `from` over `to` when it next restarts, or to delete
// `from` when `to` is empty. Raises "System Error..." when it cannot.
void ScheduleAtRestart(const std::string& from, const std::string& to);

// A short file name for a temporary file that fits in `room` characters:
// "~upk" + 8 hex digits of `serial` + ".tmp" when that fits, else "~" and the
// lowest hex digits of `serial` that fit (at least one digit).
std::string TempFileName(size_t room, uint32_t serial);

// A uniquely named, empty temporary file created beside `target`, after the
// target's missing folders. Its name is never longer than the longest name
// the folder can take, so it works wherever writing the target directly
// would. It is deleted when the object goes out of scope, unless it has been
// moved into place. Raises "System Error..." when it cannot be created.
class TempFileBeside {
 public:
  explicit TempFileBeside(const std::string& target);
  ~TempFileBeside();
  TempFileBeside(const TempFileBeside&) = delete;
  TempFileBeside& operator=(const TempFileBeside&) = delete;

  const std::string& Name() const { return name_; }

  // Opens the temporary file for writing (no sharing), emptying it.
  // Raises "System Error..." on failure.
  FileHandle OpenForWriting() const;

  // Moves the temporary file over `target` in one step (replacing it), after
  // which it is no longer deleted on scope exit. When the target is in use,
  // schedules the move for the next restart instead and leaves the temporary
  // file in place. Raises "System Error..." with the failing call's code
  // otherwise; the temporary file is then still ours.
  PlaceOutcome MoveOver(const std::string& target);

 private:
  std::string name_;
  bool placed_ = false;
};

}  // namespace upkit
