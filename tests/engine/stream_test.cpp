// TVirtualFileStream over real files, and the system error texts.
#include <gtest/gtest.h>

#include <functional>

#include "codec/error.h"
#include "tests/engine/support.h"
#include "update/virtual_file_stream.h"
#include "update/win32_error.h"

namespace upkit {
namespace {

using test::Bytes;
using test::MessageOf;
using test::TempFolder;

TEST(SystemErrors, TextsHaveTheRunTimeLayersShape) {
  std::string missing = SystemMessage(ERROR_FILE_NOT_FOUND);
  ASSERT_FALSE(missing.empty());
  EXPECT_NE(missing.back(), '.');
  EXPECT_GT(static_cast<unsigned char>(missing.back()), ' ');
  EXPECT_EQ(SystemErrorText(ERROR_FILE_NOT_FOUND), "System Error.  Code: 2.\r\n" + missing);
  EXPECT_EQ(SystemErrorText(0), "A call to an OS function failed");
  EXPECT_EQ(MessageOf([] { RaiseSystemError(5); }),
            "System Error.  Code: 5.\r\n" + SystemMessage(5));
  // Codes above 0x7FFFFFFF print as signed numbers.
  EXPECT_EQ(SystemErrorText(0x80070005).substr(0, 34), "System Error.  Code: -2147024891.\r");
}

TEST(VirtualFileStream, MapsTheWholeFile) {
  TempFolder folder;
  test::WriteBytes(folder / "one", {0xA5});
  {
    TVirtualFileStream stream(folder / "one", 0);
    ASSERT_EQ(stream.Size(), 1u);
    EXPECT_EQ(stream.Memory()[0], 0xA5);
    EXPECT_EQ(stream.Position(), 0u);
  }
  Bytes content(70000);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7);
  test::WriteBytes(folder / "big", content);
  TVirtualFileStream stream(folder / "big", 0);
  ASSERT_EQ(stream.Size(), content.size());
  EXPECT_EQ(Bytes(stream.Memory(), stream.Memory() + stream.Size()), content);
  // Inherited reading and seeking.
  uint8_t tail[8];
  stream.Seek(content.size() - 3);
  EXPECT_EQ(stream.Read(tail, sizeof tail), 3u);
  EXPECT_EQ(tail[2], content.back());
}

TEST(VirtualFileStream, FailuresCarryTheSystemText) {
  TempFolder folder;
  EXPECT_EQ(MessageOf([&] { TVirtualFileStream s(folder / "absent", 0); }),
            SystemMessage(ERROR_FILE_NOT_FOUND));
  test::WriteBytes(folder / "empty", {});
  std::string empty = MessageOf([&] { TVirtualFileStream s(folder / "empty", 0); });
  EXPECT_NE(empty, "(nothing raised)");
  // The failed constructions left nothing open: both files can be deleted.
  EXPECT_TRUE(::DeleteFileA((folder / "empty").c_str()));

  test::WriteBytes(folder / "f", {1, 2, 3});
  EXPECT_EQ(MessageOf([&] { TVirtualFileStream s(folder / "f", 1); }),
            "TVirtualFileStream: write modes are not supported");
  TVirtualFileStream stream(folder / "f", 0);
  for (uint64_t size : {0ull, 3ull, 4ull, 1ull << 40}) {
    EXPECT_EQ(MessageOf([&] { stream.SetSize(size); }), "TVirtualFileStream");
  }
  EXPECT_EQ(stream.Size(), 3u);
}

TEST(VirtualFileStream, SharesWithWritersAndReleasesEverything) {
  TempFolder folder;
  const std::string name = folder / "shared";
  test::WriteBytes(name, {9, 8, 7});
  // Another program holds the file open for writing (sharing read and write).
  HANDLE writer = ::CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  {
    TVirtualFileStream stream(name, 0);
    EXPECT_EQ(stream.Size(), 3u);
    EXPECT_EQ(stream.Memory()[2], 7);
  }
  ::CloseHandle(writer);
  // No handle, mapping or view stays: the file can be replaced and deleted.
  test::WriteBytes(name, {1});
  EXPECT_TRUE(::DeleteFileA(name.c_str()));
}

}  // namespace
}  // namespace upkit
