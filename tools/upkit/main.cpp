// upkit: inspects and builds update packages for the upkit installer.
#include <cstdio>
#include <cstring>
#include <exception>

#include "tools/upkit/cli.h"
#include "upkit_version.h"

using namespace upkit::cli;

static void PrintOverview() {
  std::printf("usage: upkit <command> [options]\n\ncommands:\n");
  for (const auto& c : Commands()) std::printf("  %-10s %s\n", c.name, c.summary);
  std::printf("\n`upkit <command> --help` describes one command.\n"
              "`upkit --version` prints the version: %s\n", UPKIT_VERSION);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintOverview();
    return kUsage;
  }
  if (!std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "help")) {
    PrintOverview();
    return 0;
  }
  if (!std::strcmp(argv[1], "--version")) {
    std::printf("upkit %s\n", UPKIT_VERSION);
    return 0;
  }
  for (const auto& c : Commands()) {
    if (std::strcmp(c.name, argv[1]) != 0) continue;
    Args args(argv + 2, argv + argc);
    if (WantsHelp(args)) {
      std::fputs(c.usage, stdout);
      return 0;
    }
    try {
      return c.run(args);
    } catch (const std::exception& e) {
      return Fail(e.what());
    }
  }
  std::fprintf(stderr, "upkit: unknown command '%s'\n", argv[1]);
  PrintOverview();
  return kUsage;
}
