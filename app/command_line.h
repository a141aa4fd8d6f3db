// The installer's command line, for software-distribution tools that run it
// without a person:
//   /S          silent: no window and no message box
//   /D=FOLDER   destination folder; the last switch, taking the rest of the
//               line (spaces included, no quotes)
//   /LOG=FILE   also write the log to FILE; FILE may be quoted
//   /?          a box listing the switches
// Switches are told apart without regard to letter case and come in any
// order; a repeated switch counts once, the last value winning.
// Portable: parsing only.
#pragma once

#include <string>
#include <string_view>

namespace upkit::app {

struct CommandLine {
  bool silent = false;
  bool help = false;
  std::string destination;  // empty when not given
  std::string log_file;     // empty when not given
  std::string bad_switch;   // the first word not understood; empty when all were
};

// Parses the arguments that follow the program's name. A switch without its
// value ("/D=", "/LOG=", an unclosed quote) is a bad switch, as is any word
// that is not a switch.
CommandLine ParseCommandLine(std::string_view arguments);

}  // namespace upkit::app
