#include "splash_internal.h"

HWND splash_window;
wchar_t splash_feedback_path[pathCapacity];
bool splash_feedback_pending;
splash_functions splash_api;

bool bind_splash_functions()
{
    splash_functions& f = splash_api;
    const wchar_t* const ole = L"ole32.dll";
    const wchar_t* const user = L"user32.dll";
    const wchar_t* const gdi = L"gdi32.dll";
    return bindSystemFunction(f.co_initialize, ole, "CoInitialize") &&
           bindSystemFunction(f.create_stream_on_hglobal, ole, "CreateStreamOnHGlobal") &&
           bindSystemFunction(f.co_create_instance, ole, "CoCreateInstance") &&
           bindSystemFunction(f.def_window_proc, user, "DefWindowProcA") &&
           bindSystemFunction(f.load_cursor, user, "LoadCursorW") &&
           bindSystemFunction(f.register_class, user, "RegisterClassA") &&
           bindSystemFunction(f.create_window, user, "CreateWindowExA") &&
           bindSystemFunction(f.destroy_window, user, "DestroyWindow") &&
           bindSystemFunction(f.monitor_from_point, user, "MonitorFromPoint") &&
           bindSystemFunction(f.get_monitor_info, user, "GetMonitorInfoA") &&
           bindSystemFunction(f.get_dc, user, "GetDC") && bindSystemFunction(f.release_dc, user, "ReleaseDC") &&
           bindSystemFunction(f.update_layered_window, user, "UpdateLayeredWindow") &&
           bindSystemFunction(f.create_compatible_dc, gdi, "CreateCompatibleDC") &&
           bindSystemFunction(f.create_dib_section, gdi, "CreateDIBSection") &&
           bindSystemFunction(f.select_object, gdi, "SelectObject") &&
           bindSystemFunction(f.get_object, gdi, "GetObjectA") && bindSystemFunction(f.delete_dc, gdi, "DeleteDC") &&
           bindSystemFunction(f.delete_object, gdi, "DeleteObject");
}

POINT computeSplashPosition(const RECT& workArea, int width, int height)
{
    return POINT{workArea.left + (workArea.right - (workArea.left + width)) / 2,
                 workArea.top + (workArea.bottom - (workArea.top + height)) / 2};
}

static HWND createSplashWindow()
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = splash_api.def_window_proc;
    windowClass.hCursor = splash_api.load_cursor(nullptr, IDC_ARROW);
    windowClass.lpszClassName = "Splash";
    splash_api.register_class(&windowClass);
    // No taskbar button: a tool window is left out of it.
    return splash_api.create_window(WS_EX_LAYERED | WS_EX_TOOLWINDOW, "Splash", nullptr, WS_POPUP | WS_VISIBLE, 0, 0, 0, 0,
                           nullptr, nullptr, nullptr, nullptr);
}

// Moves, sizes and paints the layered window in one call, centred on the
// primary monitor's work area.
static void showBitmap(HWND window, HBITMAP bitmap)
{
    BITMAP shape = {};
    splash_api.get_object(bitmap, sizeof shape, &shape);
    SIZE size = {shape.bmWidth, shape.bmHeight};
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    splash_api.get_monitor_info(splash_api.monitor_from_point(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &monitor);
    POINT position = computeSplashPosition(monitor.rcWork, size.cx, size.cy);
    POINT origin = {0, 0};
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    const HDC screen = splash_api.get_dc(nullptr);
    const HDC memory = splash_api.create_compatible_dc(screen);
    const HGDIOBJ previous = splash_api.select_object(memory, bitmap);
    splash_api.update_layered_window(window, screen, &position, &size, memory, &origin, 0, &blend, ULW_ALPHA);
    splash_api.select_object(memory, previous);
    splash_api.delete_dc(memory);
    splash_api.release_dc(nullptr, screen);
}

// Creates the feedback file anew: never truncates or follows what has the
// name. A stale file with this process's id (an earlier run's, ids are
// reused) is removed first, by the link-safe removal, since another start's
// sweep never touches a name with a live run's id.
static bool createFeedbackFile(const wchar_t* path)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        const HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS || !removeFileInPlace(path)) {
            return false;
        }
    }
    return false;
}

void createSplashFeedbackFile()
{
    if (!expandPathSpec(splash_feedback_path, L"{TEMP}\\onefile_{PID}_splash_feedback.tmp", pathCapacity)) {
        return;
    }
    // Without a file of its own the application cannot take the splash
    // down: it stays until the application ends.
    if (!createFeedbackFile(splash_feedback_path)) {
        splash_feedback_path[0] = L'\0';
    }
    splash_feedback_pending = true;
}

void initSplashScreen()
{
    if (!bind_splash_functions()) {
        return;  // a system without them shows no splash
    }
    splash_api.co_initialize(nullptr);
    const HBITMAP bitmap = loadSplashBitmap();
    if (bitmap == nullptr) {
        return;
    }
    // Without a display (as in CI) no window can be made: no splash then,
    // and no feedback file for the application to look for.
    const HWND window = createSplashWindow();
    if (window != nullptr) {
        showBitmap(window, bitmap);
    }
    // The layered window keeps its own copy of the image.
    splash_api.delete_object(bitmap);
    if (window == nullptr) {
        return;
    }
    splash_window = window;
    createSplashFeedbackFile();
}

bool checkSplashScreen()
{
    if (!splash_feedback_pending) {
        return false;
    }
    if (splash_feedback_path[0] == L'\0' || GetFileAttributesW(splash_feedback_path) != INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    hideSplashScreen();
    return false;
}

void hideSplashScreen()
{
    if (splash_window != nullptr) {
        splash_api.destroy_window(splash_window);
        splash_window = nullptr;
    }
    splash_feedback_pending = false;
}
