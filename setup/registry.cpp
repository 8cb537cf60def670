// The installer's registry records: the uninstall record under HKEY_LOCAL_MACHINE, the
// application's two tray settings under HKEY_CURRENT_USER, and the user's "Programs" folder.
#include "setup/registry.h"

#include "base/codepage.h"
#include "base/text.h"
#include "setup/paths.h"

// Opens root\subkey, creating it (and missing keys above it) when it does not exist, and
// writes one value. 1 when the value was written.
static int32_t WriteValue(HKEY root, const char* subkey, const char* valueName, DWORD type,
                          const BYTE* data, DWORD size) {
  HKEY key = nullptr;
  if (RegOpenKeyA(root, subkey, &key) != ERROR_SUCCESS &&
      RegCreateKeyA(root, subkey, &key) != ERROR_SUCCESS) {
    return 0;
  }
  const LONG result = RegSetValueExA(key, valueName, 0, type, data, size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS ? 1 : 0;
}

int32_t SetMachineString(const char* subkey, const char* data, const char* valueName) {
  return WriteValue(HKEY_LOCAL_MACHINE, subkey, valueName, REG_SZ,
                    reinterpret_cast<const BYTE*>(data), static_cast<DWORD>(lstrlenA(data) + 1));
}

int32_t ClearAppSetting(const char* valueName) {
  const DWORD zero = 0;
  return WriteValue(HKEY_CURRENT_USER, APP_SETTINGS_KEY, valueName, REG_DWORD,
                    reinterpret_cast<const BYTE*>(&zero), sizeof zero);
}

int32_t ReadUserProgramsFolder(char* out, size_t outSize) {
  if (out == nullptr || outSize == 0) return 0;
  out[0] = '\0';
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_CURRENT_USER, SHELL_FOLDERS_KEY, &key) != ERROR_SUCCESS) return 0;
  // Read as wide text: the ANSI call would best-fit a name the code page cannot spell
  // (C:\users\Łukasz as C:\users\Lukasz), a folder the user never had.
  WCHAR data[2048];
  DWORD type = 0;
  DWORD size = sizeof data - sizeof data[0];
  const LONG result =
      RegQueryValueExW(key, L"Programs", nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS || type != REG_SZ || size > sizeof data - sizeof data[0]) return 0;
  data[size / sizeof data[0]] = 0;  // the stored data need not end with a zero
  char folder[4096];
  if (!SpellExactly(data, folder, sizeof folder) ||
      !CopyRegistryString(folder, sizeof folder, out, outSize)) {
    out[0] = '\0';
    return 0;
  }
  // Every form Windows accepts: forward slashes, a "\\?\" or "\\.\" prefix. A relative or
  // drive-relative folder would put the menu folder below whatever folder is current, where no
  // removal finds it again: it counts as absent, for install and removal alike.
  if (!NormalizeFolderForm(out)) {
    out[0] = '\0';
    return 0;
  }
  if (IsPlainAbsoluteFolder(out)) return 1;
  // "." and ".." components: the folder Windows makes of them, the one the links are made in
  // (by this build or an earlier one), and the one the removal's checks then accept.
  char full[4096];
  const DWORD length = GetFullPathNameA(out, sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full || !IsPlainAbsoluteFolder(full) ||
      !TextCopy(out, outSize, full)) {
    out[0] = '\0';
    return 0;
  }
  return 1;
}

int32_t DeleteRegistryTree(HKEY root, const char* subkey) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, subkey, 0, DELETE | KEY_ENUMERATE_SUB_KEYS, &key) != ERROR_SUCCESS) {
    return 0;
  }
  int32_t result = 1;
  char deleted[1024] = "";  // the child deleted last
  for (;;) {
    char child[1024];
    DWORD childLength = 1023;
    const LONG found = RegEnumKeyExA(key, 0, child, &childLength, nullptr, nullptr, nullptr,
                                     nullptr);
    if (found == ERROR_SUCCESS) {
      // Each child is gone before the next look, so index 0 is always the next one; a child
      // reported deleted that is listed again stayed, and would be deleted for ever.
      if (SameNameIgnoringCase(child, deleted) || !DeleteRegistryTree(key, child)) {
        result = 0;
        break;
      }
      TextCopy(deleted, sizeof deleted, child);
      continue;
    }
    // Any other answer leaves the key in place, which is a failure too.
    if (found != ERROR_NO_MORE_ITEMS || RegDeleteKeyA(root, subkey) != ERROR_SUCCESS) result = 0;
    break;
  }
  RegCloseKey(key);
  return result;
}
