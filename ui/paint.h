// The window's look: drawing resources, the picture, the OS line, the status band and the
// button in its three looks, and the frame metrics that size the window. Every drawing function
// takes the device context first, so tests can also paint into a memory bitmap.
#pragma once
#include <windows.h>
#include <stdint.h>

// Fonts, picture (bitmap 101), hand cursor, osCode, installerPath, targetFolder and
// appInstalled. Returns appInstalled (1 or 0), never a negative value.
int32_t LoadWindowResources(void);
// Deletes the picture and fonts and sets them to null. Returns 0.
int32_t ReleaseWindowResources(void);

// Lays the bitmap at (0, 0); nothing when it is null.
void DrawBackground(HDC dc, HBITMAP bitmap);
// The OS line, the status band and the button in its normal look.
void PaintWindow(HDC dc);
void DrawStatusArea(HDC dc);
// Normal look (pressed 0: white, black caption) or pressed look (black, white caption).
void DrawMainButton(HDC dc, int32_t pressed);
// Black button with the current activity line; phase 1 adds the "Installing" caption above it.
void DrawInstallingButton(HDC dc, int32_t phase);

// Frame width (padded border + fixed frame) and caption height; either pointer may be null.
void GetFrameMetrics(int32_t* frameWidth, int32_t* captionHeight);

// GetSystemMetrics as the multi-monitor compatibility lookup finds it in user32: the exported
// address when all seven multi-monitor functions are there, else the statically bound one.
typedef int(WINAPI* SystemMetricsFunction)(int index);
SystemMetricsFunction LookUpSystemMetrics(HMODULE user32);
