// Splash screen: a layered window showing the PNG resource while the
// application unpacks and starts, and its dismissal when the application
// deletes the feedback file. Best effort: every failure means no splash,
// and nothing here ends the process. Main thread only; no message loop
// ever runs for the window. Depends only on paths.
#pragma once

#include "paths/paths.h"

// The window, or null: written by initSplashScreen, cleared by
// hideSplashScreen.
extern HWND splashWindow;
// The feedback file's path (empty when the run could not make one of its
// own: the splash then stays until the application ends) and whether the
// splash waits for the file to go. Written by createSplashFeedbackFile and
// hideSplashScreen; read by isSplashFeedbackPending.
extern wchar_t splashFeedbackPath[pathCapacity];
extern bool splashFeedbackPending;

// Shows the splash when the executable carries one and a display can take
// a window, then makes the feedback file.
void initSplashScreen();
// Makes the feedback file (ONEFILE_FEEDBACK_SPEC) anew: a stale one with
// this process's id is removed by the link-safe removal first; what cannot
// be replaced is never truncated or followed. Marks the splash pending.
void createSplashFeedbackFile();
// Whether the splash still waits for the application: pending, and the
// feedback file still there. Changes nothing.
bool isSplashFeedbackPending();
// Destroys the window, if any, and ends the wait.
void hideSplashScreen();
// Deletes the feedback file when it is still the one this run made (the
// same volume and index, in its place, never through a link): a run that
// ends or fails leaves none. Any thread.
void removeSplashFeedbackFile();

// The unpacking's progress on the splash, done of total bytes, as a bar
// along its bottom edge: drawn at once the first time and at the end, in
// between at most every 50 ms. Nothing without a splash.
void showSplashProgress(uint64_t done, uint64_t total);
// Draws the application's latest line of text, if it set a new one since
// the last call. Nothing without a splash; never waits.
void refreshSplashText();

// The bar's pixels (premultiplied BGRA, opaque) and height: the bottom
// progressBarHeight rows of a width x height top-down image become the
// fill colour up to width * done / total columns, the track colour after.
enum : int { progressBarHeight = 6 };
enum : uint32_t { progressFillPixel = 0xFF3C9BFF, progressTrackPixel = 0xFF202020 };
void drawProgressBar(uint32_t* pixels, int width, int height, uint64_t done, uint64_t total);

// The rows [top, bottom) of an image `height` high that the text's band
// takes: textBandHeight above the bar's rows (or the bottom edge), clipped
// to the image; empty when the bar takes every row.
enum : int { textBandHeight = 28 };
struct TextBand {
    int top;
    int bottom;
};
TextBand findTextBand(int height, bool belowProgressBar);

// Top-left corner that centres a width x height window in `workArea`, each
// division truncating toward zero, so an odd remainder goes to the right
// (or bottom) side, also when the window overhangs.
POINT computeSplashPosition(const RECT& workArea, int width, int height);
