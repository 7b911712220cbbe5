// Splash screen: a layered window showing the image resource while the
// application unpacks and starts, and its dismissal when the application
// deletes the feedback file. Depends only on paths.
#pragma once

#include "paths/paths.h"

extern HWND splash_window;
extern wchar_t splash_feedback_path[pathCapacity];
extern bool splash_feedback_pending;

void initSplashScreen();
bool checkSplashScreen();
void hideSplashScreen();
