// MD5 as RFC 1321 defines it: the installer's one digest routine. The incremental form lets
// extraction digest an entry block by block while it unscrambles it.
#pragma once
#include <stdint.h>

struct Md5State {
  uint32_t state[4];
  uint64_t length;       // bytes digested so far
  uint8_t buffer[64];    // a partial block
};

void Md5Init(Md5State* md5);
void Md5Update(Md5State* md5, const uint8_t* bytes, uint32_t length);
void Md5Final(Md5State* md5, uint8_t digest[16]);
