#include "ui/rich_edit.h"

#include <ole2.h>
#include <richedit.h>

#include "ui/system_library.h"

namespace upkit::ui {
namespace {

struct Library {
  const char* dll;
  const char* cls;
};
constexpr Library kLibraries[] = {
    {"msftedit.dll", "RichEdit50W"},
    {"riched20.dll", "RichEdit20A"},
    {"riched32.dll", "RichEdit"},
    {"riched.dll", "RichEdit"},
};
constexpr int kLibraryCount = sizeof(kLibraries) / sizeof(kLibraries[0]);

const char* LoadLibraryOnce() {
  bool ole = SUCCEEDED(OleInitialize(nullptr));
  for (int i = 0; i < kLibraryCount; ++i) {
    const Library& library = kLibraries[ole ? i : kLibraryCount - 1 - i];
    // From the system folder only; kept loaded for the whole run: the
    // control class lives in it.
    if (LoadSystemLibrary(library.dll)) return library.cls;
  }
  return "RichEdit";
}

struct RtfSource {
  const uint8_t* next;
  size_t left;
};

DWORD CALLBACK ReadRtf(DWORD_PTR cookie, LPBYTE buffer, LONG wanted, LONG* given) noexcept {
  auto* source = reinterpret_cast<RtfSource*>(cookie);
  size_t count = wanted < 0 ? 0 : static_cast<size_t>(wanted);
  if (count > source->left) count = source->left;
  if (count) CopyMemory(buffer, source->next, count);
  source->next += count;
  source->left -= count;
  *given = static_cast<LONG>(count);
  return 0;
}

}  // namespace

const char* RichEditClass() {
  static const char* cls = LoadLibraryOnce();
  return cls;
}

void AppendRichText(HWND control, const std::string& text, COLORREF colour) {
  CHARFORMATA format{};
  format.cbSize = sizeof(format);
  format.dwMask = CFM_COLOR;
  format.dwEffects = 0;  // CFE_AUTOCOLOR off
  format.crTextColor = colour;
  SendMessageA(control, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
  AppendRichText(control, text);
}

void AppendRichText(HWND control, const std::string& text) {
  LRESULT end = SendMessageA(control, WM_GETTEXTLENGTH, 0, 0);
  SendMessageA(control, EM_SETSEL, static_cast<WPARAM>(end), end);
  SendMessageA(control, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  end = SendMessageA(control, WM_GETTEXTLENGTH, 0, 0);
  SendMessageA(control, EM_SETSEL, static_cast<WPARAM>(end), end);
}

void StreamInRtf(HWND control, const uint8_t* bytes, size_t size) {
  RtfSource source{bytes, bytes ? size : 0};
  EDITSTREAM stream{};
  stream.dwCookie = reinterpret_cast<DWORD_PTR>(&source);
  stream.pfnCallback = ReadRtf;
  SendMessageA(control, EM_STREAMIN, SF_RTF, reinterpret_cast<LPARAM>(&stream));
}

}  // namespace upkit::ui
