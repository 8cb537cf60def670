// Opening the maker's web pages: a stored block is unscrambled into a local buffer, handed to the
// shell's "open" verb and wiped, so the plain address does not stay in memory.
#include "app/window.h"

#include <shellapi.h>

#include "app/webaddress.h"

void OpenWebAddress(const uint8_t* block, uint32_t length) {
  char address[WEB_ADDRESS_BUFFER];
  if (DecodeWebAddress(block, length, address, sizeof address) == 1)
    ShellExecuteA(installerContext.mainWindow, "open", address, nullptr, nullptr, SW_SHOW);
  WipeBytes(address, sizeof address);
}
