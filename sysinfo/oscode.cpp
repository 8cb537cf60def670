// The OS code decision table and its display texts, and the rule for laying the true version
// over the one GetVersionExA reports. Pure: no platform call.
#include "sysinfo/oscode.h"

int32_t DecideOsCode(uint32_t major, uint32_t minor, uint32_t productType) {
  if (major <= 5) return minor == 0 ? 0 : minor == 2 ? 2 : 1;
  if (major == 6) {
    switch (minor) {
      case 0: return 3;
      case 1: return productType == 1 ? 4 : 3;  // 6.1 servers show as Vista
      case 2: return 5;
      case 3: return 6;
      default: return -1;
    }
  }
  if (major == 10) return 7;  // Windows 11 reports 10 as well
  if (major > 10) return 8;
  return -1;  // 7, 8, 9 were never released
}

const char* OsDisplayText(int32_t osCode) {
  static const char* const texts[] = {
      "O/S: < XP", "O/S: WIN XP", "O/S: Server 2003", "O/S: VISTA",   "O/S: WIN7",
      "O/S: WIN8", "O/S: WIN8.1", "O/S: WIN10",       "O/S: > WIN10",
  };
  if (osCode < 0 || osCode > 8) return "O/S: unknown";
  return texts[osCode];
}

int32_t LayOverTrueVersion(OsVersionNumbers* reported, int32_t status,
                           const OsVersionNumbers* trueVersion) {
  if (status != 0 || trueVersion->major < 6) return 0;
  *reported = *trueVersion;
  return 1;
}
