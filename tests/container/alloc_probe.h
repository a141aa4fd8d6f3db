// Test helper: records the largest single allocation made through operator
// new while a probe is alive, so tests can prove that a malformed container
// claiming gigabytes never gets that memory.
#pragma once

#include <cstddef>

namespace upkit::test {

class AllocProbe {
 public:
  AllocProbe();
  ~AllocProbe();
  AllocProbe(const AllocProbe&) = delete;
  AllocProbe& operator=(const AllocProbe&) = delete;
  size_t Largest() const;
};

}  // namespace upkit::test
