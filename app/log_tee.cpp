#include "app/log_tee.h"

#include <windows.h>

#include "codec/cp1251.h"
#include "update/win32_error.h"

namespace upkit::app {

LogFile::LogFile(const std::string& name)
    : file_(::CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr)) {
  if (!file_) RaiseLastSystemError();
}

void LogFile::Write(const std::string& text) {
  if (!file_ || text.empty()) return;
  std::string utf8 = cp1251::ToUtf8(text);
  DWORD written = 0;
  ::WriteFile(file_.Get(), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

void LogTee::AppendLogText(const std::string& text, uint32_t colour) {
  if (window_ != nullptr) window_->AppendLogText(text, colour);
  ToFile(text);
}

void LogTee::AppendLogLine(const std::string& text, uint32_t colour) {
  if (window_ != nullptr) window_->AppendLogLine(text, colour);
  ToFile(text + "\r\n");
}

void LogTee::SetProgressPosition(int32_t position) {
  if (window_ != nullptr) window_->SetProgressPosition(position);
}

void LogTee::PaintNow() {
  if (window_ != nullptr) window_->PaintNow();
}

void LogTee::MarkForRepaint() {
  if (window_ != nullptr) window_->MarkForRepaint();
}

void LogTee::AppendInCurrentColour(const std::string& text) {
  if (window_ != nullptr) window_->AppendInCurrentColour(text);
  ToFile(text);
}

}  // namespace upkit::app
