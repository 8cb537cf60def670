// Unpacking one entry's stored bytes in place: the digest of the stored bytes, the keystream and
// the digest of the unscrambled bytes, interleaved block by block in one pass over the bytes.
#pragma once
#include <stdint.h>

#include "package/keystream.h"
#include "package/md5.h"

// Afterwards bytes hold the unscrambled entry, storedDigest the MD5 of the bytes as they were
// given and plainDigest the MD5 of the unscrambled bytes.
void UnpackEntryBytes(uint8_t* bytes, uint32_t length, uint32_t entrySeed,
                      const uint8_t mixDigest[16], uint8_t storedDigest[16],
                      uint8_t plainDigest[16]);

// For two threads: the keystream and then the plain digest over one part of an entry at a time
// (parts in order; every part but the entry's last a multiple of 64 bytes), the two side by side.
void UnscrambleThenDigest(KeystreamState* ks, Md5State* plain, uint8_t* bytes, uint32_t length);
