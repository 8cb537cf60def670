// The installer window and its controller: class, creation, message handling, the install
// worker, unattended runs, and opening the maker's web pages.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "app/context.h"

enum { BLINK_TIMER = 12347 };

HWND CreateMainWindow(HINSTANCE instance, const char* title);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void OnMainButton(HWND window);
int32_t RunInstallAndWait(int32_t wait);
DWORD WINAPI InstallWorkerMain(LPVOID context);
void OpenWebAddress(const uint8_t* block, uint32_t length);
