#include "ui/document_dialog.h"

#include <richedit.h>

#include "ui/rich_edit.h"
#include "ui/window_services.h"

namespace upkit::ui {
namespace {

constexpr int kWidth = 510, kHeight = 390;
constexpr int kPanelHeight = kHeight - 67;
constexpr COLORREF kViewerBackground = 0xF5F5F5;

struct DocumentArgs {
  const std::string* caption;
  const std::string* heading;
  const uint8_t* document;
  size_t size;
  const std::string* accept_text;  // null: user-guide variant
  const std::string* address;
  const std::string* next_text;
  const std::string* exit_text;
};

class DocumentDialog : public Form {
 public:
  DocumentDialog(const DocumentArgs& args, int& result)
      : Form(*args.caption, 0, 0, kWidth, kHeight, true), result_(result) {
    result_ = -1;
    HWND panel = AddControl({.left = 0, .top = 0, .width = kWidth, .height = kPanelHeight});
    PlaceControl(panel, kKeep, kKeep, kKeep, kKeep, kWhite);
    AddControl({.parent = panel, .text = args.heading->c_str(),
                .style = SS_NOPREFIX | SS_NOTIFY | SS_LEFTNOWORDWRAP, .left = 10, .top = 10,
                .width = kWidth - 15, .height = 15});
    HWND viewer = AddRichEdit(panel, WS_TABSTOP | ES_MULTILINE | ES_READONLY | WS_VSCROLL |
                                         ES_AUTOVSCROLL,
                              10, 0, kWidth - 25, kPanelHeight - 50, kViewerBackground);
    PlaceBelow(viewer);
    SendMessageA(viewer, EM_AUTOURLDETECT, TRUE, 0);
    StreamInRtf(viewer, args.document, args.size);
    if (args.accept_text) {
      accept_ = AddControl({.parent = panel, .cls = "BUTTON", .text = args.accept_text->c_str(),
                            .style = BS_AUTOCHECKBOX | BS_NOTIFY | WS_TABSTOP, .left = 10,
                            .width = kWidth - 15, .height = 20});
      PlaceBelow(accept_);
    }
    AddSeparator(kWidth);
    HWND address = AddControl({.text = args.address->c_str(),
                               .style = SS_NOPREFIX | SS_NOTIFY | SS_LEFTNOWORDWRAP, .left = 10,
                               .top = kHeight - 55, .width = 100, .height = 15});
    SetFontColour(address, kBlue);
    SetFontStyle(address, false, true);
    FitToText(address);
    EnableWindow(address, FALSE);
    // Left to right, so Tab goes from Next> to Exit.
    next_ = AddControl({.cls = "BUTTON", .text = args.next_text->c_str(),
                        .style = BS_PUSHBUTTON | BS_NOTIFY | WS_TABSTOP,
                        .left = kWidth - 105 - 95, .top = kHeight - 60, .width = 90,
                        .height = 25});
    exit_ = AddControl({.cls = "BUTTON", .text = args.exit_text->c_str(),
                        .style = BS_PUSHBUTTON | BS_NOTIFY | WS_TABSTOP, .left = kWidth - 105,
                        .top = kHeight - 60, .width = 90, .height = 25});
    if (accept_) EnableWindow(next_, FALSE);
    // Enter takes the licence's Next> once it is enabled; the licence
    // starts at its check box, the guide at Next>.
    SetKeyControls(next_, exit_, accept_ ? accept_ : next_);
  }

 protected:
  void OnCommand(HWND control, UINT code) override {
    if (code != BN_CLICKED) return;
    if (control == accept_) {
      // Enables on every click and never disables again.
      EnableWindow(next_, TRUE);
    } else if (control == next_) {
      result_ = 0;
      Close();
    } else if (control == exit_) {
      Close();
      result_ = -1;
    }
  }

 private:
  int& result_;
  HWND accept_ = nullptr;
  HWND next_ = nullptr;
  HWND exit_ = nullptr;
};

int RunDocumentDialog(const DocumentArgs& args) {
  int result = -1;
  std::unique_ptr<Form> dialog = std::make_unique<DocumentDialog>(args, result);
  RunWindow(dialog);
  return result;
}

}  // namespace

int ShowLicenseDialog(const std::string& caption, const std::string& heading,
                      const uint8_t* document, size_t size, const std::string& accept_text,
                      const std::string& address, const std::string& next_text,
                      const std::string& exit_text) {
  return RunDocumentDialog(
      {&caption, &heading, document, size, &accept_text, &address, &next_text, &exit_text});
}

int ShowUserGuideDialog(const std::string& caption, const std::string& heading,
                        const uint8_t* document, size_t size, const std::string& address,
                        const std::string& next_text, const std::string& exit_text) {
  return RunDocumentDialog(
      {&caption, &heading, document, size, nullptr, &address, &next_text, &exit_text});
}

}  // namespace upkit::ui
