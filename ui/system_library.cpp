#include "ui/system_library.h"

#include <string>

namespace upkit::ui {

HMODULE LoadSystemLibrary(const char* name) {
#if !defined(UPKIT_FORCE_DLL_FALLBACK)
  HMODULE module = ::LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Systems without the search flags refuse it as an invalid parameter:
  // name the file by its full path instead.
  if (module || ::GetLastError() != ERROR_INVALID_PARAMETER) return module;
#endif
  char folder[MAX_PATH + 1] = {};
  UINT length = ::GetSystemDirectoryA(folder, MAX_PATH);
  if (length == 0 || length > MAX_PATH) return nullptr;
  std::string path(folder, length);
  if (path.back() != '\\') path += '\\';
  // The altered search: the library's own imports are looked for in its
  // folder (System32) first, not in the program's folder.
  return ::LoadLibraryExA((path + name).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace upkit::ui
