// The stored web addresses and their keystream.
#include "app/webaddress.h"

#include <string.h>

// "https://www.quorel-audio.example/" and "https://www.quorel-audio.example/thanks", each with
// its terminator, scrambled with ScrambleWebAddress. tests/host/app_webaddress_test.cpp checks
// them and prints the stored form of a changed address.
const uint8_t headerLinkAddress[34] = {
    0x8A, 0x22, 0x2A, 0x4F, 0xEA, 0x83, 0x6C, 0x85, 0xE1, 0x1A, 0x14, 0x5C,
    0x29, 0x49, 0xD6, 0x78, 0xA6, 0xBB, 0x0F, 0x7A, 0x19, 0x61, 0x7E, 0xC3,
    0xF3, 0x27, 0xA9, 0xF7, 0x32, 0xB7, 0x9A, 0x5B, 0xBF, 0x54,
};
const uint8_t completionLinkAddress[40] = {
    0x78, 0x8B, 0x27, 0xD8, 0xE1, 0x95, 0x5B, 0x0D, 0x5A, 0x21, 0x2B, 0x03,
    0xE9, 0x4E, 0x5D, 0x95, 0x55, 0x0D, 0xE4, 0x85, 0xC5, 0xF6, 0xF8, 0xF9,
    0xA1, 0xFC, 0xA6, 0xBE, 0xD4, 0xF6, 0xFD, 0x71, 0x4C, 0x13, 0x4A, 0xA6,
    0x0C, 0x9A, 0xB9, 0x58,
};

void ScrambleWebAddress(uint8_t* bytes, uint32_t length) {
  uint32_t state = WEB_ADDRESS_SEED;
  for (uint32_t i = 0; i < length; ++i) {
    const uint32_t n = length - i;
    state += n;
    state *= state;
    // Arithmetic shift of the state read as a signed 32-bit number, spelt out in unsigned
    // arithmetic so that it means the same on every compiler.
    state = (state >> 8) | ((state & 0x80000000u) != 0 ? 0xFF000000u : 0u);
    bytes[i] = static_cast<uint8_t>(bytes[i] ^ (state & 0xFFu));
  }
}

int DecodeWebAddress(const uint8_t* block, uint32_t length, char* out, size_t outSize) {
  if (out == nullptr || outSize < WEB_ADDRESS_BUFFER) return 0;
  memset(out, 0, outSize);
  if (block == nullptr || length == 0 || length > WEB_ADDRESS_BUFFER) return 0;
  uint8_t* bytes = reinterpret_cast<uint8_t*>(out);
  memcpy(bytes, block, length);
  ScrambleWebAddress(bytes, length);
  if (memchr(bytes, 0, length) == nullptr || bytes[0] == 0) {
    WipeBytes(out, outSize);
    return 0;
  }
  return 1;
}

void WipeBytes(void* bytes, size_t size) {
  volatile uint8_t* p = static_cast<volatile uint8_t*>(bytes);
  for (size_t i = 0; i < size; ++i) p[i] = 0;
}
