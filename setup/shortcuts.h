// Start-menu shortcut files, made through the shell's link object: folder\name.LNK.
#pragma once
#include <windows.h>

// Writes folder\name.LNK pointing at target, described by name, working in the target's folder.
// The caller has initialised COM. Returns the COM result (S_OK on success).
HRESULT CreateShortcut(const char* folder, const char* name, const char* target);

// Deletes folder\name.LNK. Non-zero when a file was deleted. Refuses (0) a folder that is empty
// or not absolute, such as an unresolved "Startup".
BOOL DeleteShortcut(const char* folder, const char* name);
