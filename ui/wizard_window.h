// The wizard window: picture, project name, author information, the
// destination folder with its Browse link, the item count and the backup
// check box. Its confirm button accepts only an existing folder: it then
// writes the folder into DefaultDir, sets the backup option and the dialog
// result 1, and closes. Cancel sets the dialog result -1 and closes.
#pragma once

#include <string>

#include "package/update_file.h"
#include "ui/window_services.h"

namespace upkit::ui {

// A 32-bit top-down DIB section holding the bitmap's pixels; empty for an
// empty bitmap.
BitmapHandle MakePictureBitmap(const TBitmap& picture);

// The folder the folder field starts with: ExpandPathMacros(DefaultDir) when
// DefaultDir is not blank, else the module folder.
std::string WizardStartFolder(const std::string& default_dir, const std::string& module_folder);

class WizardWindow : public Form {
 public:
  WizardWindow(TUpdateFile& update, const std::string& module_folder);

 protected:
  void OnCommand(HWND control, UINT code) override;
  bool OnPaintControl(HWND control) override;
  void OnMouseEnter(HWND control) override;
  void OnMouseLeave(HWND control) override;

 private:
  void ChooseFolder();
  void Confirm();

  TUpdateFile& update_;
  BitmapHandle picture_;
  int picture_width_ = 0, picture_height_ = 0;
  HWND picture_area_ = nullptr;
  HWND folder_field_ = nullptr;
  HWND browse_ = nullptr;
  HWND backup_ = nullptr;
  HWND cancel_ = nullptr;
  HWND confirm_ = nullptr;
};

}  // namespace upkit::ui
