// delta/: the delta codec whole, portable: the stream format (delta_format.h),
// this decoder with its reference prediction (delta_predict.h) and PE tables
// reader (delta_pe.h), and the encoder (delta_encode.h) with its suffix sort.
// The stub links the decoder only (upkit_delta_decode).
//
// Delta streams: rebuild a new file from an old one plus a small stream of
// copies (with byte differences) and new bytes. docs/package-format.md
// specifies the stream byte for byte.
//
// The decoder never holds either file whole: it reads the old file through
// bounded random-access reads and writes the new file once, in order, in
// bounded chunks. Every count, length and offset of the stream is checked
// before use; a malformed stream raises Error("Stream read error") and never
// reads outside the old file or writes past the new size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "delta/delta_io.h"

namespace upkit {

// What a delta stream says about the files it joins.
struct DeltaHead {
  uint64_t old_size = 0; uint32_t old_crc = 0;   // the file the stream applies to
  uint64_t new_size = 0; uint32_t new_crc = 0;   // the file it rebuilds
};

// `data` holds one stream, or a chained payload: streams back to back, each
// after the first with coders primed by the one before it, of which the last
// is applied (docs/package-format.md). Every stream is checked.
//
// Reads and checks the head of the stream data[0..size) applies (a chained
// payload's last); raises Error("Stream read error") when malformed.
DeltaHead ReadDeltaHead(const uint8_t* data, size_t size);

// Rebuilds the new file: checks every count, length and offset before use, writes exactly head.new_size
// bytes in order to `sink` (in bounded chunks, never the whole file at once), reads the old file only inside
// [0, head.old_size), and returns the CRC-32 (codec/crc32.h) of the bytes written. Raises Error("Stream read error")
// on a malformed stream (never a crash, an out-of-range read or a huge allocation). It does NOT compare the
// result with the head: the caller does that (and reports in its own words).
uint32_t ApplyDelta(const uint8_t* data, size_t size, DeltaSource& old_file, DeltaSink& new_file);

}  // namespace upkit
