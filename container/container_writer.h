// Writes "cFg" containers (authoring side; never linked into the stub):
// version 2 or 3, plain or enciphered, binary values compressed or stored.
// The model is an ordered list of sections holding ordered, typed values.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/cipher.h"

namespace upkit::pack {

struct ContainerValue {
  enum Kind : uint8_t { kInteger = 0, kString = 1, kBinary = 2, kRaw3 = 3, kRaw4 = 4, kBool = 5 };
  std::string name;
  Kind kind = kInteger;
  int32_t integer = 0;
  std::string text;            // kString
  std::vector<uint8_t> bytes;  // kBinary: the plain, uncompressed bytes
  std::array<uint8_t, 8> raw{};  // kRaw3 / kRaw4
  uint8_t boolean = 0;         // kBool: the byte as stored
};

struct ContainerSection {
  std::string name;
  std::vector<ContainerValue> values;

  ContainerSection& Integer(std::string value_name, int32_t value);
  ContainerSection& String(std::string value_name, std::string value);
  ContainerSection& Binary(std::string value_name, std::vector<uint8_t> value);
  ContainerSection& Bool(std::string value_name, uint8_t value);
  ContainerSection& Raw(std::string value_name, ContainerValue::Kind kind,
                        const std::array<uint8_t, 8>& value);
};

struct ContainerOptions {
  int32_t version = 3;
  bool enciphered = true;
  bool compressed = true;
  CipherKey key{};  // used when enciphered; callers pick a fixed or random key
  int level = 9;    // compressor level
};

// Serialises the sections. In version 3, values whose compressed form is not
// smaller are stored with marker 0; small non-negative integers use tags 6/7.
std::vector<uint8_t> WriteContainer(const std::vector<ContainerSection>& sections,
                                    const ContainerOptions& options);
// The same from sections it may empty: each binary value's bytes are freed
// once written, so a large package is held about twice at most (raw values
// not yet written plus the container so far), never raw + packed + body.
std::vector<uint8_t> WriteContainer(std::vector<ContainerSection>&& sections,
                                    const ContainerOptions& options);

}  // namespace upkit::pack
