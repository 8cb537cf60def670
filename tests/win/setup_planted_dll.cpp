// A stand-in for a DLL planted beside the installer, copied under the name of a system DLL. It
// exports SHGetFolderPathA and answers with a folder of its own, and when it is loaded it leaves
// a marker file beside itself (its own path with ".ran" added), so a test can tell that it ran.
#include <windows.h>

extern "C" __declspec(dllexport) HRESULT WINAPI SHGetFolderPathA(HWND, int, HANDLE, DWORD,
                                                                 LPSTR path) {
  lstrcpynA(path, "C:\\planted", MAX_PATH);
  return S_OK;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char marker[MAX_PATH + 8];
  const DWORD length = GetModuleFileNameA(self, marker, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  lstrcpynA(marker + length, ".ran", 5);
  HANDLE file = CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return TRUE;
}
