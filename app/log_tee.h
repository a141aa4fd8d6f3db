// The run's log in more than one place: the results window when there is
// one (none in silent runs) and the log file of the command line's /LOG=.
// The file gets the same text as the window, in UTF-8 with the window's
// CR LF line ends, written as it comes, so a run that dies leaves what it
// had done on disk.
// Win32 only.
#pragma once

#include <string>

#include "install/results_log.h"
#include "install/win32_handle.h"
#include "ui/results_window.h"

namespace upkit::app {

// A log file, created empty (replacing an older one); others may read it
// while the run goes on.
class LogFile {
 public:
  LogFile() = default;
  // Raises "System Error..." when the file cannot be created.
  explicit LogFile(const std::string& name);
  bool IsOpen() const { return static_cast<bool>(file_); }
  // Writes text in the process's ANSI code page (the one the windows show it
  // in) as UTF-8 at once; a failing write is ignored (the run must not stop
  // for its log).
  void Write(const std::string& text);

 private:
  FileHandle file_;
};

class LogTee : public ResultsLog {
 public:
  // Either may be null.
  LogTee(ui::ResultsWindow* window, LogFile* file) : window_(window), file_(file) {}

  void AppendLogText(const std::string& text, uint32_t colour) override;
  void AppendLogLine(const std::string& text, uint32_t colour) override;
  void SetProgressPosition(int32_t position) override;
  void PaintNow() override;
  void MarkForRepaint() override;
  // The window's text in the colour in force, and the file's.
  void AppendInCurrentColour(const std::string& text);

 private:
  void ToFile(const std::string& text) {
    if (file_ != nullptr) file_->Write(text);
  }

  ui::ResultsWindow* window_;
  LogFile* file_;
};

}  // namespace upkit::app
