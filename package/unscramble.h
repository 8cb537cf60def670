// The keystream beside the digest of the bytes it gives, on one lane (the form on several lanes is
// package/lanes.h; the whole entry's chains are package/stream.h).
#pragma once
#include <stdint.h>

#include "package/keystream.h"
#include "package/md5.h"

// Once the stored digest is known: the keystream and then the plain digest over one part of an
// entry at a time (parts in order; every part but the entry's last a multiple of 64 bytes), the
// two side by side.
void UnscrambleThenDigest(KeystreamState* ks, Md5State* plain, uint8_t* bytes, uint32_t length);
