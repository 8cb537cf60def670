// The ANSI code page of the machine: its lead bytes, loaded for the path helpers, and wide text
// spelled in it exactly (no best-fit letters, no '?').
#pragma once
#include <windows.h>
#include <stddef.h>
#include <stdint.h>

// Gives the path helpers the lead-byte ranges of the ANSI code page (GetCPInfo).
void LoadCodePageLeadBytes(void);

// out := wide spelled in the ANSI code page. 1 when every character has its own spelling there
// and the result fits out with its terminator; 0 otherwise (out then empty), so a name the code
// page cannot spell is never replaced by a near one (C:\users\Łukasz by C:\users\Lukasz).
int32_t SpellExactly(const WCHAR* wide, char* out, size_t outSize);

// Whether two ANSI names or paths (each below 2048 characters) are one: compared ordinally,
// ignoring case, as the file system and the registry compare them, whatever the user's language
// (lstrcmpiA's Turkish I and i differ, and it passes over a soft hyphen). 0 when either does not
// convert.
int32_t SameNameIgnoringCase(const char* a, const char* b);
