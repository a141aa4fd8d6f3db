// upkit encipher|decipher [--text] --key HEX64 IN OUT: the package cipher
// over a file, either way. Both verbs share the option parsing and file
// handling; only the direction differs.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "codec/cipher.h"
#include "codec/encipher.h"
#include "codec/error.h"
#include "tools/upkit/cli.h"

namespace upkit::cli {
namespace {

int RunEncipher(const Args& args);
int RunDecipher(const Args& args);

#define UPKIT_CIPHER_USAGE(verb, Verbs, other)                                   \
  "usage: upkit " verb " [--text] --key HEX64 IN OUT\n"                          \
  "\n" Verbs " the whole of IN with AES-256 under the 32-byte key and\n"         \
  "writes OUT, of the same length: full 16-byte blocks one by one, a\n"          \
  "final part under 16 bytes by the package's tail rule. IN and OUT may\n"       \
  "be the same file. `upkit " other "` with the same key and mode undoes it.\n" \
  "\n"                                                                           \
  "  --key HEX64  the key as 64 hex digits, key byte 0 first\n"                  \
  "  --text       the variant used for the container's texts (section\n"        \
  "               names, value names and strings) instead of the one for\n"     \
  "               the body and binary values\n"

const Command kEncipher{"encipher", "encipher a file with the package cipher",
                        UPKIT_CIPHER_USAGE("encipher", "Enciphers", "decipher"), &RunEncipher};
const Command kDecipher{"decipher", "decipher a file enciphered with the package cipher",
                        UPKIT_CIPHER_USAGE("decipher", "Deciphers", "encipher"), &RunDecipher};
UPKIT_COMMAND(kEncipher);
UPKIT_COMMAND(kDecipher);

#undef UPKIT_CIPHER_USAGE

enum class Direction { kEncipher, kDecipher };

int RunCipher(const Command& command, Direction direction, const Args& args) {
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
        if (++i == args.size()) return UsageError(command, "--key needs 64 hex digits");
        hex = args[i];
      } else {
        hex = a.substr(6);
      }
      if (!pack::ParseCipherKey(hex, key)) return UsageError(command, "the key must be exactly 64 hex digits");
      have_key = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return UsageError(command, "unknown option " + a);
    } else {
      files.push_back(a);
    }
  }
  if (!have_key) return UsageError(command, "--key is required");
  if (files.size() != 2) return UsageError(command, "expected IN and OUT");

  std::vector<uint8_t> bytes = ReadFile(files[0]);
  // The cipher takes a signed 32-bit count, like every length in a package.
  if (bytes.size() > 0x7FFFFFFF) throw Error(files[0] + ": larger than 2147483647 bytes");
  const bool forward = direction == Direction::kEncipher;
  if (text) {
    std::string_view in(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::string done = forward ? pack::EncipherText(in, key) : DecipherText(in, key);
    bytes.assign(done.begin(), done.end());
  } else if (forward) {
    pack::EncipherBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), key);
  } else {
    DecipherBuffer(bytes.data(), static_cast<int32_t>(bytes.size()), key);
  }
  WriteFile(files[1], bytes);
  return 0;
}

int RunEncipher(const Args& args) { return RunCipher(kEncipher, Direction::kEncipher, args); }
int RunDecipher(const Args& args) { return RunCipher(kDecipher, Direction::kDecipher, args); }

}  // namespace
}  // namespace upkit::cli
