// The fallback of LoadSystemLibrary, forced in this build
// (UPKIT_FORCE_DLL_FALLBACK): a library loaded by its System32 path takes its
// own imports from System32 too, not from the program's folder.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "ui/system_library.h"

namespace {

std::string Folder(const std::string& path) { return path.substr(0, path.find_last_of('\\') + 1); }

std::string ModulePath(HMODULE module) {
  char path[MAX_PATH + 1] = {};
  return std::string(path, GetModuleFileNameA(module, path, MAX_PATH));
}

// Regression: the full-path load searched the program's folder first for
// the library's imports, so a dependency planted there was taken.
TEST(DllFallback, ImportsOfAFullPathLoadComeFromSystem32) {
  // The pair lies beside this program, as a planted copy would; the real
  // pair goes into System32.
  const std::string here = Folder(ModulePath(nullptr));
  char system[MAX_PATH + 1] = {};
  std::string system_folder(system, GetSystemDirectoryA(system, MAX_PATH));
  system_folder += '\\';
  for (const char* name : {"upkprobe.dll", "upkprobedep.dll"}) {
    ASSERT_TRUE(CopyFileA((here + name).c_str(), (system_folder + name).c_str(), FALSE)) << name;
  }
  HMODULE probe = upkit::ui::LoadSystemLibrary("upkprobe.dll");
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(ModulePath(probe), system_folder + "upkprobe.dll");
  EXPECT_EQ(ModulePath(GetModuleHandleA("upkprobedep.dll")), system_folder + "upkprobedep.dll");
  FreeLibrary(probe);
  for (const char* name : {"upkprobe.dll", "upkprobedep.dll"}) DeleteFileA((system_folder + name).c_str());
}

}  // namespace
