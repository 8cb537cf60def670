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

// The same work split in two for two threads, over one part of an entry at a time (parts in
// order; every part but an entry's last a multiple of 64 bytes). DigestThenUnscramble feeds the
// part's stored bytes to stored, then applies the keystream to them; UnscrambleThenDigest applies
// the keystream, then feeds the unscrambled bytes to plain. Either may be given Md5-only work by
// passing a null keystream, in which case the bytes are only digested.
void DigestThenUnscramble(Md5State* stored, KeystreamState* ks, uint8_t* bytes, uint32_t length);
void UnscrambleThenDigest(KeystreamState* ks, Md5State* plain, uint8_t* bytes, uint32_t length);
