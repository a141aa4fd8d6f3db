// Puts an update package into a copy of the installer stub as its RCDATA
// resource "LR5" (and optional extra RCDATA resources), with the system's
// resource-update calls. Win32 only.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace upkit::e2e {

// Copies `stub` to `target`, then writes each (name, bytes) as an RCDATA
// resource of `target`. An empty list leaves the copy without a package.
// Returns an empty text, or what failed.
std::string EmbedResources(const std::string& stub, const std::string& target,
                           const std::vector<std::pair<std::string, std::vector<uint8_t>>>& resources);

}  // namespace upkit::e2e
