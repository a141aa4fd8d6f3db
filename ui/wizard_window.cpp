#include "ui/wizard_window.h"

#include <cstring>

#include "install/engine.h"
#include "install/path_macros.h"
#include "texts/texts.h"

namespace upkit::ui {
namespace {

constexpr int kWidth = 510, kHeight = 385;
constexpr int kPanelHeight = 314;
constexpr int kPictureWidth = 164;

constexpr DWORD kLabel = SS_NOPREFIX | SS_NOTIFY;
constexpr DWORD kCentred = kLabel | SS_CENTER;
constexpr DWORD kSingleLine = kLabel | SS_LEFTNOWORDWRAP;

bool Blank(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) > 32) return false;
  }
  return true;
}

std::string WindowText(HWND control) {
  int length = GetWindowTextLengthA(control);
  std::string text(static_cast<size_t>(length > 0 ? length : 0) + 1, '\0');
  int got = GetWindowTextA(control, text.data(), length + 1);
  text.resize(static_cast<size_t>(got > 0 ? got : 0));
  return text;
}

}  // namespace

BitmapHandle MakePictureBitmap(const TBitmap& picture) {
  if (picture.Empty()) return {};
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = picture.Width();
  info.bmiHeader.biHeight = -picture.Height();  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  BitmapHandle bitmap(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!bitmap || !bits) return {};
  const auto& pixels = picture.Pixels();
  std::memcpy(bits, pixels.data(), pixels.size() * sizeof(uint32_t));
  GdiFlush();
  return bitmap;
}

std::string WizardStartFolder(const std::string& default_dir, const std::string& module_folder) {
  return Blank(default_dir) ? module_folder : ExpandPathMacros(default_dir);
}

WizardWindow::WizardWindow(TUpdateFile& update, const std::string& module_folder)
    : Form(update.FormCaption, 0, 0, kWidth, kHeight, true), update_(update) {
  picture_ = MakePictureBitmap(update.Picture);
  picture_width_ = update.Picture.Width();
  picture_height_ = update.Picture.Height();

  HWND panel = AddControl({.left = 0, .top = 0, .width = kWidth, .height = kPanelHeight});
  PlaceControl(panel, kKeep, kKeep, kKeep, kKeep, kWhite);
  AddSeparator(kWidth);

  picture_area_ = AddControl({.parent = panel, .style = SS_NOTIFY, .left = 0, .top = 0,
                              .width = kPictureWidth, .height = kPanelHeight});
  constexpr int kTextLeft = kPictureWidth + 25;
  constexpr int kTextWidth = kWidth - kTextLeft;
  HWND intro = AddControl({.parent = panel, .text = PickText(text::kUpdateProgramFor),
                           .style = kCentred, .left = kTextLeft, .top = 10, .width = kTextWidth,
                           .height = 15});
  (void)intro;
  HWND project = AddControl({.parent = panel, .text = update.ProjectName.c_str(), .style = kCentred,
                             .left = kTextLeft, .width = kTextWidth, .height = 35});
  PlaceBelow(project);
  SetFontStyle(project, true, true);

  constexpr int kFrameWidth = kTextWidth - 25;
  HWND author = AddControl({.parent = panel, .cls = "BUTTON", .text = PickText(text::kAuthorInformation),
                            .style = BS_GROUPBOX, .width = kFrameWidth, .height = 70});
  PlaceBelow(author);
  HWND name = AddControl({.parent = author, .text = update.AutorName.c_str(), .style = kCentred,
                          .left = 10, .top = 15, .width = kFrameWidth - 15, .height = 15});
  (void)name;
  HWND mail = AddControl({.parent = author, .text = update.AutorMail.c_str(), .style = kCentred,
                          .width = kFrameWidth - 15, .height = 15});
  PlaceBelow(mail);
  HWND web = AddControl({.parent = author, .text = update.AutorWWW.c_str(), .style = kCentred,
                         .width = kFrameWidth - 15, .height = 15});
  PlaceBelow(web);
  SetFontColour(web, kBlue);
  SetFontStyle(web, false, true);

  HWND spacer = AddControl({.parent = panel, .style = kLabel, .width = kFrameWidth, .height = 35});
  PlaceBelow(spacer);

  HWND folder = AddControl({.parent = panel, .cls = "BUTTON", .text = PickText(text::kChooseDestination),
                            .style = BS_GROUPBOX, .width = kFrameWidth, .height = 75});
  PlaceBelow(folder);
  AddControl({.parent = folder, .text = PickText(text::kDestinationFolder), .style = kSingleLine,
              .left = 10, .top = 16, .width = 120, .height = 15});
  std::string start = WizardStartFolder(update.DefaultDir, module_folder);
  folder_field_ = AddControl({.parent = folder, .cls = "EDIT", .text = start.c_str(),
                              .style = ES_READONLY | ES_AUTOHSCROLL | ES_LEFT,
                              .ex_style = WS_EX_CLIENTEDGE, .left = 10,
                              .width = kFrameWidth - 20, .height = 18});
  PlaceBelow(folder_field_);
  browse_ = AddControl({.parent = folder, .text = PickText(text::kBrowseLink),
                        .style = kLabel | SS_RIGHT, .left = 10, .width = kFrameWidth - 20,
                        .height = 18, .track_hover = true, .link = true});
  PlaceBelow(browse_);
  SetFontColour(browse_, kBlue);
  SetFontStyle(browse_, false, true);

  char number[16];
  wsprintfA(number, "%d", static_cast<int>(update.Items.size()));
  std::string count = std::string(PickText(text::kUpdateFileCount)) + number;
  HWND count_label = AddControl({.parent = panel, .text = count.c_str(), .style = kSingleLine,
                                 .width = kFrameWidth, .height = 15});
  PlaceBelow(count_label);
  MoveDown(count_label, 20);
  SetFontStyle(count_label, true, false);

  backup_ = AddControl({.parent = panel, .cls = "BUTTON", .text = PickText(text::kBackupFiles),
                        .style = BS_AUTOCHECKBOX | BS_NOTIFY | WS_TABSTOP, .width = kFrameWidth,
                        .height = 18});
  PlaceBelow(backup_);

  HWND address = AddControl({.text = update.WinURL.c_str(), .style = kCentred, .left = 0,
                             .top = kHeight - 55, .width = kPictureWidth, .height = 15});
  SetFontColour(address, kBlue);
  SetFontStyle(address, false, true);
  EnableWindow(address, FALSE);

  // Left to right, so Tab goes from the confirm button to Cancel.
  confirm_ = AddControl({.cls = "BUTTON", .text = update.ButtonCaption.c_str(),
                         .style = BS_PUSHBUTTON | BS_NOTIFY | WS_TABSTOP, .left = kWidth - 105 - 95,
                         .top = kHeight - 60, .width = 90, .height = 25});
  cancel_ = AddControl({.cls = "BUTTON", .text = PickText(text::kCancel),
                        .style = BS_PUSHBUTTON | BS_NOTIFY | WS_TABSTOP, .left = kWidth - 105,
                        .top = kHeight - 60, .width = 90, .height = 25});
  SetKeyControls(confirm_, cancel_, confirm_);
}

bool WizardWindow::OnPaintControl(HWND control) {
  if (control != picture_area_) return false;
  PaintScope paint(control);
  RECT client{};
  GetClientRect(control, &client);
  FillRect(paint.Get(), &client, reinterpret_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  if (picture_) {
    DcHandle memory(CreateCompatibleDC(paint.Get()));
    ScopedSelect select(memory.Get(), picture_.Get());
    if (Dpi() == 96) {
      BitBlt(paint.Get(), 0, 0, picture_width_, picture_height_, memory.Get(), 0, 0, SRCCOPY);
    } else {
      // Scaled with the system's smoothing filter, not pixel doubling.
      SetStretchBltMode(paint.Get(), HALFTONE);
      SetBrushOrgEx(paint.Get(), 0, 0, nullptr);
      StretchBlt(paint.Get(), 0, 0, Scale(picture_width_), Scale(picture_height_), memory.Get(), 0, 0,
                 picture_width_, picture_height_, SRCCOPY);
    }
  }
  return true;
}

void WizardWindow::OnMouseEnter(HWND control) {
  if (control == browse_) SetFontColour(browse_, kRed);
}

void WizardWindow::OnMouseLeave(HWND control) {
  if (control == browse_) SetFontColour(browse_, kBlue);
}

void WizardWindow::OnCommand(HWND control, UINT code) {
  if (control == browse_ && code == STN_CLICKED) {
    ChooseFolder();
  } else if (control == confirm_ && code == BN_CLICKED) {
    Confirm();
  } else if (control == cancel_ && code == BN_CLICKED) {
    SetDialogResult(-1);
    Close();
  }
}

void WizardWindow::ChooseFolder() {
  std::string chosen = BrowseForFolder(WindowText(folder_field_));
  if (!chosen.empty()) SetWindowTextA(folder_field_, chosen.c_str());
}

void WizardWindow::Confirm() {
  std::string folder = WindowText(folder_field_);
  DWORD attributes = GetFileAttributesA(folder.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    update_.DefaultDir = folder;
    SetBackupOption(SendMessageA(backup_, BM_GETCHECK, 0, 0) == BST_CHECKED);
    SetDialogResult(1);
    Close();
    return;
  }
  std::string message = PickText(text::kWrongFolder);
  message += "\n\r(";
  message += folder;
  message += ")";
  ShowError(message, PickText(text::kError));
}

}  // namespace upkit::ui
