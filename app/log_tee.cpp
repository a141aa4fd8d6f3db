#include "app/log_tee.h"

#include <windows.h>

#include <vector>

#include "install/win32_error.h"

namespace upkit::app {

LogFile::LogFile(const std::string& name)
    : file_(::CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr)) {
  if (!file_) RaiseLastSystemError();
}

void LogFile::Write(const std::string& text) {
  if (!file_ || text.empty()) return;
  // ANSI text to UTF-16 (one unit per byte at most), then to UTF-8 (three
  // bytes per unit at most). Log texts are lines, far below 2 GiB.
  const int size = static_cast<int>(text.size());
  std::vector<wchar_t> wide(text.size());
  int units = ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), size);
  std::string utf8(static_cast<size_t>(units) * 3, '\0');
  int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, utf8.data(),
                                    static_cast<int>(utf8.size()), nullptr, nullptr);
  DWORD written = 0;
  ::WriteFile(file_.Get(), utf8.data(), static_cast<DWORD>(bytes), &written, nullptr);
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
