// A stand-in for a DLL planted beside the installer: it exports SHGetFolderPathA and answers
// with a folder of its own, so a test can tell whether it was loaded.
#include <windows.h>

extern "C" __declspec(dllexport) HRESULT WINAPI SHGetFolderPathA(HWND, int, HANDLE, DWORD,
                                                                 LPSTR path) {
  lstrcpynA(path, "C:\\planted", MAX_PATH);
  return S_OK;
}
