// The three command-line flags, their parser, and where the options start after the program
// name. The flags live outside InstallerContext, so clearing the context at start-up leaves them
// as the command line set them.
#pragma once
#include <stdint.h>

extern int32_t hiddenMode;          // "-h": hidden window, no outcome boxes
extern int32_t installRequested;    // "-i": run at once
extern int32_t uninstallRequested;  // "-u": run at once; the installed state decides what

// Reads single-letter options, each after its own hyphen, anywhere in the command line (given
// without the program name; may be null). Sets flags, never clears them.
void ParseCommandLine(const char* commandLine);

// The command line after the program name and the blanks that follow it: the name ends at the
// first control character or blank outside quotes. Unlike the C runtime's start-up, whose signed
// comparison ends an unquoted name at its first byte from 0x80 up, a name in a double-byte or
// accented code page stays whole, so no hyphen in its path (C:\ダウンロード\tavrin-installer.exe)
// is read as an option.
const char* SkipProgramName(const char* commandLine);
