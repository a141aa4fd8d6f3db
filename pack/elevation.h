// The rights an installer asks Windows for: the `level` of the
// requestedExecutionLevel element in the executable's manifest resource
// (RT_MANIFEST, type 24). The stub ships asking for administrator rights
// (requireAdministrator); a vendor whose product lives under the user's own
// profile chooses `elevation = "user"`, which `upkit build` writes as
// asInvoker. The manifest is XML text; only the level's value is replaced.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pack/pe_writer.h"

namespace upkit::pack {

enum class Elevation { kAdmin, kUser };

// A copy of `image` whose manifest asks for `elevation`; the same bytes when
// it already does, or when it requests no level and `elevation` is the
// default (admin). Raises Error for "user" and an image whose manifest
// requests no level (nothing to write the choice into), and when the image
// cannot be rewritten.
std::vector<uint8_t> SetElevation(std::span<const uint8_t> image, Elevation elevation,
                                  PeWriteReport* report = nullptr);

// What the image's manifest asks for: "admin" (requireAdministrator),
// "user" (asInvoker), any other level as written, or "" when it names none
// or the image cannot be read.
std::string ReadElevation(std::span<const uint8_t> image);

}  // namespace upkit::pack
