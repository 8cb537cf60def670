// QueryOsCode's two record sizes and OverlayTrueVersion against Wine's real ntdll.
#include <gtest/gtest.h>

#include <string.h>

#include "sysinfo/oscode.h"

namespace {

DWORD askedSizes[4];
int asked;
BYTE tailAtSecondCall;  // OR of the record's bytes past the basic 148, when the 148 is asked

BOOL WINAPI RefusesEverything(OSVERSIONINFOA* record) {
  if (asked < 4) askedSizes[asked++] = record->dwOSVersionInfoSize;
  return FALSE;
}

BOOL WINAPI RefusesTheLongRecord(OSVERSIONINFOA* record) {
  if (asked < 4) askedSizes[asked++] = record->dwOSVersionInfoSize;
  if (record->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) return FALSE;
  const BYTE* tail = reinterpret_cast<const BYTE*>(record) + sizeof(OSVERSIONINFOA);
  for (size_t i = 0; i < sizeof(OSVERSIONINFOEXA) - sizeof(OSVERSIONINFOA); ++i) tailAtSecondCall |= tail[i];
  return GetVersionExA(record);
}

// The true version, asked of ntdll directly.
OsVersionNumbers TrueVersion() {
  struct {
    ULONG size;
    OsVersionNumbers numbers;
    WCHAR servicePack[128];
  } truth;
  memset(&truth, 0, sizeof truth);
  truth.size = sizeof truth;
  typedef LONG(WINAPI * Get)(void*);
  Get get = reinterpret_cast<Get>(reinterpret_cast<void (*)(void)>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetVersion")));
  EXPECT_EQ(get(&truth), 0);
  return truth.numbers;
}

TEST(QueryOsCode, RetriesWithTheBasicRecordAndDecidesWithoutAProductType) {
  asked = 0;
  tailAtSecondCall = 0;
  OsVersionNumbers truth = TrueVersion();
  EXPECT_EQ(QueryOsCodeWith(RefusesTheLongRecord), DecideOsCode(truth.major, truth.minor, 0));
  ASSERT_EQ(asked, 2);
  EXPECT_EQ(askedSizes[0], 156u);
  EXPECT_EQ(askedSizes[1], 148u);
  EXPECT_EQ(tailAtSecondCall, 0) << "product type and suite not cleared";
}

TEST(QueryOsCode, BothSizesRefusedGivesUnknown) {
  asked = 0;
  EXPECT_EQ(QueryOsCodeWith(RefusesEverything), -1);
  EXPECT_EQ(asked, 2);
}

TEST(OverlayTrueVersion, ReplacesTheFourNumbersAndKeepsTheRest) {
  OsVersionNumbers truth = TrueVersion();
  ASSERT_GE(truth.major, 6u) << "the prefix reports an old version";
  OSVERSIONINFOEXA record;
  memset(&record, 0x5A, sizeof record);
  record.dwOSVersionInfoSize = sizeof record;
  record.dwMajorVersion = 6;
  record.dwMinorVersion = 2;
  record.dwBuildNumber = 9200;
  record.wProductType = 3;
  OSVERSIONINFOEXA before = record;
  EXPECT_EQ(OverlayTrueVersion(&record), 0);
  EXPECT_EQ(record.dwMajorVersion, truth.major);
  EXPECT_EQ(record.dwMinorVersion, truth.minor);
  EXPECT_EQ(record.dwBuildNumber, truth.build);
  EXPECT_EQ(record.dwPlatformId, truth.platformId);
  EXPECT_EQ(record.wProductType, 3);
  EXPECT_EQ(memcmp(record.szCSDVersion, before.szCSDVersion, sizeof record.szCSDVersion), 0);
  EXPECT_EQ(record.wSuiteMask, before.wSuiteMask);
  EXPECT_EQ(record.wServicePackMajor, before.wServicePackMajor);
}

}  // namespace
