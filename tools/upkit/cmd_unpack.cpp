// upkit unpack: expands a packed "AP32" value after checking its header,
// sizes and both CRC-32s.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "codec/error.h"
#include "codec/unpack.h"
#include "tools/upkit/cli.h"

namespace upkit::cli {
namespace {

int RunUnpack(const Args& args);

UPKIT_COMMAND("unpack", "expand an AP32 packed value",
              "usage: upkit unpack IN OUT\n"
              "  Checks IN's \"AP32\" header, sizes and CRC-32s and writes the\n"
              "  expanded bytes to OUT.\n",
              &RunUnpack);

const Command& Self() {
  for (const Command& c : Commands())
    if (std::string(c.name) == "unpack") return c;
  std::abort();
}

int RunUnpack(const Args& args) {
  if (args.size() != 2) return UsageError(Self(), "expected IN and OUT");
  std::vector<uint8_t> in = ReadFile(args[0]);
  if (in.size() > 0x7FFFFFFFu) throw Error(args[0] + ": too large");
  int32_t n = UnpackedSizeFromHeader(in.data(), int32_t(in.size()));
  if (n < 0) throw Error(args[0] + ": not a valid AP32 packed header");
  std::vector<uint8_t> out;
  try {
    out.resize(size_t(n) + 1);  // +1: a valid pointer even for n == 0
  } catch (const std::bad_alloc&) {
    throw Error(kOutOfMemory);
  }
  if (n == 0) {
    // An empty value has an empty stream, which the decoder would refuse.
    out.clear();
  } else if (UnpackChecked(in.data(), uint32_t(in.size()), out.data(), uint32_t(n)) != n) {
    throw Error(args[0] + ": packed value is damaged (header, size or CRC check failed)");
  } else {
    out.resize(size_t(n));
  }
  WriteFile(args[1], out);
  return 0;
}

}  // namespace
}  // namespace upkit::cli
