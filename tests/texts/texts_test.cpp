// The text table: language flag rules, the compile-time code page 1251
// conversion (checked against known bytes and, natively, against iconv), and
// the pairs that must switch independently.
#include "texts/texts.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#if !defined(_WIN32)
#include <iconv.h>
#endif

namespace upkit {
namespace {

// Restores English after each test so tests do not depend on order.
class TextsTest : public ::testing::Test {
 protected:
  void TearDown() override { SetLanguage(1); }
};

TEST_F(TextsTest, LanguageFlagTakesOnlyZeroAndOne) {
  EXPECT_EQ(LanguageFlag(), 1u);
  SetLanguage(0);
  EXPECT_EQ(LanguageFlag(), 0u);
  SetLanguage(2);
  EXPECT_EQ(LanguageFlag(), 0u);
  SetLanguage(static_cast<uint32_t>(-1));  // package value -1 seen as unsigned
  EXPECT_EQ(LanguageFlag(), 0u);
  SetLanguage(1);
  EXPECT_EQ(LanguageFlag(), 1u);
  SetLanguage(2);
  EXPECT_EQ(LanguageFlag(), 1u);
}

TEST_F(TextsTest, PickTextFollowsTheFlagAtCallTime) {
  EXPECT_STREQ(PickText(text::kClose), "Close");
  EXPECT_STREQ(PickText("r", "e"), "e");
  SetLanguage(0);
  EXPECT_STREQ(PickText("r", "e"), "r");
  EXPECT_EQ(PickText(text::kClose), text::kClose.russian);
}

TEST_F(TextsTest, ConvertedBytesAreCodePage1251) {
  // Single letters, including the two outside the contiguous А..я block.
  EXPECT_EQ(std::string(Cp1251<"А">.data()), "\xC0");
  EXPECT_EQ(std::string(Cp1251<"Я">.data()), "\xDF");
  EXPECT_EQ(std::string(Cp1251<"а">.data()), "\xE0");
  EXPECT_EQ(std::string(Cp1251<"я">.data()), "\xFF");
  EXPECT_EQ(std::string(Cp1251<"Ё">.data()), "\xA8");
  EXPECT_EQ(std::string(Cp1251<"ё">.data()), "\xB8");
  EXPECT_EQ(std::string(Cp1251<"№">.data()), "\xB9");
  // ASCII passes through; one letter per byte.
  EXPECT_EQ(std::string(Cp1251<"a\r\nZ">.data()), "a\r\nZ");
  EXPECT_EQ(Cp1251<"Ошибка">.size(), 7u);

  // A whole text against its known byte sequence.
  EXPECT_STREQ(text::kError.russian, "\xCE\xF8\xE8\xE1\xEA\xE0");
  EXPECT_STREQ(text::kSkipped.russian,
               "\xEF\xF0\xEE\xEF\xF3\xF9\xE5\xED \xE8\xE7-\xE7\xE0 "
               "\xEE\xF8\xE8\xE1\xEA\xE8: ");
  // The quit question carries "ещё" (ё = 0xB8) and its line ends.
  std::string quit = text::kQuitQuestion.russian;
  EXPECT_NE(quit.find("\xE5\xF9\xB8 \xF0\xE0\xE7.\r\n"), std::string::npos);
  EXPECT_EQ(quit.size(), std::strlen(text::kQuitQuestion.russian));
}

TEST_F(TextsTest, BlanksAndDistinctPairsAreKept) {
  // " has been skipped, error: " starts with a blank; its partner does not.
  EXPECT_EQ(text::kSkipped.english[0], ' ');
  EXPECT_NE(text::kSkipped.russian[0], ' ');
  EXPECT_STREQ(text::kNeed.english, " need ");
  EXPECT_STREQ(text::kNeed.russian, " \xED\xE0\xE4\xEE ");
  EXPECT_STREQ(text::kItemNameEnd, "]  ...  ");
  // The two "Browse" pairs share the English text but not the Russian one.
  SetLanguage(0);
  EXPECT_STREQ(PickText(text::kBrowseLink), "\xC2\xFB\xE1\xF0\xE0\xF2\xFC");  // Выбрать
  EXPECT_STREQ(PickText(text::kBrowseTitle), "\xCE\xE1\xE7\xEE\xF0");         // Обзор
  SetLanguage(1);
  EXPECT_STREQ(PickText(text::kBrowseLink), "Browse");
  EXPECT_STREQ(PickText(text::kBrowseTitle), "Browse");
}

TEST_F(TextsTest, FinishedWithErrorsFormatsBothLanguages) {
  char line[200];
  std::snprintf(line, sizeof line, text::kUpdateFinishedWithErrors.english, 2, 5);
  EXPECT_STREQ(line, "Update finished with errors: 2 of 5 files were not updated.");
  std::snprintf(line, sizeof line, text::kUpdateFinishedWithErrors.russian, 2, 5);
  EXPECT_NE(std::string(line).find(": 2 \xE8\xE7 5."), std::string::npos);  // "2 из 5."
}

#if !defined(_WIN32)
// The mapping table against the C library's own code page 1251 converter:
// every byte 0x80..0xFF decodes to a code point that maps back to that byte.
TEST_F(TextsTest, MappingAgreesWithIconv) {
  iconv_t cd = iconv_open("UTF-32LE", "CP1251");
  ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
  int checked = 0;
  for (int byte = 0x80; byte <= 0xFF; ++byte) {
    char in = static_cast<char>(byte);
    char32_t out = 0;
    char* ip = &in;
    char* op = reinterpret_cast<char*>(&out);
    size_t il = 1, ol = sizeof out;
    if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1)) {
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      EXPECT_EQ(byte, 0x98) << "iconv refused byte " << byte;
      continue;
    }
    EXPECT_EQ(Cp1251FromCodePoint(out), byte) << "code point " << static_cast<uint32_t>(out);
    ++checked;
  }
  iconv_close(cd);
  EXPECT_GE(checked, 127);
  EXPECT_EQ(Cp1251FromCodePoint(0x00E9), -1);  // é is not in the code page
}
#endif

}  // namespace
}  // namespace upkit
