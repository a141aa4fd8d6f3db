// pack/: the authoring side, never linked into the stub: manifest, diff,
// build, verify, PE resource reader and writer, elevation, host file access,
// renamed-file pairing.
//
// Turns a manifest into an update package and an update executable
// (authoring side; `upkit build`). Reading the payload files, computing
// patch lists, delta streams and resource lists, choosing the cipher key, writing the
// container, and putting it into a copy of the stub as RCDATA "LR5".
// Builds are reproducible: equal manifest, inputs, stub and key give equal
// bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pack/manifest.h"
#include "pack/package_writer.h"
#include "pack/pe_writer.h"

namespace upkit::pack {

// The name under which the stub looks for its package.
inline constexpr char16_t kPackageResourceName[] = u"LR5";

// The package for a manifest: reads every payload file, computes the patch
// list or delta stream of each old/new pair (checking that the old file
// still has the size and CRC the manifest expects) and the resource list of
// each resources item. Raises Error naming the file and the cause.
Package PackageFromManifest(const Manifest& manifest);

// Container options for a manifest; without a fixed key, a fresh key from
// the system's cryptographic random source.
ContainerOptions ContainerOptionsFor(const Manifest& manifest);

// The largest package the installer is built to start: 1 GiB. The 32-bit
// stub maps its image, package included, into one piece of address space;
// 32-bit Windows gives a process 2 GiB, with system libraries in its upper
// part, and the installer needs room beside the image for the largest item
// it expands. (A 2,000 MiB package did not even start: no room for its image.)
inline constexpr uint64_t kMaxPackageSize = uint64_t{1} << 30;

// Raises Error saying the limit when a package of `size` bytes is larger.
void CheckPackageSize(uint64_t size);

// Both together; raises Error when the package is larger than kMaxPackageSize.
std::vector<uint8_t> BuildContainer(const Manifest& manifest);

// A copy of the stub carrying `container` as RCDATA "LR5", language neutral.
// Raises Error for a stub that is not a PE32 GUI executable. The container
// is taken (move it in): its bytes are copied once, into the new image.
std::vector<uint8_t> EmbedPackage(std::span<const uint8_t> stub, std::vector<uint8_t> container,
                                  PeWriteReport* report = nullptr);

// The container carried by an update executable (RCDATA "LR5", any
// language). Raises Error when there is none.
std::vector<uint8_t> ExtractPackage(std::span<const uint8_t> executable);

}  // namespace upkit::pack
