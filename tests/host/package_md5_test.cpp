// MD5 against the RFC 1321 test suite and against OpenSSL on random inputs; the interleaved
// entry unpacker against the three separate passes it replaces.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

#include "package/keystream.h"
#include "package/md5.h"
#include "package/stream.h"
#include "package_testkit.h"

namespace {

std::string Hex(const uint8_t digest[16]) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < 16; ++i) {
    s += digits[digest[i] >> 4];
    s += digits[digest[i] & 15];
  }
  return s;
}

std::string Md5Of(const std::string& text) {
  uint8_t digest[16];
  ComputeMd5(reinterpret_cast<const uint8_t*>(text.data()), (uint32_t)text.size(), digest);
  return Hex(digest);
}

std::string OpenSslMd5(const std::vector<uint8_t>& bytes) {
  uint8_t digest[16];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
  return Hex(digest);
}

std::vector<uint8_t> RandomBytes(std::mt19937& random, size_t length) {
  std::vector<uint8_t> bytes(length);
  for (auto& b : bytes) b = (uint8_t)random();
  return bytes;
}

const size_t kLengths[] = {0, 1, 2, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 191, 192,
                           193, 1000, 4095, 4096, 65537, 1 << 20};

TEST(Md5, MatchesRfc1321TestSuite) {
  EXPECT_EQ(Md5Of(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Of("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Md5Of("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5Of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Md5Of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Md5Of("1234567890123456789012345678901234567890123456789012345678901234567890"
                  "1234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
  // Proof that the comparison bites: one changed letter, another digest.
  EXPECT_NE(Md5Of("abd"), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, MatchesOpenSslOnRandomInputsAtBlockBoundaries) {
  std::mt19937 random(1321);
  for (size_t length : kLengths) {
    std::vector<uint8_t> bytes = RandomBytes(random, length);
    uint8_t digest[16];
    ComputeMd5(bytes.data(), (uint32_t)bytes.size(), digest);
    EXPECT_EQ(Hex(digest), OpenSslMd5(bytes)) << "length " << length;
  }
}

TEST(Md5, IncrementalUpdatesInAnySplitGiveTheOnePassDigest) {
  std::mt19937 random(7);
  for (size_t length : kLengths) {
    std::vector<uint8_t> bytes = RandomBytes(random, length);
    Md5State md5;
    Md5Init(&md5);
    size_t done = 0;
    while (done < length) {
      size_t part = std::min<size_t>(length - done, random() % 150);
      Md5Update(&md5, bytes.data() + done, (uint32_t)part);
      done += part;
    }
    uint8_t digest[16];
    Md5Final(&md5, digest);
    EXPECT_EQ(Hex(digest), OpenSslMd5(bytes)) << "length " << length;
  }
}

// The fused one-lane unscrambling must give exactly what the three plain passes give, at every
// length around its fill and drain points.
// Checking gives the stored and plain digests of the three separate passes, and sealing the
// unscrambled bytes gives back the stored ones with the same digests the other way round.
TEST(EntryStream, ChecksAndSealsAsDigestThenKeystreamThenDigest) {
  std::mt19937 random(99);
  std::vector<size_t> lengths(std::begin(kLengths), std::end(kLengths));
  for (size_t n = 0; n <= 64 * 5 + 1; ++n) lengths.push_back(n);
  for (size_t length : lengths) {
    std::vector<uint8_t> bytes = RandomBytes(random, length);
    uint8_t mix[16];
    for (auto& m : mix) m = (uint8_t)random();
    EntryChain chain = {(uint32_t)random(), {}};
    memcpy(chain.mixDigest, mix, 16);
    std::vector<uint8_t> expected = bytes;
    uint8_t storedExpected[16], plainExpected[16], stored[16], plain[16];
    ComputeMd5(expected.data(), (uint32_t)length, storedExpected);
    ApplyPackageKeystream(expected.data(), (uint32_t)length, chain.entrySeed, mix);
    ComputeMd5(expected.data(), (uint32_t)length, plainExpected);
    const std::vector<uint8_t> original = bytes;
    EntryStream stream;
    BeginEntryStream(&stream, (uint32_t)length, &chain);
    FeedEntryStream(&stream, bytes.data(), (uint32_t)length);
    EndEntryStream(&stream, stored, plain);
    ASSERT_EQ(bytes, expected) << "length " << length;
    ASSERT_EQ(Hex(stored), Hex(storedExpected)) << "length " << length;
    ASSERT_EQ(Hex(plain), Hex(plainExpected)) << "length " << length;
    BeginEntryStream(&stream, (uint32_t)length, &chain);
    FeedEntryStream(&stream, bytes.data(), (uint32_t)length);
    EndEntryStream(&stream, plain, stored);
    ASSERT_EQ(bytes, original) << "length " << length;
    ASSERT_EQ(Hex(stored), Hex(storedExpected)) << "length " << length;
    ASSERT_EQ(Hex(plain), Hex(plainExpected)) << "length " << length;
  }
}

}  // namespace
