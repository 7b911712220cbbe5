// Splash screen: a layered window showing the PNG resource 28 while the
// application unpacks and starts, and its dismissal when the application
// deletes the feedback file. Best effort: every failure means no splash.
// Depends only on paths.
#pragma once

#include "paths/paths.h"

extern HWND splash_window;
extern wchar_t splash_feedback_path[pathCapacity];
extern bool splash_feedback_pending;

void initSplashScreen();
// Makes "{TEMP}\onefile_{PID}_splash_feedback.tmp" if nothing has that name
// yet and marks the splash pending.
void createSplashFeedbackFile();
bool checkSplashScreen();
void hideSplashScreen();

// Top-left corner that centres a width x height window in `workArea`, each
// division truncating toward zero, so an odd remainder goes to the right
// (or bottom) side, also when the window overhangs.
POINT computeSplashPosition(const RECT& workArea, int width, int height);
