#include "app/dll_search.h"

#include <windows.h>

#include "ui/system_library.h"

namespace upkit::app {
namespace {

// Libraries that the system's own code (themes, the shell, OLE, the common
// dialogs, version checks) loads by name on demand, and that are not in the
// system's known set. Loaded once from System32, they are found in memory
// and never searched for again. Each library's own dependencies outside the
// known set come before it (dwmapi for uxtheme, profapi for userenv, winsta
// for wtsapi32), so they are in memory already when it loads; the altered
// search path of the full-path loads covers the rest.
constexpr const char* kPreloaded[] = {
    "dwmapi.dll",  "uxtheme.dll", "version.dll",  "cryptbase.dll", "propsys.dll",
    "profapi.dll", "userenv.dll", "apphelp.dll",  "oleacc.dll",    "ntmarta.dll",
    "sspicli.dll", "winsta.dll",  "wtsapi32.dll", "comctl32.dll",
};

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

}  // namespace

void LockDllSearchToSystem32() {
  auto set_default = ui::SystemProc<SetDefaultDllDirectoriesFunction>(
      ::GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories");
  if (set_default && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  ::SetDllDirectoryA("");
  for (const char* name : kPreloaded) ui::LoadSystemLibrary(name);
}

}  // namespace upkit::app
