// The results window: a white panel with the heading "Update results:", the
// black rich-text log the engine writes to, a progress bar, and the
// Cancel / Close button. It implements ResultsLog for the engine.
//
// While the engine runs the button asks the quit question (OK ends the
// process with code 0); after SwitchToClose it sets the dialog result to -1
// and closes the window.
#pragma once

#include <string>

#include "install/results_log.h"
#include "ui/window_services.h"

namespace upkit::ui {

class ResultsWindow : public Form, public ResultsLog {
 public:
  // Builds and shows the window: caption, progress range 0 .. item_count.
  ResultsWindow(const std::string& caption, int item_count);

  void AppendLogText(const std::string& text, uint32_t colour) override;
  void AppendLogLine(const std::string& text, uint32_t colour) override;
  void SetProgressPosition(int32_t position) override;
  void PaintNow() override;
  void MarkForRepaint() override;

  // Appends at the end of the log in the colour in force: the colour of the
  // last append (white before any).
  void AppendInCurrentColour(const std::string& text);

  // The engine has returned: the button reads "Close" and closes the window.
  void SwitchToClose();

  HWND Log() const { return log_; }

 protected:
  void OnCommand(HWND control, UINT code) override;

 private:
  HWND log_ = nullptr;
  HWND progress_ = nullptr;
  HWND button_ = nullptr;
  bool done_ = false;
  uint32_t colour_ = kLogWhite;
};

}  // namespace upkit::ui
