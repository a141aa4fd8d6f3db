// upkit decipher [--text] --key HEX64 IN OUT: the package cipher over a file.
#include <cstdint>
#include <string>
#include <vector>

#include "codec/cipher.h"
#include "codec/error.h"
#include "pack/encipher.h"
#include "tools/upkit/cli.h"

namespace upkit::cli {
namespace {

int RunDecipher(const Args& args);

const Command kDecipher{"decipher", "decipher a file enciphered with the package cipher",
                     "usage: upkit decipher [--text] --key HEX64 IN OUT\n"
                     "\n"
                     "Deciphers the whole of IN with AES-256 under the 32-byte key and\n"
                     "writes OUT, of the same length: full 16-byte blocks one by one, a\n"
                     "final part under 16 bytes by the package's tail rule. IN and OUT may\n"
                     "be the same file. `upkit encipher` with the same key and mode undoes it.\n"
                     "\n"
                     "  --key HEX64  the key as 64 hex digits, key byte 0 first\n"
                     "  --text       the variant used for the container's texts (section\n"
                     "               names, value names and strings) instead of the one for\n"
                     "               the body and binary values\n",
                     &RunDecipher};
UPKIT_COMMAND(kDecipher);

int RunDecipher(const Args& args) {
  bool text = false;
  bool have_key = false;
  CipherKey key{};
  std::vector<std::string> files;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--text") {
      text = true;
    } else if (a == "--key" || a.rfind("--key=", 0) == 0) {
      std::string hex;
      if (a == "--key") {
        if (++i == args.size()) return UsageError(kDecipher, "--key needs 64 hex digits");
        hex = args[i];
      } else {
        hex = a.substr(6);
      }
      if (!pack::ParseCipherKey(hex, key)) return UsageError(kDecipher, "the key must be exactly 64 hex digits");
      have_key = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return UsageError(kDecipher, "unknown option " + a);
    } else {
      files.push_back(a);
    }
  }
  if (!have_key) return UsageError(kDecipher, "--key is required");
  if (files.size() != 2) return UsageError(kDecipher, "expected IN and OUT");

  std::vector<uint8_t> bytes = ReadFile(files[0]);
  // The cipher takes a signed 32-bit count, like every length in a package.
  if (bytes.size() > 0x7FFFFFFF) throw Error(files[0] + ": larger than 2147483647 bytes");
  if (text) {
    std::string done = DecipherText(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), key);
    bytes.assign(done.begin(), done.end());
  } else {
    DecipherBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), key);
  }
  WriteFile(files[1], bytes);
  return 0;
}

}  // namespace
}  // namespace upkit::cli
