// Prints the OS line that QueryOsCode gives in this Wine prefix, then what GetVersionExA alone
// reports. With "basic", GetVersionExA refuses the 156-byte record, as older systems do; with
// "acp", it prints only the ANSI code page (GetACP).
#include <stdio.h>
#include <string.h>

#include "sysinfo/oscode.h"

static BOOL WINAPI BasicRecordOnly(OSVERSIONINFOA* record) {
  if (record->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) return FALSE;
  return GetVersionExA(record);
}

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "acp") == 0) return printf("%u\n", GetACP()) < 0;
  int basic = argc > 1 && strcmp(argv[1], "basic") == 0;
  int32_t code = basic ? QueryOsCodeWith(BasicRecordOnly) : QueryOsCode();
  OSVERSIONINFOEXA reported;
  memset(&reported, 0, sizeof reported);
  reported.dwOSVersionInfoSize = sizeof reported;
  GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&reported));
  printf("%s\nGetVersionExA %lu.%lu build %lu type %u\n", OsDisplayText(code),
         reported.dwMajorVersion, reported.dwMinorVersion, reported.dwBuildNumber,
         reported.wProductType);
  return 0;
}
