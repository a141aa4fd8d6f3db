#include "ui/system_library.h"

#include <string>

namespace upkit::ui {

HMODULE LoadSystemLibrary(const char* name) {
  HMODULE module = ::LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Systems without the search flags refuse it as an invalid parameter:
  // name the file by its full path instead.
  if (module || ::GetLastError() != ERROR_INVALID_PARAMETER) return module;
  char folder[MAX_PATH + 1] = {};
  UINT length = ::GetSystemDirectoryA(folder, MAX_PATH);
  if (length == 0 || length > MAX_PATH) return nullptr;
  std::string path(folder, length);
  if (path.back() != '\\') path += '\\';
  return ::LoadLibraryA((path + name).c_str());
}

}  // namespace upkit::ui
