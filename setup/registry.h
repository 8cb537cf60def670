// The installer's registry records: the uninstall record (HKLM), the application's settings key
// (HKCU\Quorel\Tavrin-Solo) and the user's "Programs" shell folder, read. All return 1 on
// success and 0 on failure.
#pragma once
#include <windows.h>
#include <stddef.h>
#include <stdint.h>

#include "base/product.h"

#define UNINSTALL_ROOT_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
#define UNINSTALL_RECORD_NAME MAKER_NAME ":" PRODUCT_NAME " {" PRODUCT_GUID_HEAD "}"
#define UNINSTALL_RECORD_KEY UNINSTALL_ROOT_KEY "\\" UNINSTALL_RECORD_NAME
#define APP_SETTINGS_KEY PRODUCT_FOLDER
#define SHELL_FOLDERS_KEY "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"

// Writes REG_SZ valueName = data under HKEY_LOCAL_MACHINE\subkey, creating the key if needed.
int32_t SetMachineString(const char* subkey, const char* data, const char* valueName);

// Writes REG_DWORD valueName = 0 under HKEY_CURRENT_USER\Quorel\Tavrin-Solo, creating the key.
int32_t ClearAppSetting(const char* valueName);

// Copies the REG_SZ "Programs" shell folder into out (outSize bytes), terminated even when the
// stored data is not; an absolute folder with "." or ".." components as Windows resolves it
// (GetFullPathNameA). 0 (out empty) when it is missing, not REG_SZ, empty, not absolute
// (IsAbsoluteFolder: relative, drive-relative), or does not fit out with its terminator.
int32_t ReadUserProgramsFolder(char* out, size_t outSize);

// Deletes root\subkey with every key below it, deepest first. 0 when the key does not exist or
// something could not be deleted.
int32_t DeleteRegistryTree(HKEY root, const char* subkey);
