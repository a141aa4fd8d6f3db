// upkit-embed <stub.exe> <package> <installer.exe>: writes the package into a
// copy of the stub as its RCDATA resource "LR5".
#include <cstdio>
#include <vector>

#include "tests/e2e/embed.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: upkit-embed <stub.exe> <package> <installer.exe>\n", stderr);
    return 2;
  }
  std::FILE* file = std::fopen(argv[2], "rb");
  if (!file) {
    std::fprintf(stderr, "upkit-embed: cannot open %s\n", argv[2]);
    return 1;
  }
  std::vector<uint8_t> bytes;
  unsigned char buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
  std::fclose(file);
  std::string failure = upkit::e2e::EmbedResources(argv[1], argv[3], {{"LR5", bytes}});
  if (!failure.empty()) {
    std::fprintf(stderr, "upkit-embed: %s\n", failure.c_str());
    return 1;
  }
  return 0;
}
