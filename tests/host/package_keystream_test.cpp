// The keystream and seed chaining against a model written straight from the algorithm, with
// signed arithmetic, and the properties packing and extraction rely on.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "package/keystream.h"
#include "package_testkit.h"

namespace {

// Model: t is a signed 32-bit value, the shift is the language's signed shift.
std::vector<uint8_t> ModelKeys(uint32_t length, uint32_t seed, const uint8_t mix[16],
                               bool logicalShift = false) {
  std::vector<uint8_t> keys;
  int32_t t = (int32_t)seed;
  for (uint32_t i = 0; i < length; ++i) {
    uint32_t n = length - i;
    uint32_t sum = (uint32_t)t + n;
    uint32_t u = (uint32_t)((uint64_t)sum * sum);
    keys.push_back((uint8_t)((mix[n % 16] + ((u >> 8) & 0xFF) + (u & 0xFF)) % 256));
    t = logicalShift ? (int32_t)(u >> 8) : ((int32_t)u >> 8);
  }
  return keys;
}

std::vector<uint8_t> KeysOf(uint32_t length, uint32_t seed, const uint8_t mix[16]) {
  std::vector<uint8_t> zeros(length, 0);
  ApplyPackageKeystream(zeros.data(), length, seed, mix);
  return zeros;
}

const uint8_t kMix[16] = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                          0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};

TEST(Keystream, MatchesSignedShiftModelNotTheLogicalShift) {
  std::mt19937 random(5);
  bool logicalDiffers = false;
  for (uint32_t length : {1u, 2u, 15u, 16u, 17u, 100u, 4096u}) {
    uint32_t seed = random();
    EXPECT_EQ(KeysOf(length, seed, kMix), ModelKeys(length, seed, kMix)) << length;
    if (ModelKeys(length, seed, kMix, true) != ModelKeys(length, seed, kMix)) logicalDiffers = true;
  }
  // The model itself must tell the two shifts apart, or the comparison above proves nothing.
  EXPECT_TRUE(logicalDiffers);
  EXPECT_EQ(KeysOf(64, PACKAGE_SEED, kMix), ModelKeys(64, PACKAGE_SEED, kMix));
}

TEST(Keystream, SingleByteUsesMixOneAndSquareOfSeedPlusOne) {
  uint32_t seed = 0x12345678;
  uint32_t u = (seed + 1) * (seed + 1);
  uint8_t expected = (uint8_t)(kMix[1] + (u >> 8) + u);
  EXPECT_EQ(KeysOf(1, seed, kMix)[0], expected);
}

TEST(Keystream, FirstByteUsesMixIndexLengthModSixteen) {
  uint8_t mix[16] = {0};
  // Only mix[0] is set: with L = 16 the first key byte changes, with L = 17 it does not.
  uint8_t mix0[16] = {0x80};
  EXPECT_NE(KeysOf(16, 7, mix)[0], KeysOf(16, 7, mix0)[0]);
  EXPECT_EQ(KeysOf(17, 7, mix)[0], KeysOf(17, 7, mix0)[0]);
  EXPECT_NE(KeysOf(17, 7, mix)[1], KeysOf(17, 7, mix0)[1]);
}

TEST(Keystream, NegativeSquareFillsTopByteOfNextState) {
  // A seed whose first u has bit 31 set: the sign-filled top byte of t reaches the key bytes a
  // few steps later, where the model with a logical shift disagrees.
  uint32_t seed = 0;
  while ((((seed + 8) * (seed + 8)) & 0x80000000u) == 0) ++seed;
  EXPECT_NE(ModelKeys(8, seed, kMix, true), ModelKeys(8, seed, kMix));
  EXPECT_EQ(KeysOf(8, seed, kMix), ModelKeys(8, seed, kMix));
  uint32_t t = seed;
  KeystreamByte(&t, 8, kMix);
  EXPECT_EQ(t >> 24, 0xFFu);
}

TEST(Keystream, AppliedTwiceRestoresAndEmptyIsUnchanged) {
  std::mt19937 random(3);
  std::vector<uint8_t> bytes(1000);
  for (auto& b : bytes) b = (uint8_t)random();
  std::vector<uint8_t> original = bytes;
  ApplyPackageKeystream(bytes.data(), 1000, PACKAGE_SEED, kMix);
  EXPECT_NE(bytes, original);
  ApplyPackageKeystream(bytes.data(), 1000, PACKAGE_SEED, kMix);
  EXPECT_EQ(bytes, original);
  uint8_t one = 0xAB;
  ApplyPackageKeystream(&one, 0, PACKAGE_SEED, kMix);
  EXPECT_EQ(one, 0xAB);
}

TEST(Keystream, PartsInAnySplitEqualTheWholeEntry) {
  std::mt19937 random(11);
  for (uint32_t length : {0u, 1u, 63u, 64u, 65u, 777u}) {
    std::vector<uint8_t> whole = KeysOf(length, PACKAGE_SEED, kMix);
    std::vector<uint8_t> parts(length, 0);
    KeystreamState ks;
    KeystreamStart(&ks, length, PACKAGE_SEED, kMix);
    uint32_t done = 0;
    while (done < length) {
      uint32_t part = std::min<uint32_t>(length - done, random() % 70);
      KeystreamApplyPart(&ks, parts.data() + done, part);
      done += part;
    }
    EXPECT_EQ(parts, whole) << length;
  }
}

TEST(NextEntrySeed, MovesLowSquareBitsUpAndTakesFirstDigestByte) {
  uint8_t digest[16] = {0xC4, 0xFF};
  uint32_t s = 0x5E27B0D3u;
  uint32_t square = (uint32_t)((uint64_t)s * s);
  EXPECT_EQ(NextEntrySeed(s, digest), ((square & 0xFFFFFFu) << 8) | 0xC4u);
  EXPECT_EQ(NextEntrySeed(0x10000, digest), 0xC4u);  // the square's low 24 bits are zero
}

}  // namespace
