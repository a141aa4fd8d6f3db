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

#include "install/win32_handle.h"

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

// True when `path` lies on a local fixed volume. Windows carries out moves
// at restart before network drives, SUBST drives and shares exist, so only
// there can a file be replaced at restart.
bool OnLocalFixedVolume(const std::string& path);

// Asks Windows to move `from` over `to` when it next restarts, or to delete
// `from` when `to` is empty. Raises the text kFileInUse when `from` is not on
// a local fixed volume, "System Error..." when Windows refuses.
void ScheduleAtRestart(const std::string& from, const std::string& to);

// Deletes the file (action 4, and a delta's base once its file is made). A missing file is no failure; a file in use is
// deleted when Windows restarts (kScheduledForRestart); an existing file that
// cannot be deleted otherwise raises "System Error...".
PlaceOutcome DeleteItemFile(const std::string& file_name);

// Writes all `size` bytes through `file`. A write that stops short is made
// again for the rest, so that a full disk reports its own error (112) and
// not a write fault. Raises "System Error..." with the failing call's code.
void WriteAll(HANDLE file, const void* data, size_t size);

// FlushFileBuffers; raises "System Error..." when it fails.
void FlushToDisk(HANDLE file);

// Copies the whole content of the existing file `from` through `to` at its
// current position, in blocks. Raises "System Error..." when a read or write
// fails; the text kFileInUse when another program keeps `from` from being read.
void CopyContent(const std::string& from, HANDLE to);

// Removes the temporary files an interrupted run left in `folder` (which
// ends in "\"): names of exactly "~upk" + 8 lower-case hex digits + ".tmp",
// that no process holds open and that no restart-time move
// (PendingFileRenameOperations) still names. Raises nothing.
void RemoveLeftoverTempFiles(const std::string& folder);

// A short file name for a temporary file that fits in `room` characters:
// "~upk" + 8 hex digits of `serial` + ".tmp" when that fits, else "~" and the
// lowest hex digits of `serial` that fit (at least one digit).
std::string TempFileName(size_t room, uint32_t serial);

// A uniquely named, empty temporary file created beside `target`, after the
// target's missing folders, and kept open for writing: its content is
// written through the handle that created it, never through a name someone
// could swap in between. Its name is never longer than the longest name
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

  // The handle that created the file (write access, no sharing); invalid
  // once the file has been closed by MoveOver.
  HANDLE Handle() const { return file_.Get(); }

  // Flushes the file to disk, closes it, then moves it over `target` in one
  // step (replacing it, written through), after
  // which it is no longer deleted on scope exit. When the target is in use,
  // schedules the move for the next restart instead and leaves the temporary
  // file in place. Raises "System Error..." with the failing call's code
  // otherwise; the temporary file is then still ours.
  PlaceOutcome MoveOver(const std::string& target);

 private:
  std::string name_;
  FileHandle file_;
  bool placed_ = false;
};

}  // namespace upkit
