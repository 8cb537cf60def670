// Operating-system identification for the window's "O/S:" line.
#pragma once
#include <stdint.h>

// The OS code of a version: 0 < XP, 1 XP, 2 Server 2003, 3 Vista (and 6.1 servers), 4 Win7,
// 5 Win8, 6 Win8.1, 7 Win10, 8 newer, -1 unknown. Pure: no platform call.
int32_t DecideOsCode(uint32_t major, uint32_t minor, uint32_t productType);

// "O/S: WIN10" and so on; every code outside 0..8 gives "O/S: unknown".
const char* OsDisplayText(int32_t osCode);

// The four numbers that the true version replaces, in the order both platform records keep them.
struct OsVersionNumbers {
  uint32_t major, minor, build, platformId;
};

// Lays trueVersion over reported when its query succeeded (status 0) and it names version 6 or
// later; older answers are ignored. Returns 1 when it laid them over, else 0.
int32_t LayOverTrueVersion(OsVersionNumbers* reported, int32_t status,
                           const OsVersionNumbers* trueVersion);

#ifdef _WIN32
#include <windows.h>
// GetVersionExA (156-byte record, then the 148-byte one), the true version laid over it, decided.
int32_t QueryOsCode(void);
// The same with another GetVersionExA, so that a test can refuse the 156-byte record.
typedef BOOL(WINAPI* GetVersionFunction)(OSVERSIONINFOA* record);
int32_t QueryOsCodeWith(GetVersionFunction getVersion);
// Lays RtlGetVersion's major, minor, build and platform over the record when it reports a major
// version of 6 or more. -1 when ntdll or RtlGetVersion cannot be found, else 0.
int32_t OverlayTrueVersion(OSVERSIONINFOEXA* record);
#endif
