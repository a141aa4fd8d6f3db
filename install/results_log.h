// The narrow interface through which the update engine and the item actions
// write to the screen. The results window implements it; tests record it.
#pragma once

#include <cstdint>
#include <string>

namespace upkit {

// Log colours, 0x00BBGGRR.
inline constexpr uint32_t kLogWhite = 0xFFFFFF;
inline constexpr uint32_t kLogRed = 0x0000FF;
inline constexpr uint32_t kLogNameColour = 0xBF8AA3;

class ResultsLog {
 public:
  virtual ~ResultsLog() = default;
  // Appends text at the end of the log in `colour`, without a line end.
  virtual void AppendLogText(const std::string& text, uint32_t colour) = 0;
  // Appends text and "\r\n" in `colour`.
  virtual void AppendLogLine(const std::string& text, uint32_t colour) = 0;
  // Moves the progress bar (range 0 .. item count).
  virtual void SetProgressPosition(int32_t position) = 0;
  // Paints the results window and its controls at once.
  virtual void PaintNow() = 0;
  // Invalidates the results window and its controls (erasing).
  virtual void MarkForRepaint() = 0;
};

}  // namespace upkit
