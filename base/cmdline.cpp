// Command-line options: "-h", "-i", "-u" in either case, each after its own hyphen.
#include "base/cmdline.h"

int32_t hiddenMode = 0;
int32_t installRequested = 0;
int32_t uninstallRequested = 0;

void ParseCommandLine(const char* commandLine) {
  if (commandLine == nullptr || commandLine[0] == '\0' || commandLine[1] == '\0') return;
  const char* p = commandLine;
  for (;;) {
    while (*p != '\0' && *p != '-') ++p;
    if (*p == '\0') return;
    ++p;  // the hyphen
    const char option = *p;
    if (option == '\0') return;
    if (option == 'h' || option == 'H') hiddenMode = 1;
    if (option == 'u' || option == 'U') uninstallRequested = 1;
    if (option == 'i' || option == 'I') installRequested = 1;
    ++p;  // the option character, whatever it was: "--i" consumes the second hyphen here
  }
}

const char* SkipProgramName(const char* commandLine) {
  const char* p = commandLine;
  bool quoted = false;
  while (static_cast<unsigned char>(*p) > ' ' || (*p != '\0' && quoted)) {
    if (*p == '"') quoted = !quoted;
    ++p;
  }
  while (*p != '\0' && static_cast<unsigned char>(*p) <= ' ') ++p;
  return p;
}
