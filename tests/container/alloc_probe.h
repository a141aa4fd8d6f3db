// Test helper: records the largest single allocation made through operator
// new while a probe is alive, so tests can prove that a malformed container
// claiming gigabytes never gets that memory; with a limit, refuses every
// larger allocation, as a process out of memory would.
#pragma once

#include <cstddef>

namespace upkit::test {

class AllocProbe {
 public:
  explicit AllocProbe(size_t limit = static_cast<size_t>(-1));
  ~AllocProbe();
  AllocProbe(const AllocProbe&) = delete;
  AllocProbe& operator=(const AllocProbe&) = delete;
  size_t Largest() const;
};

}  // namespace upkit::test
