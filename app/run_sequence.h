// app/: the installer executable: entry point, command line, DLL search,
// log file, and this run sequence.
//
// The run sequence: load the package from the resource LR5, show the
// document dialog, the wizard and the results window with the engine, and end
// the process with its exit code:
//   0  the results window was closed (or the quit question was confirmed)
//   1  the package could not be loaded (after the error box)
//   2  the document was not accepted
//   5  the wizard was cancelled
// Codes 1, 2 and 5 end the process at once with ExitProcess.
//
// The command line (app/command_line.h) adds: /D= starts the wizard in that
// folder; /LOG= copies the log to a file; /? shows the switch list (code 0);
// a bad switch shows it too and ends with code 6 before anything changes
// (no log file is created for a refused line).
// A silent run (/S) shows no window and no box, takes the licence as
// accepted, installs into /D= or the wizard's start folder and ends with
//   0  every item done           3  at least one item not updated
//   1  package unreadable        4  the destination folder does not exist
//   6  bad command line       3010  done, some files replaced at restart
#pragma once

#include <string>

namespace upkit::app {

// The maker's web address, shown when the package leaves WinURL empty.
inline constexpr const char kMakerUrl[] = "https://upkit.example.org/";

// Folder of the running executable, with its trailing "\".
std::string ModuleFolder();

// Runs the whole sequence for the arguments after the program's name;
// returns the exit code (0 at the ordinary end of an interactive run).
int RunInstaller(const char* arguments);

}  // namespace upkit::app
