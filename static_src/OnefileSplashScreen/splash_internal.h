// Pieces of the splash unit shared between its files.
#pragma once

#include <objbase.h>
#include <wincodec.h>

#include "splash.h"

// The system functions the splash needs, bound at run time from the system
// directory when a splash is made: a start that shows none (the re-entry
// road) never loads user32, gdi32 or ole32.
struct splash_functions {
    decltype(&CoInitialize) co_initialize;
    decltype(&CreateStreamOnHGlobal) create_stream_on_hglobal;
    decltype(&CoCreateInstance) co_create_instance;
    decltype(&DefWindowProcA) def_window_proc;
    decltype(&LoadCursorW) load_cursor;
    decltype(&RegisterClassA) register_class;
    decltype(&CreateWindowExA) create_window;
    decltype(&DestroyWindow) destroy_window;
    decltype(&MonitorFromPoint) monitor_from_point;
    decltype(&GetMonitorInfoA) get_monitor_info;
    decltype(&GetDC) get_dc;
    decltype(&ReleaseDC) release_dc;
    decltype(&UpdateLayeredWindow) update_layered_window;
    decltype(&CreateCompatibleDC) create_compatible_dc;
    decltype(&CreateDIBSection) create_dib_section;
    decltype(&SelectObject) select_object;
    decltype(&GetObjectA) get_object;
    decltype(&DeleteDC) delete_dc;
    decltype(&DeleteObject) delete_object;
};
extern splash_functions splash_api;

// Binds every entry of splash_api; false when any is missing (no splash).
bool bind_splash_functions();

// The splash resource as a top-down premultiplied BGRA bitmap, or null.
HBITMAP loadSplashBitmap();
