// The stored web addresses and their keystream, against a second implementation written
// differently (signed 64-bit arithmetic, a real arithmetic shift). When an address is changed,
// the failure message prints the new stored form to paste into app/webaddress.cpp.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "app/webaddress.h"

namespace {

const char kHeaderAddress[] = "https://www.quorel-audio.example/";
const char kCompletionAddress[] = "https://www.quorel-audio.example/thanks";

// The keystream as its definition reads: the state is a signed 32-bit number.
std::vector<uint8_t> ReferenceScramble(const uint8_t* bytes, size_t length) {
  std::vector<uint8_t> out(bytes, bytes + length);
  int32_t state = static_cast<int32_t>(0x5D17C3A9u);
  for (size_t i = 0; i < length; ++i) {
    const int64_t n = static_cast<int64_t>(length - i);
    const uint64_t sum = static_cast<uint64_t>(static_cast<int64_t>(state) + n);
    const uint32_t square = static_cast<uint32_t>((sum * sum) & 0xFFFFFFFFu);
    const int64_t asSigned = square >= 0x80000000u ? static_cast<int64_t>(square) - 0x100000000LL
                                                   : static_cast<int64_t>(square);
    state = static_cast<int32_t>(asSigned >= 0 ? asSigned / 256 : -((-asSigned + 255) / 256));
    out[i] = static_cast<uint8_t>(out[i] ^ (static_cast<uint32_t>(state) & 0xFFu));
  }
  return out;
}

// The C initializer of a stored block, for the failure message.
std::string StoredForm(const char* address, size_t length) {
  std::vector<uint8_t> stored =
      ReferenceScramble(reinterpret_cast<const uint8_t*>(address), length);
  std::string text;
  char hex[8];
  for (size_t i = 0; i < stored.size(); ++i) {
    snprintf(hex, sizeof hex, "0x%02X,", stored[i]);
    text += (i % 12 == 0 ? "\n    " : " ");
    text += hex;
  }
  return text;
}

void ExpectStoredBlock(const uint8_t* block, size_t blockLength, const char* address,
                       size_t addressSize) {
  ASSERT_EQ(blockLength, addressSize) << "block length differs from the address with terminator";
  std::vector<uint8_t> plain = ReferenceScramble(block, blockLength);
  EXPECT_EQ(0, memcmp(plain.data(), address, addressSize))
      << "stored form of \"" << address << "\" should be:" << StoredForm(address, addressSize);
}

TEST(StoredWebAddresses, UnscrambleToTheMakersPagesWithTheirTerminators) {
  ExpectStoredBlock(headerLinkAddress, sizeof headerLinkAddress, kHeaderAddress,
                    sizeof kHeaderAddress);
  ExpectStoredBlock(completionLinkAddress, sizeof completionLinkAddress, kCompletionAddress,
                    sizeof kCompletionAddress);
}

TEST(StoredWebAddresses, AreNotKeptInPlainText) {
  EXPECT_EQ(nullptr, memmem(headerLinkAddress, sizeof headerLinkAddress, "quorel", 6));
  EXPECT_EQ(nullptr, memmem(completionLinkAddress, sizeof completionLinkAddress, "quorel", 6));
}

TEST(WebAddressKeystream, MatchesTheSecondImplementationAtEveryLength) {
  // Lengths up to the buffer size; bytes chosen so that negative states occur early.
  std::vector<uint8_t> bytes(WEB_ADDRESS_BUFFER);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
  for (uint32_t length = 0; length <= WEB_ADDRESS_BUFFER; length += (length < 64 ? 1 : 29)) {
    std::vector<uint8_t> mine(bytes.begin(), bytes.begin() + length);
    ScrambleWebAddress(mine.data(), length);
    EXPECT_EQ(mine, ReferenceScramble(bytes.data(), length)) << "length " << length;
  }
}

TEST(WebAddressKeystream, DependsOnTheLengthNotOnlyOnThePosition) {
  // The same address stored at another block length scrambles differently: a caller that passes
  // the wrong length gets garbage, not the address.
  uint8_t a[40] = {};
  uint8_t b[41] = {};
  memcpy(a, kCompletionAddress, sizeof kCompletionAddress);
  memcpy(b, kCompletionAddress, sizeof kCompletionAddress);
  ScrambleWebAddress(a, sizeof a);
  ScrambleWebAddress(b, sizeof b);
  EXPECT_NE(0, memcmp(a, b, sizeof a));
}

TEST(DecodeWebAddress, GivesTheTerminatedAddress) {
  char out[WEB_ADDRESS_BUFFER];
  memset(out, 'x', sizeof out);
  ASSERT_EQ(1, DecodeWebAddress(completionLinkAddress, sizeof completionLinkAddress, out,
                                sizeof out));
  EXPECT_STREQ(kCompletionAddress, out);
  for (size_t i = sizeof kCompletionAddress; i < sizeof out; ++i) ASSERT_EQ(0, out[i]) << i;
  ASSERT_EQ(1, DecodeWebAddress(headerLinkAddress, sizeof headerLinkAddress, out, sizeof out));
  EXPECT_STREQ(kHeaderAddress, out);
}

TEST(DecodeWebAddress, RefusesBlocksThatWouldOpenSomethingElse) {
  char out[WEB_ADDRESS_BUFFER];
  const char zeros[WEB_ADDRESS_BUFFER] = {};
  // Wrong length: the terminator no longer unscrambles to zero, or the text is garbage.
  memset(out, 'x', sizeof out);
  EXPECT_EQ(0, DecodeWebAddress(completionLinkAddress, 39, out, sizeof out));
  EXPECT_EQ(0, memcmp(out, zeros, sizeof out)) << "a refused address must not stay in out";
  // A block whose terminator does not unscramble to zero.
  uint8_t broken[40];
  memcpy(broken, completionLinkAddress, sizeof broken);
  broken[39] ^= 0x01;
  EXPECT_EQ(0, DecodeWebAddress(broken, sizeof broken, out, sizeof out));
  EXPECT_EQ(0, memcmp(out, zeros, sizeof out));
  // An empty address.
  uint8_t empty[1] = {0};
  ScrambleWebAddress(empty, 1);
  EXPECT_EQ(0, DecodeWebAddress(empty, 1, out, sizeof out));
  // Lengths and buffers out of range.
  std::vector<uint8_t> big(WEB_ADDRESS_BUFFER + 1, 0);
  EXPECT_EQ(0, DecodeWebAddress(big.data(), WEB_ADDRESS_BUFFER + 1, out, sizeof out));
  EXPECT_EQ(0, DecodeWebAddress(nullptr, 40, out, sizeof out));
  EXPECT_EQ(0, DecodeWebAddress(completionLinkAddress, 0, out, sizeof out));
  char small[WEB_ADDRESS_BUFFER - 1];
  EXPECT_EQ(0, DecodeWebAddress(completionLinkAddress, 40, small, sizeof small));
}

TEST(DecodeWebAddress, TakesAFullSizeBlockWhenItsTerminatorIsInside) {
  std::vector<uint8_t> block(WEB_ADDRESS_BUFFER, 0);
  memcpy(block.data(), kHeaderAddress, sizeof kHeaderAddress);
  ScrambleWebAddress(block.data(), WEB_ADDRESS_BUFFER);
  char out[WEB_ADDRESS_BUFFER];
  ASSERT_EQ(1, DecodeWebAddress(block.data(), WEB_ADDRESS_BUFFER, out, sizeof out));
  EXPECT_STREQ(kHeaderAddress, out);
}

TEST(WipeBytes, ClearsTheWholeBuffer) {
  char buffer[WEB_ADDRESS_BUFFER];
  memset(buffer, 'a', sizeof buffer);
  WipeBytes(buffer, sizeof buffer);
  for (char c : buffer) ASSERT_EQ(0, c);
}

}  // namespace
