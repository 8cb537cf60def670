// The keystream that scrambles each package entry, and the chaining of its parameters from entry
// to entry. Applying the keystream twice with the same parameters restores the bytes.
#pragma once
#include <stdint.h>

enum : uint32_t { PACKAGE_SEED = 0x5E27B0D3u };

// XORs bytes[0..length) in place with the keystream of (entrySeed, length, mixDigest).
void ApplyPackageKeystream(uint8_t* bytes, uint32_t length, uint32_t entrySeed,
                           const uint8_t mixDigest[16]);

// The entrySeed of the entry after one with seed entrySeed and stored-bytes digest storedDigest.
uint32_t NextEntrySeed(uint32_t entrySeed, const uint8_t storedDigest[16]);
