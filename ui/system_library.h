// Libraries loaded at run time, from the system folder only.
//
// The installer runs elevated from whatever folder it was downloaded to, so
// a library found there by name could be anyone's. Every library the stub
// loads itself (rich edit, common controls, the preloads of the start-up)
// comes through LoadSystemLibrary, which never searches the program's folder
// or the current one.
#pragma once

#include <windows.h>

namespace upkit::ui {

// Loads `name` (a file name such as "msftedit.dll") from the system folder:
// with the loader's System32-only search where the system has it, otherwise
// by its full path below GetSystemDirectoryA with the altered search path,
// so its own imports come from System32 too. Returns null when it is not
// there. The library stays loaded (nothing here frees it).
// A test build defines UPKIT_FORCE_DLL_FALLBACK to take the full-path way
// on every system; the shipped stub never does.
HMODULE LoadSystemLibrary(const char* name);

// The exported function `name` of `module` as a `Function` pointer; null
// when the module is null or has no such export.
template <typename Function>
Function SystemProc(HMODULE module, const char* name) {
  if (!module) return nullptr;
  // Through a plain function pointer: GetProcAddress's own type differs.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

}  // namespace upkit::ui
