// The rich-edit control of the run: which library and window class it comes
// from, and the few operations the log and the document viewer need.
//
// The library is chosen once per process: OLE is initialised, then the first
// library that loads from the system folder of "msftedit" (RichEdit50W),
// "riched20" (RichEdit20A), "riched32" (RichEdit) and "riched" (RichEdit) is
// kept, tried in the reverse order when OleInitialize failed.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace upkit::ui {

// Loads the library at first use; returns its window class name.
const char* RichEditClass();

// Appends `text` at the end of the control in `colour`: the colour of the
// current selection is set (colour attribute only, automatic colour off),
// the selection moves to the end, the text replaces it (no undo), and the
// selection moves to the end again.
void AppendRichText(HWND control, const std::string& text, COLORREF colour);
// The same without the colour step: the text takes the colour in force.
void AppendRichText(HWND control, const std::string& text);

// Replaces the whole content with `size` bytes of rich text format. Failures
// are swallowed: the control shows what it received.
void StreamInRtf(HWND control, const uint8_t* bytes, size_t size);

}  // namespace upkit::ui
