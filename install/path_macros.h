// Path macros: a folder text may begin with a macro that stands for a folder
// of the machine the update runs on.
//   "$DRIVE$\"   the root of the drive holding the Windows system folder ("C:\")
//   "$SETDIR$\"  that root followed by the fixed text "Program Files\"
//   "$PATH$\"    the folder of the running program, up to its last "\"
// Only a macro at the very start is replaced (ASCII letters compared without
// case, no trimming), and only one; the rest of the text follows unchanged.
// Win32 only (asks the system for its folders, and only when a macro is there).
#pragma once

#include <string>

namespace upkit {

// The text with a leading macro replaced; the text unchanged otherwise.
// Raises nothing.
std::string ExpandPathMacros(const std::string& text);

// True when `text` begins with one of the macros above.
bool StartsWithPathMacro(const std::string& text);

}  // namespace upkit
