// Internal interface of the AES-256 decipher: the decryption schedule and the
// block loops behind DecipherBuffer/DecipherText. Several loops give the same
// bytes (portable tables, AES-NI); DecipherBuffer picks one at run time and
// tests force each through DecipherWithPath.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/aes_tables.h"
#include "codec/cipher_key.h"

namespace upkit::aes {

// Round keys in the order deciphering uses them, in the equivalent inverse
// cipher form: rk[0..3] = w[56..59], rounds 1..13 = InvMixColumns of the
// middle round keys, rk[56..59] = w[0..3]. For texts rk[56] (= w[0]) is 0.
struct DecryptSchedule {
  uint32_t rk[kScheduleWords];
};

void MakeDecryptSchedule(const CipherKey& key, bool text, DecryptSchedule& schedule);

enum class Path { kAuto, kTable, kAesNi };

// True when this build has the AES-NI loop and the processor supports it
// (CPUID: AES and SSE2).
bool HasAesNi();

// The path kAuto resolves to: AES-NI when available, else the tables. The
// installer reads no environment, so there is no outside override; tests
// force a path through DecipherWithPath.
Path AutoPath();

// Decipher `blocks` whole 16-byte blocks at `data` in place.
void DecryptBlocksTable(const DecryptSchedule& schedule, uint8_t* data, size_t blocks);
void DecryptBlocksAesNi(const DecryptSchedule& schedule, uint8_t* data, size_t blocks);

// DecipherBuffer (text = false) or the in-place form of DecipherText
// (text = true) through the given path; kAesNi on a machine without it falls
// back to the table path.
void DecipherWithPath(void* data, int32_t count, const CipherKey& key, bool text, Path path);

}  // namespace upkit::aes
