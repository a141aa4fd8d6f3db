// ui/: the installer's windows: this window layer, the document dialog,
// the wizard and the results window (which implements install/results_log.h).
//
// The small window layer every installer window is built with: the invisible
// application window that owns all windows, the default-caption list, the
// question and error boxes, the shell folder browser, and `Form`, a fixed-size
// top-level window whose controls get the default font (Arial, height -11,
// black) and their parent's background colour.
//
// Forms are laid out in 96-DPI pixels and drawn at the window's own DPI:
// every position, size and font height is scaled by dpi / 96 (exactly today's
// pixels at 96), and again when the window moves to a monitor of another
// scale. Keys follow the dialog manager: Tab in creation order, Enter presses
// the focused button or the default one, Esc the cancelling one.
//
// Invariants: one thread; every window a Form creates is released with it;
// no exception leaves a window procedure (they are caught and dropped there).
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ui/win_handles.h"

namespace upkit::ui {

// Colours, 0x00BBGGRR.
inline constexpr COLORREF kBlack = 0x000000;
inline constexpr COLORREF kWhite = 0xFFFFFF;
inline constexpr COLORREF kBlue = 0xFF0000;
inline constexpr COLORREF kRed = 0x0000FF;
// "Leave as it is" for PlaceControl arguments.
inline constexpr int kKeep = -1;
inline constexpr COLORREF kKeepColour = 0xFFFFFFFFu;

// ---- Application window and process-wide state ------------------------------

// Creates the application window (once): an invisible top-level window with
// an empty caption that owns every window and carries the taskbar button.
void InitApplication();
// Releases the application window and the caption list (ordinary end only).
void ShutdownApplication();
HWND ApplicationWindow();

// The result of the window that ran last: -1 before a window runs, 1 when
// the wizard is confirmed.
int DialogResult();
void SetDialogResult(int value);

// ---- Default captions --------------------------------------------------------

// Appends a caption pair; returns its index (count - 1).
int RegisterCaption(const char* russian, const char* english);
// The entry's text in the current language; empty for an invalid index.
std::string CaptionText(int index);

// ---- Boxes and browser --------------------------------------------------------

// MessageBoxA without owner, MB_OKCANCEL | MB_ICONQUESTION | MB_TASKMODAL.
// An empty caption means the default "Confirmation". True only for IDOK.
bool AskQuestion(const std::string& text, const std::string& caption = {});
// MessageBoxA without owner, MB_OK | MB_ICONERROR | MB_TASKMODAL. An empty
// caption means the default "Error".
void ShowError(const std::string& text, const std::string& caption = {});
// The shell folder browser, centred, starting at `initial`. Returns the
// chosen folder ending in "\", or an empty text when cancelled.
std::string BrowseForFolder(const std::string& initial, const std::string& title = {});

// ---- Forms and controls --------------------------------------------------------

struct ControlArgs {
  HWND parent = nullptr;   // the form itself when null
  const char* cls = "STATIC";
  const char* text = "";
  DWORD style = 0;         // WS_CHILD | WS_VISIBLE are always added
  DWORD ex_style = 0;
  int left = 0, top = 0, width = 0, height = 0;
  bool track_hover = false;  // report mouse enter/leave (OnMouseEnter/Leave)
  // A label that acts as a button: a tab stop that shows a focus rectangle;
  // Space and Enter click it (OnCommand with STN_CLICKED).
  bool link = false;
};

class Form {
 public:
  // CreateAppForm: a hidden top-level window owned by the application
  // window, style exactly WS_CAPTION | WS_SYSMENU, fixed outer size,
  // optionally centred on the screen.
  Form(const std::string& caption, int left, int top, int width, int height, bool centred);
  virtual ~Form();
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;

  HWND Handle() const { return window_.Get(); }
  // The DPI the form is drawn at (96 = 100 %).
  int Dpi() const { return dpi_; }
  // A length in 96-DPI pixels at the form's DPI.
  int Scale(int pixels) const { return MulDiv(pixels, dpi_, 96); }

  // Creates a child control with the default font and its parent's
  // background colour, at the given position.
  HWND AddControl(const ControlArgs& args);
  // Applies the default control font (keeping bold/underline), then sets the
  // values that are not kKeep / kKeepColour.
  void PlaceControl(HWND control, int left, int top, int width, int height,
                    COLORREF background = kKeepColour);
  // Moves the control under the control created just before it in the same
  // parent: top = that one's bottom + 2, left = that one's left.
  void PlaceBelow(HWND control);
  // Moves the control down by `dy` pixels (up when negative) in its parent.
  void MoveDown(HWND control, int dy);
  // The sunken line under the white panel: placed below the control created
  // before it, then moved up by 2 so it overlaps the panel's margin.
  HWND AddSeparator(int width);
  void SetFontColour(HWND control, COLORREF colour);
  void SetFontStyle(HWND control, bool bold, bool underline);
  COLORREF Background(HWND control) const;

  // The buttons Enter and Esc press (Enter presses a focused push button
  // or link instead), and the control that has the focus first.
  void SetKeyControls(HWND default_button, HWND cancel_button, HWND first_focus);

  // Posts a close request; the running message loop ends once it arrives.
  void Close();
  bool Closed() const { return closed_; }

  // RunWindow: shows the form, paints it, runs messages until it has
  // closed, then destroys it and clears the variable.
  friend void RunWindow(std::unique_ptr<Form>& form);

 protected:
  virtual void OnCommand(HWND /*control*/, UINT /*code*/) {}
  // Paints a control itself (BeginPaint/EndPaint included); true when done.
  virtual bool OnPaintControl(HWND /*control*/) { return false; }
  virtual void OnMouseEnter(HWND /*control*/) {}
  virtual void OnMouseLeave(HWND /*control*/) {}

 private:
  struct Control {
    HWND hwnd = nullptr;
    WNDPROC original = nullptr;  // null for controls that are not subclassed
    COLORREF background = kWhite;
    COLORREF font_colour = kBlack;
    bool bold = false, underline = false, rich = false;
    bool track_hover = false, hovering = false, link = false;
    bool push = false;      // a push button: shows the default frame while focused
    bool fit_text = false;  // width follows the text (FitToText)
    int left = 0, top = 0, width = 0, height = 0;  // 96-DPI pixels in the parent
  };

  Control* Find(HWND control);
  const Control* Find(HWND control) const;
  HFONT FontFor(bool bold, bool underline);
  HBRUSH BrushFor(COLORREF colour);
  LRESULT Colour(HWND control, HDC dc);
  bool HandleShared(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result);
  LRESULT FormMessage(UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT ControlMessage(Control& control, UINT message, WPARAM wparam, LPARAM lparam);
  void Destroy();
  // Moves and sizes a control at the form's DPI, with its font.
  void Apply(Control& control);
  // Sizes the window for its DPI, then every control and font (WM_DPICHANGED).
  void ApplyDpi(int dpi, const RECT* suggested);
  // Enter, Esc, and Space on a link; Tab out of a rich-edit control (which
  // keeps Tab for itself). True when the key was used.
  bool HandleKey(const MSG& message);
  // Runs a button's or link's click handler, unless it is disabled.
  void Press(HWND control);
  // The dotted focus rectangle around a focused link's text.
  void DrawFocus(const Control& control);

  static LRESULT CALLBACK FormProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) noexcept;
  static LRESULT CALLBACK ControlProc(HWND hwnd, UINT message, WPARAM wparam,
                                      LPARAM lparam) noexcept;

  WindowHandle window_;
  COLORREF background_;
  int width_ = 0, height_ = 0;  // outer size at the current DPI
  int client_width_ = 0, client_height_ = 0;  // client size in 96-DPI pixels
  int dpi_ = 96;
  HWND default_button_ = nullptr, cancel_button_ = nullptr, focus_ = nullptr;
  bool closed_ = false;
  std::vector<Control> controls_;
  FontHandle fonts_[4];  // [bold * 2 + underline]
  FontHandle form_font_;
  struct Brush {
    COLORREF colour;
    BrushHandle brush;
  };
  std::vector<Brush> brushes_;

 public:
  // Creates a rich-edit control (the class of the library loaded for the
  // run) with a sunken client edge; its background is set through its own
  // background message. Rich-edit controls are not subclassed.
  HWND AddRichEdit(HWND parent, DWORD style, int left, int top, int width, int height,
                   COLORREF background);
  // Fits a single-line label's width to its text in its own font.
  void FitToText(HWND control);
};

void RunWindow(std::unique_ptr<Form>& form);

// The window whose message loop is running, or null.
HWND RunningWindow();

}  // namespace upkit::ui
