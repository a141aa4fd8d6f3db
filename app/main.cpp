// Entry point of the installer stub. It takes no arguments and reads no
// configuration: everything comes from its own LR5 resource.
#include <windows.h>

#include "app/run_sequence.h"
#include "ui/window_services.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  upkit::ui::InitApplication();
  int code = upkit::app::RunInstaller();
  upkit::ui::ShutdownApplication();
  return code;
}
