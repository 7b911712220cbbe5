#include "splash.h"

#include <objbase.h>
#include <shlwapi.h>

HWND splash_window;
wchar_t splash_feedback_path[pathCapacity];
bool splash_feedback_pending;

void initSplashScreen()
{
    CoInitialize(nullptr);
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
