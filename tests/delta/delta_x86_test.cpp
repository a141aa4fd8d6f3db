// Branch normalisation: any window normalised alone (with its margins)
// equals the same bytes of the whole file normalised, and restoring in
// pieces of any size gives the original back.
#include <algorithm>

#include "tests/delta/delta_test_util.h"
#include "update/delta_x86.h"

namespace upkit::testing {
namespace {

Bytes DenseBranches(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  const uint8_t kinds[] = {0xE8, 0xE9, 0x00, 0xFF};
  Bytes v(n);
  for (auto& b : v) b = rng() % 3 ? kinds[rng() % 4] : uint8_t(rng());
  return v;
}

TEST(BranchNormalise, WindowsMatchTheWholeFile) {
  const Bytes original = DenseBranches(5000, 1);
  Bytes whole = original;
  delta::NormaliseBranches(whole.data(), whole.size());
  ASSERT_NE(whole, original);
  std::mt19937 rng(2);
  for (int round = 0; round < 3000; ++round) {
    size_t offset = rng() % original.size(), length = 1 + rng() % std::min<size_t>(40, original.size() - offset);
    size_t start = offset - std::min(offset, delta::kBranchMarginBefore);
    size_t end = offset + length + std::min(delta::kBranchMarginAfter, original.size() - offset - length);
    Bytes window(original.begin() + start, original.begin() + end);
    delta::BranchScanner(true).Scan(window.data(), window.size(), start, offset + length - start);
    ASSERT_TRUE(std::equal(whole.begin() + offset, whole.begin() + offset + length, window.begin() + (offset - start)))
        << "window " << offset << "+" << length;
  }
}

TEST(BranchNormalise, RestoresInPieces) {
  const Bytes original = DenseBranches(20000, 3);
  Bytes normalised = original;
  delta::NormaliseBranches(normalised.data(), normalised.size());
  std::mt19937 rng(4);
  for (int round = 0; round < 20; ++round) {
    delta::BranchScanner restorer(false);
    Bytes held, out;
    uint64_t base = 0;
    for (size_t at = 0; at < normalised.size();) {
      size_t n = std::min<size_t>(normalised.size() - at, 1 + rng() % (round < 10 ? 8 : 3000));
      held.insert(held.end(), normalised.begin() + at, normalised.begin() + at + n);
      at += n;
      size_t done = restorer.Scan(held.data(), held.size(), base, held.size());
      out.insert(out.end(), held.begin(), held.begin() + done);
      held.erase(held.begin(), held.begin() + done);
      base += done;
    }
    out.insert(out.end(), held.begin(), held.end());
    ASSERT_EQ(out, original) << "round " << round;
  }
}

}  // namespace
}  // namespace upkit::testing
