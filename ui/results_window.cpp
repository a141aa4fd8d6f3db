#include "ui/results_window.h"

#include <commctrl.h>
#include <richedit.h>

#include "texts/texts.h"
#include "ui/rich_edit.h"

namespace upkit::ui {
namespace {
constexpr int kWidth = 510, kHeight = 385;
constexpr int kPanelHeight = 314;
}  // namespace

ResultsWindow::ResultsWindow(const std::string& caption, int item_count)
    : Form(caption, 0, 0, kWidth, kHeight, true) {
  HWND panel = AddControl({.cls = "STATIC", .left = 0, .top = 0, .width = kWidth,
                           .height = kPanelHeight});
  PlaceControl(panel, kKeep, kKeep, kKeep, kKeep, kWhite);
  AddControl({.parent = panel, .cls = "STATIC", .text = PickText(text::kUpdateResults),
              .style = SS_NOPREFIX | SS_LEFTNOWORDWRAP, .left = 10, .top = 10, .width = 200,
              .height = 15});
  log_ = AddRichEdit(panel,
                     WS_TABSTOP | ES_MULTILINE | ES_READONLY | WS_VSCROLL | ES_AUTOVSCROLL, 10, 0,
                     kWidth - 25, kPanelHeight - 55, kBlack);
  PlaceBelow(log_);
  progress_ = AddControl({.parent = panel, .cls = PROGRESS_CLASSA, .ex_style = WS_EX_CLIENTEDGE,
                          .left = 10, .top = 0, .width = kWidth - 25, .height = 17});
  PlaceBelow(progress_);
  AddSeparator(kWidth);
  button_ = AddControl({.cls = "BUTTON", .text = PickText(text::kCancel),
                        .style = BS_PUSHBUTTON | BS_NOTIFY | WS_TABSTOP, .left = kWidth - 105,
                        .top = kHeight - 60, .width = 90, .height = 25});
  SetKeyControls(button_, button_, button_);
  SendMessageA(progress_, PBM_SETPOS, 0, 0);
  SendMessageA(progress_, PBM_SETRANGE32, 0, item_count);
  ShowWindow(Handle(), SW_SHOW);
  PaintNow();
  MarkForRepaint();
}

void ResultsWindow::AppendLogText(const std::string& text, uint32_t colour) {
  colour_ = colour;
  AppendRichText(log_, text, colour);
}

void ResultsWindow::AppendLogLine(const std::string& text, uint32_t colour) {
  colour_ = colour;
  AppendRichText(log_, text + "\r\n", colour);
}

void ResultsWindow::AppendInCurrentColour(const std::string& text) {
  // The control's own insertion format after a line end is its default
  // (black on the black log): the colour of the last append is what the
  // reader expects to continue.
  AppendRichText(log_, text, colour_);
}

void ResultsWindow::SetProgressPosition(int32_t position) {
  SendMessageA(progress_, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void ResultsWindow::PaintNow() {
  RedrawWindow(Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
}

void ResultsWindow::MarkForRepaint() {
  RedrawWindow(Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void ResultsWindow::SwitchToClose() {
  done_ = true;
  SetWindowTextA(button_, PickText(text::kClose));
}

void ResultsWindow::OnCommand(HWND control, UINT code) {
  if (control != button_ || code != BN_CLICKED) return;
  if (done_) {
    SetDialogResult(-1);
    Close();
    return;
  }
  if (AskQuestion(PickText(text::kQuitQuestion))) ExitProcess(0);
}

}  // namespace upkit::ui
