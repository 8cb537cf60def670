// Asks Windows for its version: GetVersionExA, with the true version from ntdll's RtlGetVersion
// laid over it, since a program manifested for Vista and 7 only is told 6.2 on later systems.
#include <string.h>

#include "sysinfo/oscode.h"

namespace {

// RTL_OSVERSIONINFOW as ntdll fills it (276 bytes).
struct TrueVersionRecord {
  ULONG size;
  OsVersionNumbers numbers;
  WCHAR servicePack[128];
};
static_assert(sizeof(TrueVersionRecord) == 276, "RTL_OSVERSIONINFOW is 276 bytes");
typedef LONG(WINAPI* RtlGetVersionFunction)(TrueVersionRecord* record);

}  // namespace

int32_t OverlayTrueVersion(OSVERSIONINFOEXA* record) {
  HMODULE ntdll = GetModuleHandleA("Ntdll.dll");
  if (ntdll == nullptr) return -1;
  FARPROC found = GetProcAddress(ntdll, "RtlGetVersion");
  if (found == nullptr) return -1;
  RtlGetVersionFunction rtlGetVersion =
      reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void (*)(void)>(found));
  TrueVersionRecord truth;
  memset(&truth, 0, sizeof truth);
  truth.size = sizeof truth;
  LONG status = rtlGetVersion(&truth);
  OsVersionNumbers reported = {record->dwMajorVersion, record->dwMinorVersion,
                               record->dwBuildNumber, record->dwPlatformId};
  if (LayOverTrueVersion(&reported, status, &truth.numbers)) {
    record->dwMajorVersion = reported.major;
    record->dwMinorVersion = reported.minor;
    record->dwBuildNumber = reported.build;
    record->dwPlatformId = reported.platformId;
  }
  return 0;
}

int32_t QueryOsCodeWith(GetVersionFunction getVersion) {
  OSVERSIONINFOEXA record;
  memset(&record, 0, sizeof record);
  record.dwOSVersionInfoSize = sizeof record;  // 156
  OSVERSIONINFOA* basic = reinterpret_cast<OSVERSIONINFOA*>(&record);
  if (!getVersion(basic)) {
    // Older systems know only the basic record; the product type then stays 0.
    record.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);  // 148
    if (!getVersion(basic)) return -1;
  }
  OverlayTrueVersion(&record);
  return DecideOsCode(record.dwMajorVersion, record.dwMinorVersion, record.wProductType);
}

int32_t QueryOsCode(void) { return QueryOsCodeWith(GetVersionExA); }
