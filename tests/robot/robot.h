// A small Win32 test robot: finds windows of any process by caption and
// class, reads their texts, styles, positions and states, clicks buttons,
// answers message boxes, reads a rich-edit log with the colour of every run,
// and saves screenshots as PNG. Used by the end-to-end tests and by the
// demo (through the upkit-robot program).
//
// Texts are the windows' ANSI texts (the robot's code page). Waiting calls
// poll every 20 ms until their timeout; clicks are posted, so a click that
// opens a modal box never blocks the robot.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace upkit::robot {

// ---- Processes -------------------------------------------------------------

class Process {
 public:
  Process() = default;
  ~Process();  // ends a process that is still running
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;

  // Starts `exe` in `folder` (the exe's own when empty), with `arguments`
  // after its quoted name. False when CreateProcessA fails.
  bool Start(const std::string& exe, const std::string& folder = {},
             const std::string& arguments = {});
  DWORD Id() const { return id_; }
  bool Running() const;
  // Waits for the end; true with the exit code, false on timeout.
  bool Wait(DWORD timeout_ms, DWORD* exit_code);
  void Kill();

 private:
  HANDLE process_ = nullptr;
  DWORD id_ = 0;
};

// Full paths of the modules loaded in process `pid`.
std::vector<std::string> LoadedModules(DWORD pid);

// ---- Finding windows ---------------------------------------------------------

// Visible top-level windows of process `pid` (any process when 0).
std::vector<HWND> TopLevelWindows(DWORD pid);
// A visible top-level window of `pid` whose caption and class match (empty
// means any), or null after `timeout_ms`.
HWND WaitForWindow(DWORD pid, const std::string& caption, const std::string& cls,
                   DWORD timeout_ms);
// Waits until `window` is gone (or invisible); true when it is.
bool WaitForWindowGone(HWND window, DWORD timeout_ms);
// Every descendant of `top`, in creation order per parent (depth first).
std::vector<HWND> Descendants(HWND top);
// The first descendant whose class and text match (empty means any).
HWND FindControl(HWND top, const std::string& cls, const std::string& text);

// ---- Reading ---------------------------------------------------------------------

std::string Text(HWND window);  // WM_GETTEXT (marshalled across processes)
std::string ClassName(HWND window);
// Window rectangle in the client coordinates of its parent (screen
// coordinates for a top-level window).
RECT RectInParent(HWND window);
LONG Style(HWND window);
LONG ExStyle(HWND window);
bool Enabled(HWND window);
bool Visible(HWND window);
bool Checked(HWND check_box);  // BM_GETCHECK == BST_CHECKED

// ---- Acting ------------------------------------------------------------------------

// Posts BM_CLICK to a button.
void Click(HWND button);
// Posts a left click (down and up) at the control's centre, for labels.
void ClickLabel(HWND label);
// Posts WM_CLOSE (the title-bar close button's request).
void RequestClose(HWND window);
// Moves the real mouse pointer to the control's centre (SetCursorPos), so
// the control sees the mouse enter and, later, leave.
void HoverOver(HWND control);
// Moves the mouse pointer to a screen point.
void MoveMouse(int x, int y);

// Types a key (down, then up) as the user does, to whatever window has the
// keyboard focus; with Shift held when `shift`.
void PressKey(WORD key, bool shift = false);
// The window with the keyboard focus in the thread of `top` (null if none).
HWND FocusedControl(HWND top);

// ---- Screen scale --------------------------------------------------------------------

// Makes the robot per-monitor DPI aware, so the windows of a DPI-aware
// program are read and captured in their physical pixels at any scale.
void UsePhysicalPixels();
// Tells a window of another process that it now lies on a monitor of `dpi`
// (WM_DPICHANGED, its own rectangle as the suggested one), as Windows does
// when the window is dragged onto a monitor of another scale.
void SendDpiChanged(HWND window, int dpi);

// ---- Message boxes -----------------------------------------------------------------

struct MessageBoxInfo {
  HWND window = nullptr;
  std::string caption;
  std::string text;  // the box's message
  DWORD style = 0;   // window style of the box
};
// Waits for a dialog-class ("#32770") top-level window of `pid` (any when
// 0) with that caption (any when empty).
bool WaitForMessageBox(DWORD pid, const std::string& caption, DWORD timeout_ms,
                       MessageBoxInfo* info);
// Clicks the box's button with that identifier (IDOK, IDCANCEL, ...); button
// texts follow the system's language, identifiers do not.
bool AnswerMessageBox(HWND box, int button_id);

// ---- Rich-edit log -----------------------------------------------------------------

struct LogRun {
  std::string text;     // paragraph ends given as "\r\n"
  COLORREF colour = 0;  // 0x00BBGGRR
};
// The whole text of a rich-edit control of any process, split into runs of
// one colour, the text converted to `codepage`. Empty on failure.
std::vector<LogRun> ReadRichEditRuns(HWND control, UINT codepage = CP_ACP);
// The whole text alone, without colours: quick enough for long logs.
std::string ReadRichEditText(HWND control, UINT codepage = CP_ACP);
// The runs joined.
std::string JoinRuns(const std::vector<LogRun>& runs);

// ---- Screenshots and reports ---------------------------------------------------------

// Copies the window's screen area and writes it as a PNG file.
bool SaveWindowPng(HWND window, const std::string& path);
// Pixels of the window's screen area, 0x00RRGGBB, row by row (top first).
std::vector<uint32_t> CaptureWindow(HWND window, int* width, int* height);
// Encodes 0x00RRGGBB pixels as an RGB PNG (stored deflate blocks).
std::vector<uint8_t> EncodePng(const std::vector<uint32_t>& pixels, int width, int height);

// The window and every descendant as JSON: class, text, rect (in parent),
// style, ex_style, enabled, visible; rich-edit controls also with their runs.
std::string DescribeJson(HWND top);
std::string JsonString(const std::string& text);

}  // namespace upkit::robot
