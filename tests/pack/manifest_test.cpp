// The manifest reader: every field, code page 1251 texts, path resolution,
// and errors that name the file, the line and the key.
#include <gtest/gtest.h>

#include <string>

#include "codec/error.h"
#include "pack/ansi_text.h"
#include "pack/host_fs.h"
#include "pack/manifest.h"

namespace upkit::pack {
namespace {

// A host path in the platform's own form ("\\" separators on Windows).
std::string Native(const std::string& p) { return Utf8Path(HostPath(p).lexically_normal()); }

std::string ErrorOf(const std::string& text) {
  try {
    ParseManifest(text, "upkit.toml", "/base");
  } catch (const Error& e) {
    return e.what();
  }
  return "accepted";
}

TEST(Manifest, ReadsEveryField) {
  const std::string text = R"(
[project]
name = "Редактор"
caption = "Editor update"
button = "Go"
default_dir = "$SETDIR$\\Editor"
language = "ru"
url = "https://example.org"
picture = "art/side.bmp"
document = "/abs/licence.rtf"
document_type = "guide"
author = { name = "Ann", mail = "ann@example.org", web = "example.org" }

[package]
version = 2
enciphered = false
compressed = false
level = 5
key = "000102030405060708090a0b0c0d0e0f101112131415161718191A1B1C1D1E1F"

[[item]]
origin_name = "app.exe"
path = "bin"
action = "patch"
check_size = true
check_crc = true
old = "old/bin/app.exe"
new = "new/bin/app.exe"

[[item]]
origin_name = "data.bin"
action = "patch"
check_size = true
size = 4096
check_crc = true
crc = 0xCBF43926
new_size = 4096
records = [ { offset = 16, bytes = "90 90" }, { offset = 100, bytes = "" } ]

[[item]]
origin_name = "Справка.chm"
update_name = "help"
action = "replace"
file = "new/Справка.chm"

[[item]]
origin_name = "tool.exe"
action = "resources"
resources = [
  { type = 10, name = "CONFIG", language = 1049, file = "cfg.bin" },
  { type = "MYTYPE", name = 7, remove = true },
]

[[item]]
origin_name = "old.dll"
action = "delete"

[[item]]
origin_name = "readme.txt"
action = "open"
)";
  Manifest m = ParseManifest(text, "upkit.toml", "/base");
  EXPECT_EQ(m.name, "\xD0\xE5\xE4\xE0\xEA\xF2\xEE\xF0");  // "Редактор" in code page 1251
  EXPECT_EQ(m.caption, "Editor update");
  EXPECT_EQ(m.button, "Go");
  EXPECT_EQ(m.default_dir, "$SETDIR$\\Editor");
  EXPECT_EQ(m.language, 0);
  EXPECT_EQ(m.url, "https://example.org");
  EXPECT_EQ(m.picture, Native("/base/art/side.bmp"));
  EXPECT_EQ(m.document, Native("/abs/licence.rtf"));
  EXPECT_EQ(m.document_type, 1);
  EXPECT_EQ(m.author_name, "Ann");
  EXPECT_EQ(m.author_mail, "ann@example.org");
  EXPECT_EQ(m.author_web, "example.org");
  EXPECT_EQ(m.version, 2);
  EXPECT_FALSE(m.enciphered);
  EXPECT_FALSE(m.compressed);
  EXPECT_EQ(m.level, 5);
  ASSERT_TRUE(m.key.has_value());
  for (int i = 0; i < 32; ++i) EXPECT_EQ((*m.key)[i], i);

  ASSERT_EQ(m.items.size(), 6u);
  const auto& patch = m.items[0];
  EXPECT_EQ(patch.line, 21);
  EXPECT_EQ(patch.action, kActionPatch);
  EXPECT_EQ(patch.path, "bin");
  EXPECT_EQ(patch.update_name, "app.exe") << "defaults to the origin name";
  EXPECT_TRUE(patch.check_size && patch.check_crc);
  EXPECT_FALSE(patch.size.has_value()) << "taken from the old file at build time";
  EXPECT_EQ(patch.old_file, Native("/base/old/bin/app.exe"));
  EXPECT_EQ(patch.new_file, Native("/base/new/bin/app.exe"));

  const auto& records = m.items[1];
  EXPECT_EQ(records.size, 4096);
  EXPECT_EQ(records.crc, static_cast<int32_t>(0xCBF43926u));
  EXPECT_EQ(records.new_size, 4096);
  ASSERT_EQ(records.records.size(), 2u);
  EXPECT_EQ(records.records[0].offset, 16);
  EXPECT_EQ(records.records[0].bytes, (std::vector<uint8_t>{0x90, 0x90}));
  EXPECT_TRUE(records.records[1].bytes.empty());

  const auto& replace = m.items[2];
  EXPECT_EQ(replace.origin_name, "\xD1\xEF\xF0\xE0\xE2\xEA\xE0.chm");
  EXPECT_EQ(replace.update_name, "help");
  EXPECT_EQ(replace.file, Native("/base/new/Справка.chm")) << "host paths stay UTF-8";

  const auto& res = m.items[3];
  ASSERT_EQ(res.resources.size(), 2u);
  EXPECT_FALSE(res.resources[0].type_is_name);
  EXPECT_EQ(res.resources[0].type_id, 10);
  EXPECT_TRUE(res.resources[0].name_is_text);
  EXPECT_EQ(res.resources[0].name_text, "CONFIG");
  EXPECT_EQ(res.resources[0].language, 1049);
  EXPECT_EQ(res.resources[0].file, Native("/base/cfg.bin"));
  EXPECT_TRUE(res.resources[1].type_is_name);
  EXPECT_EQ(res.resources[1].type_name, "MYTYPE");
  EXPECT_EQ(res.resources[1].name_id, 7);
  EXPECT_TRUE(res.resources[1].remove);

  EXPECT_EQ(m.items[4].action, kActionDelete);
  EXPECT_EQ(m.items[5].action, kActionOpen);
}

TEST(Manifest, DefaultsForAMinimalManifest) {
  Manifest m = ParseManifest("[[item]]\norigin_name = \"a\"\naction = \"delete\"\n", "m.toml", ".");
  EXPECT_EQ(m.version, 3);
  EXPECT_TRUE(m.enciphered);
  EXPECT_TRUE(m.compressed);
  EXPECT_EQ(m.level, 9);
  EXPECT_FALSE(m.key.has_value());
  EXPECT_EQ(m.language, 1);
  ASSERT_EQ(m.items.size(), 1u);
  EXPECT_FALSE(m.items[0].check_size);
}

TEST(Manifest, ErrorsNameFileLineAndKey) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"[[item]]\norigin_name = \"a\"\naction = \"delete\"\nfoo = 1\n",
       "upkit.toml:4: unknown key \"foo\" in [[item]]"},
      {"[project]\nname = \"x\"\n\ncolour = \"red\"\n", "upkit.toml:4: unknown key \"colour\" in [project]"},
      {"[project.author]\nphone = \"1\"\n", "upkit.toml:2: unknown key \"phone\" in [project.author]"},
      {"version = 3\n", "upkit.toml:1: unknown key \"version\""},
      {"[project]\nlanguage = \"de\"\n", "upkit.toml:2: \"language\" in [project] must be \"en\" or \"ru\", not \"de\""},
      {"[project]\ndocument_type = \"manual\"\n", "upkit.toml:2: \"document_type\" in [project] must be"},
      {"[project]\nname = 5\n", "upkit.toml:2: \"name\" in [project] must be a text"},
      {"[project]\ncaption = \"\xE5\x90\x8D\"\n", "upkit.toml:2: \"caption\" in [project]: \"\xE5\x90\x8D\" cannot be written in code page 1251"},
      {"[package]\nversion = 4\n", "upkit.toml:2: \"version\" in [package] must be a whole number from 2 to 3"},
      {"[package]\nlevel = 0\n", "upkit.toml:2: \"level\" in [package] must be a whole number from 1 to 9"},
      {"[package]\nenciphered = 1\n", "upkit.toml:2: \"enciphered\" in [package] must be true or false"},
      {"[package]\nkey = \"00\"\n", "upkit.toml:2: \"key\" in [package] must be 64 hexadecimal digits"},
      {"[package]\nkey = \"zz0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f\"\n",
       "upkit.toml:2: \"key\" in [package] must be 64 hexadecimal digits"},
      {"\n[[item]]\norigin_name = \"a\"\n", "upkit.toml:2: [[item]] needs \"action\""},
      {"[[item]]\norigin_name = \"a\"\naction = \"move\"\n", "upkit.toml:3: \"action\" in [[item]] must be one of"},
      {"[[item]]\naction = \"delete\"\n", "upkit.toml:1: [[item]] needs a non-empty \"origin_name\""},
      {"[[item]]\norigin_name = \"\xE2\x82\xBD.txt\"\naction = \"delete\"\n",
       "upkit.toml:2: \"origin_name\" in [[item]]: \"\xE2\x82\xBD.txt\" cannot be written in code page 1251"},
      {"[[item]]\norigin_name = \"a\"\naction = \"delete\"\nfile = \"x\"\n",
       "upkit.toml:4: key \"file\" does not belong to a \"delete\" item"},
      {"[[item]]\norigin_name = \"a\"\naction = \"replace\"\n", "upkit.toml:1: a \"replace\" item needs \"file\""},
      {"[[item]]\norigin_name = \"a\"\naction = \"patch\"\nold = \"o\"\n",
       "upkit.toml:1: a \"patch\" item needs both \"old\" and \"new\""},
      {"[[item]]\norigin_name = \"a\"\naction = \"delta\"\nnew = \"n\"\n",
       "upkit.toml:1: a \"delta\" item needs both \"old\" and \"new\""},
      {"[[item]]\norigin_name = \"a\"\naction = \"delta\"\nold = \"o\"\nnew = \"n\"\nnew_size = 3\n",
       "upkit.toml:6: key \"new_size\" does not belong to a \"delta\" item"},
      {"[[item]]\norigin_name = \"a\"\naction = \"patch\"\nold = \"o\"\nnew = \"n\"\nnew_size = 3\n",
       "upkit.toml:1: a \"patch\" item takes either"},
      {"[[item]]\norigin_name = \"a\"\naction = \"patch\"\nnew_size = 1\nrecords = [ { offset = 0, bytes = \"9\" } ]\n",
       "upkit.toml:5: \"bytes\" of a patch record has an odd number of digits"},
      {"[[item]]\norigin_name = \"a\"\naction = \"patch\"\nnew_size = 1\nrecords = [ { offset = -1, bytes = \"\" } ]\n",
       "upkit.toml:5: \"offset\" in a patch record must be a whole number from 0"},
      {"[[item]]\norigin_name = \"a\"\naction = \"delete\"\ncheck_size = true\n",
       "upkit.toml:1: \"check_size\" needs \"size\" in [[item]]"},
      {"[[item]]\norigin_name = \"a\"\naction = \"delete\"\ncrc = \"abc\"\n",
       "upkit.toml:4: \"crc\" in [[item]] must be a whole number"},
      {"[[item]]\norigin_name = \"a\"\naction = \"delete\"\nsize = -2147483649\n",  // below the 32-bit form
       "upkit.toml:4: \"size\" in [[item]] must be a whole number"},
      {"[[item]]\norigin_name = \"a\"\naction = \"resources\"\nresources = [ { type = 10, file = \"f\" } ]\n",
       "upkit.toml:4: a resource needs \"type\" and \"name\""},
      {"[[item]]\norigin_name = \"a\"\naction = \"resources\"\nresources = [ { type = 70000, name = 1, file = \"f\" } ]\n",
       "upkit.toml:4: \"type\" in a resource must be a whole number from 0 to 65535"},
      {"[[item]]\norigin_name = \"a\"\naction = \"resources\"\nresources = [ { type = 10, name = 1 } ]\n",
       "upkit.toml:4: a resource needs either \"file\" or \"remove = true\""},
      {"[[item]]\norigin_name = \"a\"\naction = \"resources\"\nresources = [ { type = 10, name = 1, lang = 0, file = \"f\" } ]\n",
       "upkit.toml:4: unknown key \"lang\" in a resource"},
      {"[project]\nname = \"unterminated\n", "upkit.toml:2: "},
      {"[[item]]\norigin_name = \"a\"\norigin_name = \"b\"\n", "upkit.toml:3: "},
  };
  for (const Case& c : cases) {
    std::string got = ErrorOf(c.text);
    EXPECT_EQ(got.rfind(c.message, 0), 0u) << "manifest:\n" << c.text << "\ngot: " << got;
  }
}

TEST(Manifest, FormattedManifestReadsBackTheSame) {
  Manifest m;
  m.name = "\xD0\xE5\xE4";  // "Ред"
  m.caption = "Quote \" and backslash \\";
  m.button = "OK";
  m.default_dir = "$PATH$\\";
  m.language = 0;
  m.document = "/work/doc.rtf";
  m.document_type = 1;
  m.author_mail = "a@b";
  m.key = CipherKey{};
  (*m.key)[31] = 0xFF;
  ManifestItem patch;
  patch.origin_name = "\xF4.bin";
  patch.update_name = "u";
  patch.path = "a\\b";
  patch.action = kActionPatch;
  patch.check_size = patch.check_crc = true;
  patch.size = 7;
  patch.crc = static_cast<int32_t>(0x80000001u);
  patch.old_file = "/work/old/a/b/\xD1\x84.bin";
  patch.new_file = "/work/new/a/b/\xD1\x84.bin";
  m.items.push_back(patch);
  ManifestItem records;
  records.origin_name = "r";
  records.update_name = "r";
  records.action = kActionPatch;
  records.new_size = 3;
  records.records = {{1, {0xAB, 0xCD}}};
  m.items.push_back(records);
  ManifestItem res;
  res.origin_name = res.update_name = "t.exe";
  res.action = kActionResources;
  res.resources.push_back({false, 10, "", true, 0, "LR5", 0, "/work/pkg.bin", false});
  res.resources.push_back({true, 0, "X", false, 3, "", 9, "", true});
  m.items.push_back(res);

  std::string text = FormatManifest(m, "/work");
  Manifest back = ParseManifest(text, "out.toml", "/work");
  EXPECT_EQ(back.name, m.name);
  EXPECT_EQ(back.caption, m.caption);
  EXPECT_EQ(back.default_dir, m.default_dir);
  EXPECT_EQ(back.language, 0);
  EXPECT_EQ(back.document, Native(m.document));
  EXPECT_EQ(back.document_type, 1);
  EXPECT_EQ(back.author_mail, "a@b");
  EXPECT_EQ(back.key, m.key);
  ASSERT_EQ(back.items.size(), 3u);
  EXPECT_EQ(back.items[0].origin_name, patch.origin_name);
  EXPECT_EQ(back.items[0].update_name, "u");
  EXPECT_EQ(back.items[0].path, "a\\b");
  EXPECT_EQ(back.items[0].size, 7);
  EXPECT_EQ(back.items[0].crc, patch.crc);
  EXPECT_EQ(back.items[0].old_file, Native(patch.old_file));
  EXPECT_EQ(back.items[0].new_file, Native(patch.new_file));
  EXPECT_NE(text.find("old = \"old/a/b/"), std::string::npos) << "paths are written relative";
  EXPECT_EQ(back.items[1].new_size, 3);
  ASSERT_EQ(back.items[1].records.size(), 1u);
  EXPECT_EQ(back.items[1].records[0].bytes, records.records[0].bytes);
  ASSERT_EQ(back.items[2].resources.size(), 2u);
  EXPECT_EQ(back.items[2].resources[0].name_text, "LR5");
  EXPECT_EQ(back.items[2].resources[0].file, Native("/work/pkg.bin"));
  EXPECT_EQ(back.items[2].resources[1].type_name, "X");
  EXPECT_EQ(back.items[2].resources[1].language, 9);
  EXPECT_TRUE(back.items[2].resources[1].remove);
}

TEST(AnsiText, CodePage1251BothWays) {
  // Every assigned byte survives the round trip through UTF-8.
  for (int b = 1; b < 256; ++b) {
    if (b == 0x98) continue;
    std::string one(1, static_cast<char>(b));
    auto back = Utf8ToCp1251(Cp1251ToUtf8(one));
    ASSERT_TRUE(back.has_value()) << b;
    EXPECT_EQ(*back, one) << b;
  }
  EXPECT_EQ(Cp1251ToUtf8("\xA8\xB8\xB9\x88"), "Ёё№€");
  EXPECT_EQ(Utf8ToCp1251("Ёлка №1 — €"), std::optional<std::string>("\xA8\xEB\xEA\xE0 \xB9\x31 \x97 \x88"));
  EXPECT_FALSE(Utf8ToCp1251("日本").has_value());
  EXPECT_FALSE(Utf8ToCp1251("\xC3").has_value()) << "cut sequence";
  EXPECT_FALSE(Utf8ToCp1251("\xC0\xAF").has_value()) << "overlong form";
  EXPECT_FALSE(Utf8ToCp1251("\xEF\xBF\xBD").has_value()) << "U+FFFD has no byte";
}

TEST(AnsiText, Utf8EncoderAtEveryLengthBoundary) {
  EXPECT_EQ(Cp1251ToUtf8("\x98"), "\xEF\xBF\xBD") << "the unassigned byte reads as U+FFFD";
  struct Case {
    char32_t c;
    const char* utf8;
  };
  for (const Case& k : {Case{0x7F, "\x7F"}, Case{0x80, "\xC2\x80"}, Case{0x7FF, "\xDF\xBF"},
                        Case{0x800, "\xE0\xA0\x80"}, Case{0xFFFF, "\xEF\xBF\xBF"},
                        Case{0x10000, "\xF0\x90\x80\x80"}, Case{0x1F600, "\xF0\x9F\x98\x80"},
                        Case{0x10FFFF, "\xF4\x8F\xBF\xBF"}}) {
    std::string out = "<";
    AppendUtf8(out, k.c);
    EXPECT_EQ(out, std::string("<") + k.utf8) << static_cast<uint32_t>(k.c);
  }
}

}  // namespace
}  // namespace upkit::pack
