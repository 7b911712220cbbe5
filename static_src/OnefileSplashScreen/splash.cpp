#include "splash_internal.h"

HWND splashWindow;
wchar_t splashFeedbackPath[pathCapacity];
bool splashFeedbackPending;
SplashFunctions splashApi;

bool bindSplashFunctions()
{
    SplashFunctions& f = splashApi;
    const wchar_t* const ole = L"ole32.dll";
    const wchar_t* const user = L"user32.dll";
    const wchar_t* const gdi = L"gdi32.dll";
    return bindSystemFunction(f.CoInitialize, ole, "CoInitialize") &&
           bindSystemFunction(f.CreateStreamOnHGlobal, ole, "CreateStreamOnHGlobal") &&
           bindSystemFunction(f.CoCreateInstance, ole, "CoCreateInstance") &&
           bindSystemFunction(f.DefWindowProcA, user, "DefWindowProcA") &&
           bindSystemFunction(f.LoadCursorW, user, "LoadCursorW") &&
           bindSystemFunction(f.RegisterClassA, user, "RegisterClassA") &&
           bindSystemFunction(f.CreateWindowExA, user, "CreateWindowExA") &&
           bindSystemFunction(f.DestroyWindow, user, "DestroyWindow") &&
           bindSystemFunction(f.MonitorFromPoint, user, "MonitorFromPoint") &&
           bindSystemFunction(f.GetMonitorInfoA, user, "GetMonitorInfoA") &&
           bindSystemFunction(f.GetDC, user, "GetDC") && bindSystemFunction(f.ReleaseDC, user, "ReleaseDC") &&
           bindSystemFunction(f.UpdateLayeredWindow, user, "UpdateLayeredWindow") &&
           bindSystemFunction(f.CreateCompatibleDC, gdi, "CreateCompatibleDC") &&
           bindSystemFunction(f.CreateDIBSection, gdi, "CreateDIBSection") &&
           bindSystemFunction(f.SelectObject, gdi, "SelectObject") &&
           bindSystemFunction(f.GetObjectA, gdi, "GetObjectA") && bindSystemFunction(f.DeleteDC, gdi, "DeleteDC") &&
           bindSystemFunction(f.DeleteObject, gdi, "DeleteObject") && bindSystemFunction(f.GdiFlush, gdi, "GdiFlush") &&
           bindSystemFunction(f.CreateFontW, gdi, "CreateFontW") && bindSystemFunction(f.SetBkMode, gdi, "SetBkMode") &&
           bindSystemFunction(f.SetTextColor, gdi, "SetTextColor") &&
           bindSystemFunction(f.DrawTextW, user, "DrawTextW");
}

POINT computeSplashPosition(const RECT& workArea, int width, int height)
{
    return POINT{workArea.left + (workArea.right - (workArea.left + width)) / 2,
                 workArea.top + (workArea.bottom - (workArea.top + height)) / 2};
}

static HWND createSplashWindow()
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = splashApi.DefWindowProcA;
    windowClass.hCursor = splashApi.LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = "Splash";
    splashApi.RegisterClassA(&windowClass);
    // No taskbar button: a tool window is left out of it.
    return splashApi.CreateWindowExA(WS_EX_LAYERED | WS_EX_TOOLWINDOW, "Splash", nullptr, WS_POPUP | WS_VISIBLE, 0, 0,
                                     0, 0, nullptr, nullptr, nullptr, nullptr);
}

void paintLayeredWindow(HWND window, HBITMAP bitmap, POINT* position, void (*draw)(HDC memory))
{
    BITMAP shape = {};
    splashApi.GetObjectA(bitmap, sizeof shape, &shape);
    SIZE size = {shape.bmWidth, shape.bmHeight};
    POINT origin = {0, 0};
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    const HDC screen = splashApi.GetDC(nullptr);
    const HDC memory = splashApi.CreateCompatibleDC(screen);
    const HGDIOBJ previous = splashApi.SelectObject(memory, bitmap);
    if (draw != nullptr) {
        draw(memory);
        splashApi.GdiFlush();
    }
    splashApi.UpdateLayeredWindow(window, screen, position, &size, memory, &origin, 0, &blend, ULW_ALPHA);
    splashApi.SelectObject(memory, previous);
    splashApi.DeleteDC(memory);
    splashApi.ReleaseDC(nullptr, screen);
}

static void showBitmap(HWND window, HBITMAP bitmap)
{
    BITMAP shape = {};
    splashApi.GetObjectA(bitmap, sizeof shape, &shape);
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    splashApi.GetMonitorInfoA(splashApi.MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &monitor);
    POINT position = computeSplashPosition(monitor.rcWork, shape.bmWidth, shape.bmHeight);
    paintLayeredWindow(window, bitmap, &position, nullptr);
}

// The feedback file this run made, as the system knows it: its volume and
// index. Written by createSplashFeedbackFile before any other thread
// starts; read by removeSplashFeedbackFile.
static BY_HANDLE_FILE_INFORMATION feedbackFileMade;
static bool feedbackFileKnown;

// Creates the feedback file anew: never truncates or follows what has the
// name. A stale file with this process's id (an earlier run's, ids are
// reused) is removed first, by the link-safe removal, since another start's
// sweep never touches a name with a live run's id.
static bool createFeedbackFile(const wchar_t* path)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        const HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            feedbackFileKnown = GetFileInformationByHandle(file, &feedbackFileMade) != FALSE;
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
    if (!expandPathSpec(splashFeedbackPath, ONEFILE_WIDE(ONEFILE_FEEDBACK_SPEC), pathCapacity)) {
        return;
    }
    // Without a file of its own the application cannot take the splash
    // down: it stays until the application ends.
    if (!createFeedbackFile(splashFeedbackPath)) {
        splashFeedbackPath[0] = L'\0';
    }
    splashFeedbackPending = true;
}

void initSplashScreen()
{
    // Without an image nothing of the windowing system or COM is loaded:
    // user32, gdi32 and ole32 cost every start that binds them.
    if (!hasSplashImage() || !bindSplashFunctions()) {
        return;  // no splash, or a system without them
    }
    splashApi.CoInitialize(nullptr);
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
    if (window == nullptr) {
        splashApi.DeleteObject(bitmap);
        return;
    }
    splashWindow = window;
    keepSplashForOverlays(bitmap);
    createSplashFeedbackFile();
}

bool isSplashFeedbackPending()
{
    return splashFeedbackPending &&
           (splashFeedbackPath[0] == L'\0' || GetFileAttributesW(splashFeedbackPath) != INVALID_FILE_ATTRIBUTES);
}

void removeSplashFeedbackFile()
{
    // The application took the splash down when the file is gone already.
    if (feedbackFileKnown) {
        removeFileIfStillMade(splashFeedbackPath, feedbackFileMade);
    }
}

void hideSplashScreen()
{
    if (splashWindow != nullptr) {
        splashApi.DestroyWindow(splashWindow);
        splashWindow = nullptr;
        releaseSplashOverlays();
    }
    splashFeedbackPending = false;
}
