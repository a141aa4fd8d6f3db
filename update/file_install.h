// Putting a new file in place without ever losing the old one.
//
// Actions that produce a whole new file (replace, delta) write it first to a
// temporary file in the target's own folder, then move that over the target
// in one step. If anything fails before the move, the temporary file is
// removed and the target is untouched.
// Win32 only.
#pragma once

#include <string>

#include "update/win32_handle.h"

namespace upkit {

// How a new file reached its place.
enum class PlaceOutcome {
  kPlaced,               // the target now holds the new content
  kScheduledForRestart,  // the target is in use; Windows replaces it when it restarts
};

// A uniquely named, empty temporary file created beside `target`. It is
// deleted when the object goes out of scope, unless it has been moved into
// place. Raises "System Error..." when it cannot be created.
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
  // which it is no longer deleted on scope exit. Raises "System Error..." with
  // the move's error code on failure; the temporary file is then still ours.
  PlaceOutcome MoveOver(const std::string& target);

 private:
  std::string name_;
  bool placed_ = false;
};

}  // namespace upkit
