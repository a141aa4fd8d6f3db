// Entry point of the installer stub. Everything it installs comes from its
// own LR5 resource; the command line only says how (app/command_line.h).
#include <windows.h>

#include <cstdlib>

#include "app/dll_search.h"
#include "app/run_sequence.h"
#include "ui/window_services.h"

#if defined(__GLIBCXX__)
// libstdc++'s default terminate handler demangles the exception's type name
// for a console message, which links in the whole demangler (about 46 KiB).
// A GUI stub has no console: end the process plainly instead.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
#endif

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR arguments, int) {
  // Before anything can load a library: the download folder is not a place
  // to take DLLs from.
  upkit::app::LockDllSearchToSystem32();
  upkit::ui::InitApplication();
  int code = upkit::app::RunInstaller(arguments);
  upkit::ui::ShutdownApplication();
  return code;
}
