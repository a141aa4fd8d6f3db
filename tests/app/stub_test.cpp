// The stub file as shipped: it runs elevated from a download folder, so its
// import table may name only libraries Windows always takes from its known
// set, the test build's fault hook must have left no trace in it, and its
// manifest asks for what the vendor and the look need.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "codec/error.h"
#include "pack/elevation.h"
#include "pack/pe_reader.h"

namespace upkit {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadStub(const std::string& unix_path) {
  std::string path = "Z:" + unix_path;
  std::replace(path.begin(), path.end(), '/', '\\');
  Bytes bytes;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    unsigned char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
    std::fclose(file);
  }
  return bytes;
}

uint32_t U32(const Bytes& bytes, uint64_t at) {
  if (at > bytes.size() || bytes.size() - at < 4) throw Error("read past the end");
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

// The library names of the import directory, lower-cased.
std::vector<std::string> ImportedLibraries(const Bytes& file) {
  pack::PeImageInfo image = pack::ReadPeHeaders(file);
  constexpr uint32_t kImportDirectory = 1, kDescriptorSize = 20;
  if (image.data_directory_count <= kImportDirectory) throw Error("no import directory");
  uint32_t rva = U32(file, image.DataDirectoryOffset(kImportDirectory));
  std::vector<std::string> names;
  for (uint32_t at = rva;; at += kDescriptorSize) {
    int64_t descriptor = pack::PeRvaToOffset(image, file.size(), at, kDescriptorSize);
    if (descriptor < 0) throw Error("import descriptor outside the file");
    uint32_t name_rva = U32(file, static_cast<uint64_t>(descriptor) + 12);
    if (name_rva == 0) break;  // the all-zero descriptor ends the table
    int64_t name = pack::PeRvaToOffset(image, file.size(), name_rva, 1);
    if (name < 0) throw Error("import name outside the file");
    std::string text;
    for (size_t i = static_cast<size_t>(name); i < file.size() && file[i] != 0; ++i)
      text += static_cast<char>(std::tolower(file[i]));
    names.push_back(text);
  }
  return names;
}

bool Contains(const Bytes& file, const std::string& text) {
  return std::search(file.begin(), file.end(), text.begin(), text.end()) != file.end();
}

TEST(ShippedStub, ImportsOnlyKnownSystemLibraries) {
  // Libraries in the system's KnownDLLs list: never searched for on disk.
  const std::set<std::string> allowed = {
      "kernel32.dll", "user32.dll",  "gdi32.dll",    "shell32.dll",  "ole32.dll",
      "oleaut32.dll", "advapi32.dll", "msvcrt.dll",  "comdlg32.dll", "shlwapi.dll",
      "imm32.dll",    "rpcrt4.dll"};
  Bytes stub = ReadStub(UPKIT_STUB_PATH);
  ASSERT_FALSE(stub.empty()) << UPKIT_STUB_PATH;
  std::vector<std::string> imports = ImportedLibraries(stub);
  EXPECT_NE(std::find(imports.begin(), imports.end(), "kernel32.dll"), imports.end());
  for (const std::string& name : imports) EXPECT_TRUE(allowed.count(name)) << name << " is imported";
}

// The manifest asks for administrator rights (the vendor's "user" rewrites
// them), the themed Common Controls 6 and per-monitor DPI awareness.
TEST(ShippedStub, ManifestAsksForAdministratorThemesAndPerMonitorDpi) {
  Bytes stub = ReadStub(UPKIT_STUB_PATH);
  ASSERT_FALSE(stub.empty()) << UPKIT_STUB_PATH;
  EXPECT_EQ(pack::ReadElevation(stub), "admin");
  EXPECT_EQ(pack::ReadElevation(pack::SetElevation(stub, pack::Elevation::kUser)), "user");
  EXPECT_TRUE(Contains(stub, "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
  EXPECT_TRUE(Contains(stub, ">PerMonitorV2, PerMonitor</dpiAwareness>"));
  EXPECT_TRUE(Contains(stub, ">true/pm</dpiAware>"));
}

TEST(ShippedStub, CarriesNoFaultHook) {
  // The test build has the hook, so the search can find it...
  Bytes test_stub = ReadStub(UPKIT_TEST_STUB_PATH);
  ASSERT_FALSE(test_stub.empty()) << UPKIT_TEST_STUB_PATH;
  EXPECT_TRUE(Contains(test_stub, "UPKITFAULT"));
  // ...and the shipped one has neither its resource name nor its class.
  Bytes stub = ReadStub(UPKIT_STUB_PATH);
  for (const char* trace : {"UPKITFAULT", "FaultingLog", "FaultHook"})
    EXPECT_FALSE(Contains(stub, trace)) << trace;
}

// Reproducible bytes: no link time in the PE header, so two builds of one
// commit are equal (docs/vendor-guide.md says how to check).
TEST(ShippedStub, HeaderCarriesNoLinkTime) {
  Bytes stub = ReadStub(UPKIT_STUB_PATH);
  ASSERT_FALSE(stub.empty()) << UPKIT_STUB_PATH;
  EXPECT_EQ(U32(stub, U32(stub, 0x3C) + 8), 0u) << "TimeDateStamp";
}

}  // namespace
}  // namespace upkit
