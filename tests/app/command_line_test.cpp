#include "app/command_line.h"

#include <gtest/gtest.h>

#include "codec/cp1251.h"

namespace upkit::app {
namespace {

TEST(CommandLine, SwitchesInAnyOrderAndLetterCase) {
  CommandLine line = ParseCommandLine("  /log=C:\\t\\run.log /s /D=C:\\Program Files\\My App  ");
  EXPECT_TRUE(line.silent);
  EXPECT_FALSE(line.help);
  EXPECT_EQ(line.log_file, "C:\\t\\run.log");
  EXPECT_EQ(line.destination, "C:\\Program Files\\My App");  // rest of the line, end trimmed
  EXPECT_TRUE(line.bad_switch.empty());

  line = ParseCommandLine("/LOG=\"C:\\my logs\\a b.log\"\t/?");
  EXPECT_EQ(line.log_file, "C:\\my logs\\a b.log");
  EXPECT_TRUE(line.help);
  EXPECT_FALSE(line.silent);

  // /D= takes everything after it, switches included.
  line = ParseCommandLine("/d=D:\\x /S");
  EXPECT_EQ(line.destination, "D:\\x /S");
  EXPECT_FALSE(line.silent);

  // Tools that quote every argument with a blank in it.
  line = ParseCommandLine("\"/LOG=C:\\a b.log\" \"/D=C:\\My Folder\"");
  EXPECT_EQ(line.log_file, "C:\\a b.log");
  EXPECT_EQ(line.destination, "C:\\My Folder");
  EXPECT_TRUE(line.bad_switch.empty());

  line = ParseCommandLine("");
  EXPECT_TRUE(line.destination.empty() && line.log_file.empty() && line.bad_switch.empty());
  EXPECT_FALSE(line.silent || line.help);
}

TEST(CommandLine, TheFirstWordNotUnderstoodIsNamed) {
  EXPECT_EQ(ParseCommandLine("/S /silent /X").bad_switch, "/silent");
  EXPECT_TRUE(ParseCommandLine("/S /silent").silent) << "later switches still count";
  EXPECT_EQ(ParseCommandLine("setup.ini").bad_switch, "setup.ini");
  EXPECT_EQ(ParseCommandLine("/S /D=   ").bad_switch, "/D=");
  EXPECT_EQ(ParseCommandLine("/LOG=").bad_switch, "/LOG=");
  EXPECT_EQ(ParseCommandLine("/LOG=\"a b.log").bad_switch, "/LOG=\"a b.log");
  EXPECT_EQ(ParseCommandLine("/LOG=\"a\"b /S").bad_switch, "/LOG=\"a\"b");
  EXPECT_EQ(ParseCommandLine("/SS").bad_switch, "/SS");
}

TEST(LogText, Cp1251BecomesUtf8) {
  // "Ок" (two Cyrillic letters), the euro sign (three bytes) and ASCII.
  EXPECT_EQ(cp1251::ToUtf8("\xCE\xEA \x88 ok\r\n"), "\xD0\x9E\xD0\xBA \xE2\x82\xAC ok\r\n");
}

}  // namespace
}  // namespace upkit::app
