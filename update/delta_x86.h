// x86 branch normalisation for delta streams. A CALL or JMP rel32 (E8/E9
// followed by a 4-byte displacement) names its target relative to itself,
// so code that moves changes every call out of it; written as an absolute
// file offset, a call keeps its value as long as the target keeps its
// place, and calls to one target share one value, which makes the byte
// differences repeat.
//
// The rule is local, so that any window of a file can be normalised alone:
// position i starts a branch when
//   - byte i is E8 or E9, and i + 4 is inside the file,
//   - byte i + 4 is 00 or FF (a displacement within +-16 MiB), and
//   - none of the (original) bytes i-4 .. i-1 is E8 or E9.
// The last condition means two branches never overlap, so a branch is
// decided by bytes i-4 .. i+4 alone. Its displacement d becomes
// a = sext25((d + i + 5) mod 2^25): again a value whose top byte is 00 or
// FF, so the restoring pass finds the same branches, and d comes back as
// sext25((a - i - 5) mod 2^25).
#pragma once

#include <cstddef>
#include <cstdint>

namespace upkit::delta {

// The bytes around a window that the rule looks at: 8 before (a branch at
// i-4 and its look-back) and 4 after (a branch at the window's last byte).
inline constexpr size_t kBranchMarginBefore = 8;
inline constexpr size_t kBranchMarginAfter = 4;

// Walks a file in order, converting branches. One scanner serves one pass.
class BranchScanner {
 public:
  explicit BranchScanner(bool to_absolute) : to_absolute_(to_absolute) {}

  // bytes[0..n) hold the file at offsets [base, base + n), following what
  // earlier calls scanned. Decides the positions up to `stop`, or until a
  // branch would pass bytes[n), converting (normalising or restoring) each
  // branch's displacement in place. Returns the first undecided position
  // (at most n): all bytes before it are final.
  size_t Scan(uint8_t* bytes, size_t n, uint64_t base, size_t stop);

 private:
  bool to_absolute_;
  int64_t last_mark_ = INT64_MIN / 2;  // file offset of the last original E8/E9
};

// Normalises a whole file in place (the encoder's pass).
void NormaliseBranches(uint8_t* bytes, size_t n);

}  // namespace upkit::delta
