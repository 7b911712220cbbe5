#include "splash_internal.h"

#include <shlwapi.h>

HWND splash_window;
wchar_t splash_feedback_path[pathCapacity];
bool splash_feedback_pending;

POINT computeSplashPosition(const RECT& workArea, int width, int height)
{
    return POINT{workArea.left + (workArea.right - (workArea.left + width)) / 2,
                 workArea.top + (workArea.bottom - (workArea.top + height)) / 2};
}

static HWND createSplashWindow()
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = "Splash";
    RegisterClassA(&windowClass);
    // No taskbar button: a tool window is left out of it.
    return CreateWindowExA(WS_EX_LAYERED | WS_EX_TOOLWINDOW, "Splash", nullptr, WS_POPUP | WS_VISIBLE, 0, 0, 0, 0,
                           nullptr, nullptr, nullptr, nullptr);
}

// Moves, sizes and paints the layered window in one call, centred on the
// primary monitor's work area.
static void showBitmap(HWND window, HBITMAP bitmap)
{
    BITMAP shape = {};
    GetObjectA(bitmap, sizeof shape, &shape);
    SIZE size = {shape.bmWidth, shape.bmHeight};
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoA(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &monitor);
    POINT position = computeSplashPosition(monitor.rcWork, size.cx, size.cy);
    POINT origin = {0, 0};
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    const HGDIOBJ previous = SelectObject(memory, bitmap);
    UpdateLayeredWindow(window, screen, &position, &size, memory, &origin, 0, &blend, ULW_ALPHA);
    SelectObject(memory, previous);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

void createSplashFeedbackFile()
{
    if (!expandPathSpec(splash_feedback_path, L"{TEMP}\\onefile_{PID}_splash_feedback.tmp", pathCapacity)) {
        return;
    }
    // Only the file's presence counts: one already there (an earlier run with
    // the same id, or anything planted on a shared temporary directory) is
    // left exactly as it is, and a link at the name is never followed.
    const HANDLE file =
        CreateFileW(splash_feedback_path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    splash_feedback_pending = true;
}

void initSplashScreen()
{
    CoInitialize(nullptr);
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
    DeleteObject(bitmap);
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
    if (PathFileExistsW(splash_feedback_path)) {
        return true;
    }
    hideSplashScreen();
    return false;
}

void hideSplashScreen()
{
    if (splash_window != nullptr) {
        DestroyWindow(splash_window);
        splash_window = nullptr;
    }
    splash_feedback_pending = false;
}
