// The run sequence: load the package from the resource LR5, show the
// document dialog, the wizard and the results window with the engine, and end
// the process with its exit code:
//   0  the results window was closed (or the quit question was confirmed)
//   1  the package could not be loaded (after the error box)
//   2  the document was not accepted
//   5  the wizard was cancelled
// Codes 1, 2 and 5 end the process at once with ExitProcess.
#pragma once

#include <string>

namespace upkit::app {

// The maker's web address, shown when the package leaves WinURL empty.
inline constexpr const char kMakerUrl[] = "https://upkit.example.org/";

// Folder of the running executable, with its trailing "\".
std::string ModuleFolder();

// Runs the whole sequence; returns 0 at the ordinary end.
int RunInstaller();

}  // namespace upkit::app
