// Portable PE32 resource writer (authoring side): reads the resource tree of
// a 32-bit Windows executable (through pe_reader) and writes a new one, so
// `upkit build` can put the package into a copy of the installer stub on
// any host.
//
// The image is rewritten, never patched in place:
// - every resource of the stub is kept (manifest, version info, icons, ...)
//   unless the caller replaces it; the tree is rebuilt in the usual layout
//   (directories, data entries, names, then the data, 8-byte aligned);
// - when the resource section is the last section it is rewritten where it
//   stands with its new size; otherwise a new section ".rsrc2" is appended
//   and the resource data directory points at it (the old one stays unused);
// - SizeOfImage, SizeOfInitializedData, section sizes (aligned to the
//   image's FileAlignment/SectionAlignment) and the checksum are recomputed;
//   TimeDateStamp and everything else are kept, so equal inputs give equal
//   bytes;
// - a certificate table (Authenticode signature) is dropped, since the
//   signature could no longer be valid; the caller is told so. Bytes after
//   the last section that are not the signature (an overlay, a COFF symbol
//   table) are kept after the new section and the symbol pointer follows them.
// Every offset read from the image is checked against its size before use;
// a malformed image raises upkit::Error naming the fault.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pack/pe_reader.h"

namespace upkit::pack {

struct PeWriteReport {
  bool certificate_dropped = false;  // the stub was signed; its signature is gone
  bool section_appended = false;     // a new resource section was added
};

// Raises Error unless `image` is a PE32 GUI executable for i386
// (machine 0x14c, optional-header magic 0x10b, subsystem 2, not a DLL).
void CheckGuiExecutable(std::span<const uint8_t> image);

// Every resource of the image with its bytes, in tree order (type, name,
// language). Raises Error unless the image is a PE32 the writer could
// rewrite. An image without a resource directory gives an empty list.
std::vector<PeResource> ReadPeResources(std::span<const uint8_t> image);

// A copy of `image` whose resource tree holds exactly `resources`.
std::vector<uint8_t> WritePeResources(std::span<const uint8_t> image,
                                      const std::vector<PeResource>& resources,
                                      PeWriteReport* report = nullptr);

// Adds `resource` to the image's resources, replacing every resource of the
// same type and name (whatever its language). Its bytes are copied once,
// into the new image (move a large resource in).
std::vector<uint8_t> SetPeResource(std::span<const uint8_t> image, PeResource resource,
                                   PeWriteReport* report = nullptr);

// The PE checksum of the image (the CheckSum field itself counts as zero).
uint32_t PeChecksum(std::span<const uint8_t> image);

// Writes `checksum` into the image's CheckSum field.
void StorePeChecksum(std::vector<uint8_t>& image, uint32_t checksum);

// The CheckSum field as stored.
uint32_t StoredPeChecksum(std::span<const uint8_t> image);

}  // namespace upkit::pack
