// A stream over one RT_RCDATA resource of the running executable: a
// MemoryStream over the LockResource memory, which lives as long as the
// module, so readers may borrow its bytes in place. On request its pages
// become copy-on-write, so a reader can decipher them where they lie instead
// of holding a second copy (the file on disk never changes).
// Raises Error("Resource <name> not found") when it is missing.
#pragma once

#include <string>

#include "container/stream.h"

namespace upkit::app {

class ResourceStream : public MemoryStream {
 public:
  explicit ResourceStream(const char* name);
  const uint8_t* LastingMemory() const override { return Memory(); }
  uint8_t* ChangeableLastingMemory() override;
};

// True when the executable carries an RT_RCDATA resource of that name.
bool HasResource(const char* name);

}  // namespace upkit::app
