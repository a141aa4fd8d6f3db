// container/: the "cFg" package container: this reader and its section and
// value store, the stream abstraction (stream.h) and the writer
// (container_writer.h, authoring side only).
//
// TLameIni: the in-memory form of one "cFg" package container, and its reader.
//
// Layout of a container (little-endian, no padding):
//   int32 magic length, magic bytes ("cFg", ASCII case ignored)
//   int32 version (2 or 3)
//   32 bytes cipher key, uint8 enciphered flag, uint8 compressed flag
//   int32 body size (used only when the enciphered flag is 1)
//   body: int32 section count, then per section:
//     name (string), int32 value count, then per value:
//       v2: name (string), int32 tag, payload
//       v3: int32 Crc32Text(name), uint8 tag, payload
//   strings: v2 int32 length + bytes; v3 uint8 code (0: uint8, 1: uint16,
//   2: int32 length) + bytes.
//   tags: 0 int32, 1 string, 2 binary (int32 size; v3: uint8 marker when the
//   size is not 0; bytes), 3/4 eight raw bytes, 5 uint8 boolean, 6 uint8 and
//   7 uint16 (both read as integers).
// An enciphered container has its body, each non-empty string and each
// binary value enciphered separately (AES-256, codec/cipher.h).
//
// Invariants:
// - Sections and values are keyed by Crc32Text of their names; names are
//   never compared as text. Sections are unique by hash; values of a
//   version-3 container may share a hash, and lookups find the first.
// - Every length, size and count read from a container is checked against
//   what remains of the body or stream before anything is allocated for it,
//   so a malformed container fails with "Stream read error" rather than with
//   a huge allocation. Version-3 length codes above 2 and tags above 7 (or a
//   negative version-2 tag) are rejected the same way.
// - Binary values keep their bytes as read; they are deciphered, then
//   expanded, each at most once, on the first GetBinarySize/GetBinaryData.
//   Bytes of an enciphered container stay in the deciphered body until
//   first use, so loading does not copy them a second time. The body is
//   deciphered where it lies when the stream offers changeable lasting
//   memory (the executable's own resource), else in a buffer of its own.
//   The bytes of a plain container read from a stream's lasting memory (the
//   executable's own resource) stay where they lie and are never copied.
// - Pointers handed out (sections, values, binary data) stay valid until the
//   store is cleared, reads another container or is destroyed.
// - One thread at a time: even queries update the lookup caches.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "codec/cipher.h"
#include "container/hash_index.h"
#include "container/stream.h"

namespace upkit {

class TLameIni;

// One typed value. Only the fields that belong to Kind are meaningful.
struct TLameIniValue {
  enum : uint8_t { kInteger = 0, kString = 1, kBinary = 2, kRaw3 = 3, kRaw4 = 4, kBool = 5 };
  // Flags: steps still to be undone on BinData.
  enum : uint8_t { kCompressedMark = 1, kEncipheredMark = 2 };

  int32_t Hash = 0;  // Crc32Text(Name), or the hash stored in a v3 container
  std::string Name;  // empty for values read from a v3 container
  uint8_t Kind = kInteger;
  int32_t BinSize = 0;  // kind 2: bytes at BinData; -1 after a failed expansion
  // Kind 2: owned by the store (or lent by the stream's lasting memory);
  // null when BinSize <= 0.
  const uint8_t* BinData = nullptr;
  int32_t IntValue = 0;
  std::string StrValue;
  std::array<uint8_t, 8> Raw3{};
  std::array<uint8_t, 8> Raw4{};
  uint8_t BoolValue = 0;  // the byte as stored
  uint8_t Flags = 0;

 private:
  friend class TLameIni;
  // Backing of BinData when it does not point into the store's body buffer.
  std::unique_ptr<uint8_t[]> owned_;
};

struct TLameIniSection {
  int32_t Hash = 0;  // Crc32Text(Name)
  std::string Name;
  // In reading order. Append only through TLameIni, which keeps the index.
  std::vector<std::unique_ptr<TLameIniValue>> Values;

 private:
  friend class TLameIni;
  // First value of each hash: the result a front-to-back scan would give.
  HashIndex<TLameIniValue> first_by_hash_;
};

class TLameIni {
 public:
  TLameIni() { Clear(); }
  ~TLameIni() = default;
  TLameIni(const TLameIni&) = delete;
  TLameIni& operator=(const TLameIni&) = delete;

  // Releases every section and value, drops the lookup caches, clears both
  // flags and draws a fresh random key. CurrentSection and Version stay.
  void Clear();

  // Clears the store and reads one container from the stream's current
  // position. Raises Error with "cFg!>" + trimmed magic, "cFg (3)!>" +
  // version, "Stream read error", "Out of memory while expanding memory
  // stream" (enciphered body size negative) or "Out of memory". After a
  // failure the store holds what was read before it.
  void LoadFromStream(Stream& stream);

  // Queries of CurrentSection with the defaults false, 0 and "".
  // Booleans come back as the byte stored (0 false, 1 true, other bytes as
  // they are), because callers switch on exactly 1.
  uint8_t ReadBool(std::string_view name);
  int32_t ReadInteger(std::string_view name);
  std::string ReadString(std::string_view name);

  // The value of the kind asked for, else `fallback`. Missing sections,
  // missing values and values of another kind are never failures.
  uint8_t GetBool(std::string_view section, std::string_view name, uint8_t fallback);
  int32_t GetInteger(std::string_view section, std::string_view name, int32_t fallback);
  std::string GetString(std::string_view section, std::string_view name, std::string fallback);
  // True when the value is found, whatever its kind.
  bool ValueExists(std::string_view section, std::string_view name);
  // Kind 2: unpacks the value, then gives its size (expanded; -1 when the
  // packed form is not valid). Other kinds and missing values: `fallback`.
  int32_t GetBinarySize(std::string_view section, std::string_view name, int32_t fallback);
  // Kind 2: unpacks the value, then gives its bytes (null when it has none).
  // Other kinds and missing values: `fallback`. Owned by the store.
  const uint8_t* GetBinaryData(std::string_view section, std::string_view name,
                               const uint8_t* fallback = nullptr);

  TLameIniSection* FindSection(std::string_view name);
  TLameIniSection* FindOrAddSection(std::string_view name);
  TLameIniValue* FindValue(std::string_view section, std::string_view name);
  TLameIniValue* FindValueIn(TLameIniSection* section, std::string_view name);
  TLameIniValue* FindOrAddValue(std::string_view section, std::string_view name);

  // Deciphers and expands a binary value once (no effect on other kinds).
  void UnpackBinary(TLameIniValue& value);
  // Only the first step of UnpackBinary: deciphers the value in place once,
  // leaving compressed bytes packed. Needs no memory.
  void DecipherBinary(TLameIniValue& value);
  // Frees a binary value's bytes (it then holds 0 bytes), for a loader that
  // has copied them out and wants the memory back before the store goes.
  void ReleaseBinary(TLameIniValue& value);

  // The section ReadBool/ReadInteger/ReadString query; Clear keeps it.
  std::string CurrentSection;

  const std::vector<std::unique_ptr<TLameIniSection>>& Sections() const { return sections_; }
  const CipherKey& Key() const { return key_; }
  uint8_t Enciphered() const { return enciphered_; }
  uint8_t Compressed() const { return compressed_; }
  int32_t Version() const { return version_; }
  // The one-entry lookup caches (exposed for inspection and tests).
  const TLameIniSection* LastSection() const { return last_section_; }
  const TLameIniSection* LastValueSection() const { return last_value_section_; }
  const TLameIniValue* LastValue() const { return last_value_; }

 private:
  class Reader;
  TLameIniValue* AppendValue(TLameIniSection& section, int32_t hash, std::string name);
  void Read(Stream& stream);

  std::vector<std::unique_ptr<TLameIniSection>> sections_;
  HashIndex<TLameIniSection> section_by_hash_;
  CipherKey key_{};
  uint8_t enciphered_ = 0;
  uint8_t compressed_ = 0;
  TLameIniSection* last_section_ = nullptr;
  TLameIniSection* last_value_section_ = nullptr;
  TLameIniValue* last_value_ = nullptr;
  int32_t version_ = 0;
  // The deciphered body of an enciphered container (binary values of such a
  // container point into it until they are expanded): in the stream's own
  // memory, or in body_.
  uint8_t* deciphered_body_ = nullptr;
  std::unique_ptr<uint8_t[]> body_;  // not zero-filled: it is read over at once
};

// Hash of a name as the store keys it: Crc32Text's 32 bits as an int32.
int32_t NameHash(std::string_view name);

}  // namespace upkit
