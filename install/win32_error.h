// The operating system's failures turned into the system's one failure type.
//
// SystemMessage gives the text Windows has for an error code, in the user's
// language: at most 256 characters, with trailing blanks, control characters
// and full stops removed (so it can be followed by more text). The Raise
// functions throw upkit::Error with the run-time layer's fixed wording:
//   "System Error.  Code: <code>.\r\n<message>"   for a non-zero code,
//   "A call to an OS function failed"             for code 0.
// Win32 only.
#pragma once

#include <cstdint>
#include <string>

namespace upkit {

inline constexpr const char kOsCallFailed[] = "A call to an OS function failed";

// The system's message text for `code`; empty when the system has none (or
// it does not fit in 256 characters).
std::string SystemMessage(uint32_t code);

// The message RaiseSystemError throws for `code`.
std::string SystemErrorText(uint32_t code);

// Throws Error(SystemErrorText(code)).
[[noreturn]] void RaiseSystemError(uint32_t code);

// Throws Error(SystemErrorText(GetLastError())).
[[noreturn]] void RaiseLastSystemError();

// The absolute form of `file_name` (GetFullPathNameA); the name itself when
// the system cannot expand it.
std::string AbsoluteFileName(const std::string& file_name);

}  // namespace upkit
