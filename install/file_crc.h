// CRC-32 of a whole file on disk, for the engine's CRC check.
//
// The file is read in blocks of kFileCrcBlock bytes at 64-bit positions, so
// a file of any size gets its true CRC and a failing read is an ordinary
// failure. (A read-only view of the whole file cannot hold a file larger
// than the free address space, and a read error on a mapped page arrives as
// a structured exception rather than as a result.)
// Win32 only.
#pragma once

#include <cstdint>
#include <string>

namespace upkit {

inline constexpr uint32_t kFileCrcBlock = 1u << 20;

// Opens the existing file for reading (others may read and write it) and
// sets *crc to the CRC-32 of all its bytes. Returns false, leaving *crc
// alone, when the file cannot be opened or read, or holds no bytes (an empty
// file has nothing to check against and fails the check, as it always has).
// Raises nothing.
bool FileCrc32(const std::string& file_name, uint32_t* crc);

}  // namespace upkit
