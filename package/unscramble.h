// One entry's bytes unscrambled in place and checked, on one lane: the digest of the stored
// bytes, then the keystream beside the digest of the unscrambled bytes (the four-lane form is
// package/lanes.h).
#pragma once
#include <stdint.h>

#include "package/keystream.h"
#include "package/md5.h"

// Afterwards bytes hold the unscrambled entry, storedDigest the MD5 of the bytes as they were
// given and plainDigest the MD5 of the unscrambled bytes. The keystream is the entry's in chain.
void UnscrambleEntry(uint8_t* bytes, uint32_t length, const EntryChain* chain,
                     uint8_t storedDigest[16], uint8_t plainDigest[16]);

// Once the stored digest is known: the keystream and then the plain digest over one part of an
// entry at a time (parts in order; every part but the entry's last a multiple of 64 bytes), the
// two side by side.
void UnscrambleThenDigest(KeystreamState* ks, Md5State* plain, uint8_t* bytes, uint32_t length);
