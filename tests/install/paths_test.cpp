// Path macros, the item's full file name and the folder part.
#include <gtest/gtest.h>

#include "install/engine.h"
#include "install/path_macros.h"
#include "tests/install/support.h"

namespace upkit {
namespace {

using test::ProgramFolder;

std::string SystemRoot() {
  char buffer[MAX_PATH];
  UINT length = ::GetSystemDirectoryA(buffer, sizeof buffer);
  return std::string(buffer, length).substr(0, 3);
}

TEST(PathMacros, LeadingMacroIsReplacedWhateverTheLetterCase) {
  const std::string root = SystemRoot();
  ASSERT_EQ(root.size(), 3u);
  ASSERT_EQ(root.substr(1), ":\\");
  EXPECT_EQ(ExpandPathMacros("$DRIVE$\\"), root);
  EXPECT_EQ(ExpandPathMacros("$drive$\\x"), root + "x");
  EXPECT_EQ(ExpandPathMacros("$Drive$\\x\\y"), root + "x\\y");
  EXPECT_EQ(ExpandPathMacros("$SETDIR$\\Foo"), root + "Program Files\\Foo");
  EXPECT_EQ(ExpandPathMacros("$setdir$\\"), root + "Program Files\\");
  EXPECT_EQ(ExpandPathMacros("$PATH$\\"), ProgramFolder());
  EXPECT_EQ(ExpandPathMacros("$path$\\data\\"), ProgramFolder() + "data\\");
}

TEST(PathMacros, AnythingElseIsLeftAsItIs) {
  for (const char* text : {"", "$PATH$", "$DRIVE$", " $PATH$\\", "x$PATH$\\", "C:\\$DRIVE$\\",
                           "$DRIVE$/", "$PA TH$\\", "\xC4RIVE$\\"}) {
    EXPECT_EQ(ExpandPathMacros(text), text) << text;
  }
  // Only one macro, only at the start.
  EXPECT_EQ(ExpandPathMacros("$DRIVE$\\$PATH$\\"), SystemRoot() + "$PATH$\\");
  EXPECT_TRUE(StartsWithPathMacro("$setdir$\\a"));
  EXPECT_FALSE(StartsWithPathMacro(" $setdir$\\a"));
}

TEST(FullFileName, PathIsTrimmedAndGetsOneSeparator) {
  TFileItem item = test::MakeItem("f.dll", 1);
  auto full = [&](const std::string& destination, const std::string& path) {
    item.Path = path;
    return FullFileName(destination, item);
  };
  for (const char* path : {"", "\\", "   ", " \\ ", "\t\r\n"}) {
    EXPECT_EQ(full("C:\\App", path), "C:\\App\\f.dll") << '"' << path << '"';
  }
  EXPECT_EQ(full("C:\\App\\", ""), "C:\\App\\f.dll");
  for (const char* path : {"bin", "\\bin", " \\bin\\ ", "bin\\", "\t\\bin "}) {
    EXPECT_EQ(full("C:\\App", path), "C:\\App\\bin\\f.dll") << '"' << path << '"';
  }
  EXPECT_EQ(full("C:\\App", "a\\b"), "C:\\App\\a\\b\\f.dll");
  // Only one leading "\" goes.
  EXPECT_EQ(full("C:\\App", "\\\\x"), "C:\\App\\\\x\\f.dll");
  // The name is used exactly as stored.
  item.OriginName = " f.dll ";
  EXPECT_EQ(full("C:\\App", "bin"), "C:\\App\\bin\\ f.dll ");
}

TEST(FullFileName, MacroPathNamesItsOwnFolder) {
  TFileItem item = test::MakeItem("f.dll", 3);
  item.Path = "$PATH$\\plugins";
  EXPECT_EQ(FullFileName("C:\\App", item), ProgramFolder() + "plugins\\f.dll");
  item.Path = "  $SETDIR$\\Foo\\  ";
  EXPECT_EQ(FullFileName("C:\\App", item), SystemRoot() + "Program Files\\Foo\\f.dll");
  item.Path = "$DRIVE$\\";
  EXPECT_EQ(FullFileName("C:\\App", item), SystemRoot() + "f.dll");
  // Not at the start: an ordinary sub-folder name.
  item.Path = "x\\$PATH$\\";
  EXPECT_EQ(FullFileName("C:\\App", item), "C:\\App\\x\\$PATH$\\f.dll");
}

TEST(FullFileName, FolderPartEndsAtTheLastSeparator) {
  EXPECT_EQ(FolderPart("C:\\App\\bin\\f.dll"), "C:\\App\\bin\\");
  EXPECT_EQ(FolderPart("C:f.dll"), "C:");
  EXPECT_EQ(FolderPart("f.dll"), "");
  EXPECT_EQ(FolderPart("C:\\App\\"), "C:\\App\\");
}

}  // namespace
}  // namespace upkit
