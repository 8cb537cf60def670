// Helpers shared by the procedures' Wine tests: folders set up and inspected without the code
// under test, and the window the procedures report to.
#pragma once
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <string.h>

#include <string>
#include <utility>
#include <vector>

namespace proctest {

inline bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Names in the folder, in the order the search returns them, without "." and "..".
inline std::vector<std::string> List(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*.*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0) {
      names.push_back(found.cFileName);
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

// The target a link file names, read back through a shell link object ("" when it names none or
// cannot be read).
inline std::string LinkTarget(const std::string& link) {
  const HRESULT com = CoInitialize(nullptr);
  std::string target;
  IShellLinkA* shellLink = nullptr;
  IPersistFile* file = nullptr;
  WCHAR wide[MAX_PATH];
  char path[MAX_PATH] = "";
  if (MultiByteToWideChar(CP_ACP, 0, link.c_str(), -1, wide, MAX_PATH) != 0 &&
      SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                 reinterpret_cast<void**>(&shellLink)))) {
    if (SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile,
                                            reinterpret_cast<void**>(&file)))) {
      if (SUCCEEDED(file->Load(wide, STGM_READ)) &&
          shellLink->GetPath(path, MAX_PATH, nullptr, SLGP_RAWPATH) == S_OK) {
        target = path;
      }
      file->Release();
    }
    shellLink->Release();
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return target;
}

// Removes a tree for a test's own set-up. Links are removed as links (or left), never entered.
inline void Clean(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    if (!RemoveDirectoryA(path.c_str())) DeleteFileA(path.c_str());
    return;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    DeleteFileA(path.c_str());
    return;
  }
  for (const std::string& name : List(path)) Clean(path + "\\" + name);
  RemoveDirectoryA(path.c_str());
}

// The hidden window the procedures post to; it keeps every WM_COMMAND it is sent.
inline std::vector<std::pair<int, LPARAM>> received;

inline LRESULT CALLBACK RecordingWindowProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
  if (message == WM_COMMAND) received.emplace_back(LOWORD(wParam), lParam);
  return DefWindowProcA(window, message, wParam, lParam);
}

inline HWND MakeWindow() {
  static HWND window = nullptr;
  if (window != nullptr) return window;
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = RecordingWindowProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "ProceduresTestWindow";
  RegisterClassA(&windowClass);
  window = CreateWindowExA(0, windowClass.lpszClassName, "procedures test", WS_OVERLAPPEDWINDOW, 0,
                           0, 100, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
  return window;
}

// Dispatches what has been posted to the window and returns the WM_COMMANDs received.
inline std::vector<std::pair<int, LPARAM>> Pump() {
  MSG message;
  while (PeekMessageA(&message, MakeWindow(), 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  std::vector<std::pair<int, LPARAM>> got;
  got.swap(received);
  return got;
}

}  // namespace proctest
