// The three command-line flags, their parser, and where the options start after the program name. The flags live outside InstallerContext, so
// clearing the context at start-up leaves them as the command line set them.
#pragma once
#include <stdint.h>

extern int32_t hiddenMode;          // "-h": hidden window, no outcome boxes
extern int32_t installRequested;    // "-i": run at once
extern int32_t uninstallRequested;  // "-u": run at once; the installed state decides what

// Reads single-letter options, each after its own hyphen, anywhere in the command line (given
// without the program name; may be null). Sets flags, never clears them.
void ParseCommandLine(const char* commandLine);

// The command line after the program name and the blanks that follow it, as the C runtime's
// start-up has always handed it to WinMain: the name ends at the first byte at or below a blank
// outside quotes, bytes from 0x80 up counting as below (they compare as negative chars).
const char* SkipProgramName(const char* commandLine);
