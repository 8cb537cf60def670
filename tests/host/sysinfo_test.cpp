// The OS code decision table, its display texts and the true-version overlay, on plain numbers.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include "sysinfo/oscode.h"

namespace {

struct VersionCase {
  uint32_t major, minor, productType;
  int32_t code;
  const char* text;
};

// Written from the published Windows version numbers, not from the code under test.
const VersionCase kVersions[] = {
    {4, 0, 1, 0, "O/S: < XP"},           {5, 0, 1, 0, "O/S: < XP"},
    {4, 10, 0, 1, "O/S: WIN XP"},        {4, 90, 0, 1, "O/S: WIN XP"},
    {5, 1, 1, 1, "O/S: WIN XP"},         {5, 2, 3, 2, "O/S: Server 2003"},
    {6, 0, 1, 3, "O/S: VISTA"},          {6, 0, 3, 3, "O/S: VISTA"},
    {6, 1, 1, 4, "O/S: WIN7"},           {6, 1, 2, 3, "O/S: VISTA"},
    {6, 1, 3, 3, "O/S: VISTA"},          {6, 2, 1, 5, "O/S: WIN8"},
    {6, 2, 3, 5, "O/S: WIN8"},           {6, 3, 1, 6, "O/S: WIN8.1"},
    {6, 3, 3, 6, "O/S: WIN8.1"},         {6, 4, 1, -1, "O/S: unknown"},
    {6, 0xFFFFFFFFu, 1, -1, "O/S: unknown"}, {7, 0, 1, -1, "O/S: unknown"},
    {8, 1, 1, -1, "O/S: unknown"},       {9, 0, 1, -1, "O/S: unknown"},
    {10, 0, 1, 7, "O/S: WIN10"},         {10, 0, 3, 7, "O/S: WIN10"},
    {11, 0, 1, 8, "O/S: > WIN10"},       {0xFFFFFFFFu, 0, 1, 8, "O/S: > WIN10"},
};

TEST(DecideOsCode, EveryPublishedVersionGetsItsLine) {
  for (const VersionCase& c : kVersions) {
    int32_t code = DecideOsCode(c.major, c.minor, c.productType);
    EXPECT_EQ(code, c.code) << c.major << "." << c.minor << " type " << c.productType;
    EXPECT_STREQ(OsDisplayText(code), c.text) << c.major << "." << c.minor;
  }
}

TEST(DecideOsCode, BasicRecordWithoutProductTypeShows61AsVista) {
  // GetVersionExA that accepts only the 148-byte record leaves the product type 0.
  EXPECT_EQ(DecideOsCode(6, 1, 0), 3);
}

TEST(OsDisplayText, CodesOutsideTheTableAreUnknownNotOutOfBounds) {
  for (int32_t code : {-1, -2, 9, 10, 255, INT32_MIN, INT32_MAX})
    EXPECT_STREQ(OsDisplayText(code), "O/S: unknown") << code;
}

TEST(LayOverTrueVersion, CompatibilityAnswer62IsReplacedByTheTrueVersion) {
  OsVersionNumbers reported = {6, 2, 9200, 2};
  const OsVersionNumbers truth = {10, 0, 19045, 2};
  EXPECT_EQ(LayOverTrueVersion(&reported, 0, &truth), 1);
  EXPECT_EQ(memcmp(&reported, &truth, sizeof truth), 0);
  EXPECT_STREQ(OsDisplayText(DecideOsCode(reported.major, reported.minor, 1)), "O/S: WIN10");

  OsVersionNumbers eight = {6, 2, 9200, 2};
  const OsVersionNumbers eightOne = {6, 3, 9600, 2};
  LayOverTrueVersion(&eight, 0, &eightOne);
  EXPECT_STREQ(OsDisplayText(DecideOsCode(eight.major, eight.minor, 1)), "O/S: WIN8.1");
}

TEST(LayOverTrueVersion, OldOrFailedTrueAnswersLeaveTheReportedNumbers) {
  const OsVersionNumbers before = {5, 1, 2600, 2};
  OsVersionNumbers reported = before;
  const OsVersionNumbers old = {5, 2, 3790, 2};
  EXPECT_EQ(LayOverTrueVersion(&reported, 0, &old), 0);
  EXPECT_EQ(memcmp(&reported, &before, sizeof before), 0);
  EXPECT_EQ(DecideOsCode(reported.major, reported.minor, 1), 1);

  const OsVersionNumbers ten = {10, 0, 19045, 2};
  EXPECT_EQ(LayOverTrueVersion(&reported, static_cast<int32_t>(0xC0000001u), &ten), 0);
  EXPECT_EQ(memcmp(&reported, &before, sizeof before), 0);
}

}  // namespace
