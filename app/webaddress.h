// The maker's two web pages, stored scrambled in the program's data, and the keystream that
// scrambles and unscrambles them (one transform serves both ways). Portable: no platform call.
#pragma once
#include <stddef.h>
#include <stdint.h>

enum : uint32_t {
  WEB_ADDRESS_SEED = 0x5D17C3A9u,
  WEB_ADDRESS_BUFFER = 512,  // the largest block OpenWebAddress takes
};

// Each block unscrambles to a zero-terminated address whose terminator lies inside the block;
// pass sizeof the block as its length.
extern const uint8_t headerLinkAddress[34];      // opened by a click on the picture
extern const uint8_t completionLinkAddress[40];  // opened after a successful installation

// XORs bytes[0..length) with the keystream: the state starts at the seed; for byte i it becomes
// (state + (length - i))^2 in 32 bits, shifted right arithmetically by 8, and the byte takes the
// state's low 8 bits. Applying it twice gives the input back.
void ScrambleWebAddress(uint8_t* bytes, uint32_t length);

// Copies block into out (zero-filled first), unscrambles it there and returns 1 when out then
// holds a terminated address that is not empty. Returns 0, with out all zero, for a null block,
// a length of 0 or above WEB_ADDRESS_BUFFER, an out smaller than WEB_ADDRESS_BUFFER, or a block
// without its terminator: the caller never opens a cut-off or unterminated address.
int DecodeWebAddress(const uint8_t* block, uint32_t length, char* out, size_t outSize);

// Fills bytes with zeros in a way the compiler cannot drop because the buffer dies afterwards.
void WipeBytes(void* bytes, size_t size);
