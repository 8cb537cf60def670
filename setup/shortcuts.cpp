// Start-menu shortcut files: folder\name.LNK written through the shell link object, and deleted.
#include "setup/shortcuts.h"

#include <objbase.h>
#include <shlobj.h>

#include "setup/paths.h"

HRESULT CreateShortcut(const char* folder, const char* name, const char* target) {
  char linkPath[2048];
  char workingFolder[2048];
  WCHAR wideLinkPath[2048];
  // A relative folder would put the link wherever the current directory happens to be.
  if (!IsAbsoluteFolder(folder) || !ComposeLinkPath(folder, name, linkPath, sizeof linkPath) ||
      !WorkingFolderOf(target, workingFolder, sizeof workingFolder) ||
      MultiByteToWideChar(CP_ACP, 0, linkPath, -1, wideLinkPath, 2048) == 0) {
    return E_INVALIDARG;
  }

  IShellLinkA* link = nullptr;
  HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IShellLinkA, reinterpret_cast<void**>(&link));
  if (FAILED(result)) return result;
  // A link whose target could not be set would be saved pointing nowhere: none is made.
  result = link->SetPath(target);
  if (FAILED(result)) {
    link->Release();
    return result;
  }
  link->SetDescription(name);
  link->SetArguments(nullptr);  // no arguments, and no arguments string in the link
  link->SetWorkingDirectory(workingFolder);

  IPersistFile* file = nullptr;
  result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
  if (FAILED(result)) {
    link->Release();
    return result;
  }
  // Save replaces a link file of the same name.
  result = file->Save(wideLinkPath, TRUE);
  file->Release();
  link->Release();
  return result;
}

BOOL DeleteShortcut(const char* folder, const char* name) {
  char linkPath[2048];
  // An unresolved Startup folder ("Startup", or empty) would name a file in the current
  // directory or the current drive's root.
  if (!IsAbsoluteFolder(folder) || !ComposeLinkPath(folder, name, linkPath, sizeof linkPath)) {
    return FALSE;
  }
  return DeleteFileA(linkPath);
}
