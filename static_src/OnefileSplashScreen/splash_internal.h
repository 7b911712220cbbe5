// Pieces of the splash unit shared between its files.
#pragma once

#include <objbase.h>
#include <wincodec.h>

#include "splash.h"

// The system functions the splash needs, bound at run time from the system
// directory when a splash is made: a start that shows none (the re-entry
// road) never loads user32, gdi32 or ole32.
struct SplashFunctions {
    decltype(&CoInitialize) CoInitialize;
    decltype(&CreateStreamOnHGlobal) CreateStreamOnHGlobal;
    decltype(&CoCreateInstance) CoCreateInstance;
    decltype(&DefWindowProcA) DefWindowProcA;
    decltype(&LoadCursorW) LoadCursorW;
    decltype(&RegisterClassA) RegisterClassA;
    decltype(&CreateWindowExA) CreateWindowExA;
    decltype(&DestroyWindow) DestroyWindow;
    decltype(&MonitorFromPoint) MonitorFromPoint;
    decltype(&GetMonitorInfoA) GetMonitorInfoA;
    decltype(&GetDC) GetDC;
    decltype(&ReleaseDC) ReleaseDC;
    decltype(&UpdateLayeredWindow) UpdateLayeredWindow;
    decltype(&CreateCompatibleDC) CreateCompatibleDC;
    decltype(&CreateDIBSection) CreateDIBSection;
    decltype(&SelectObject) SelectObject;
    decltype(&GetObjectA) GetObjectA;
    decltype(&DeleteDC) DeleteDC;
    decltype(&DeleteObject) DeleteObject;
    decltype(&GdiFlush) GdiFlush;
    decltype(&CreateFontW) CreateFontW;
    decltype(&SetBkMode) SetBkMode;
    decltype(&SetTextColor) SetTextColor;
    decltype(&DrawTextW) DrawTextW;
};
extern SplashFunctions splashApi;

// Binds every entry of splashApi; false when any is missing (no splash).
bool bindSplashFunctions();

// Moves (unless `position` is null), sizes and paints the layered window
// from `bitmap` in one call, after `draw` (when given) has drawn into the
// bitmap through a memory DC.
void paintLayeredWindow(HWND window, HBITMAP bitmap, POINT* position, void (*draw)(HDC memory));

// The splash resource as a top-down premultiplied BGRA bitmap, or null.
HBITMAP loadSplashBitmap();
// Whether the executable carries a splash image at all (kernel32 only).
bool hasSplashImage();

// Keeps the shown image's bitmap (and a copy of its bottom rows) for the
// progress bar and the text, and opens the text channel; all of it goes
// with releaseSplashOverlays, when the splash does.
void keepSplashForOverlays(HBITMAP bitmap);
void releaseSplashOverlays();
