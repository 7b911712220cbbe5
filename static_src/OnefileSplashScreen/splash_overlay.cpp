// What the bootstrap draws over the splash image once it shows: the
// unpacking's progress as a bar along the bottom edge, and the
// application's line of text in a band above it. Both are opaque, so they
// show on any image: the bar's filled part light blue against a dark track,
// the band dark with white text. The image stays in its bitmap for the
// redraws; the text comes through a section the 50 ms check reads, since
// no message loop ever runs for the window.
#include "splash_internal.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

enum : int { textMargin = 8, textHeight = 16 };
enum : ULONGLONG { progressRedrawMilliseconds = 50 };
enum : uint32_t { textBandPixel = 0xFF202020 };

static HBITMAP overlayBitmap;
static uint32_t* overlayPixels;  // top-down premultiplied BGRA rows
static int overlayWidth;
static int overlayHeight;
// The image's own pixels in the rows the band can take, put back when the
// application clears its text.
static uint32_t* imageBandRows;
static int bandTop;
static bool progressShown;
static ULONGLONG lastProgressDraw;
static HANDLE textSection;
static onefile_splash_text_channel* textChannel;
static LONG textSequenceShown;
static HFONT textFont;

void drawProgressBar(uint32_t* pixels, int width, int height, uint64_t done, uint64_t total)
{
    const int rows = height < progressBarHeight ? height : progressBarHeight;
    if (done > total) {
        done = total;
    }
    // width * done stays within 64 bits: width is at most 2^14.
    while (total >= (1ull << 48)) {
        total >>= 1;
        done >>= 1;
    }
    const int fill = total == 0 ? width : static_cast<int>(static_cast<uint64_t>(width) * done / total);
    for (int row = height - rows; row < height; ++row) {
        uint32_t* const line = pixels + static_cast<size_t>(row) * static_cast<size_t>(width);
        for (int column = 0; column < width; ++column) {
            line[column] = column < fill ? progressFillPixel : progressTrackPixel;
        }
    }
}

TextBand findTextBand(int height, bool belowProgressBar)
{
    int bottom = belowProgressBar ? height - progressBarHeight : height;
    bottom = bottom < 0 ? 0 : bottom;
    const int top = bottom - textBandHeight < 0 ? 0 : bottom - textBandHeight;
    return TextBand{top, bottom};
}

// The channel is a section without a name, handed to the child as an
// inherited handle whose value MERLOX_ONEFILE_SPLASH_TEXT carries: no
// other process can take a name before this one makes it.
static void createTextChannel()
{
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    // The system's paging file backs it: nothing is left on disk.
    textSection = CreateFileMappingW(INVALID_HANDLE_VALUE, &inherited, PAGE_READWRITE, 0,
                                     sizeof(onefile_splash_text_channel), nullptr);
    if (textSection == nullptr) {
        return;
    }
    textChannel = static_cast<onefile_splash_text_channel*>(
        MapViewOfFile(textSection, FILE_MAP_READ, 0, 0, sizeof(onefile_splash_text_channel)));
    wchar_t handleText[24];
    swprintf(handleText, 24, L"%llu", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(textSection)));
    if (textChannel != nullptr) {
        setEnvVar(ONEFILE_VARIABLE_SPLASH_TEXT, handleText);
    }
}

void keepSplashForOverlays(HBITMAP bitmap)
{
    BITMAP shape = {};
    splashApi.GetObjectA(bitmap, sizeof shape, &shape);
    overlayBitmap = bitmap;
    overlayPixels = static_cast<uint32_t*>(shape.bmBits);
    overlayWidth = shape.bmWidth;
    overlayHeight = shape.bmHeight;
    bandTop = overlayHeight - progressBarHeight - textBandHeight;
    bandTop = bandTop < 0 ? 0 : bandTop;
    const size_t bandPixels = static_cast<size_t>(overlayHeight - bandTop) * static_cast<size_t>(overlayWidth);
    imageBandRows = static_cast<uint32_t*>(HeapAlloc(GetProcessHeap(), 0, bandPixels * sizeof(uint32_t)));
    if (imageBandRows != nullptr) {
        memcpy(imageBandRows, overlayPixels + static_cast<size_t>(bandTop) * overlayWidth,
               bandPixels * sizeof(uint32_t));
        createTextChannel();
    }
}

void releaseSplashOverlays()
{
    if (textChannel != nullptr) {
        UnmapViewOfFile(textChannel);
        textChannel = nullptr;
    }
    if (textSection != nullptr) {
        CloseHandle(textSection);
        textSection = nullptr;
    }
    if (overlayBitmap != nullptr) {
        splashApi.DeleteObject(overlayBitmap);
        overlayBitmap = nullptr;
    }
    if (textFont != nullptr) {
        splashApi.DeleteObject(textFont);
        textFont = nullptr;
    }
    HeapFree(GetProcessHeap(), 0, imageBandRows);
    imageBandRows = nullptr;
}

static uint64_t progressDone;
static uint64_t progressTotal;

static void drawProgress(HDC)
{
    drawProgressBar(overlayPixels, overlayWidth, overlayHeight, progressDone, progressTotal);
}

void showSplashProgress(uint64_t done, uint64_t total)
{
    if (splashWindow == nullptr || overlayBitmap == nullptr) {
        return;
    }
    const ULONGLONG now = GetTickCount64();
    if (progressShown && done < total && now - lastProgressDraw < progressRedrawMilliseconds) {
        return;
    }
    progressShown = true;
    lastProgressDraw = now;
    progressDone = done;
    progressTotal = total;
    paintLayeredWindow(splashWindow, overlayBitmap, nullptr, drawProgress);
}

static wchar_t textShown[ONEFILE_SPLASH_TEXT_MAX_UNITS + 1];

// The band with the text, or the image's own pixels for an empty text. GDI
// leaves alpha 0 where it draws text; the band is opaque, so every pixel of
// it gets alpha 255 back.
static void drawText(HDC memory)
{
    const TextBand band = findTextBand(overlayHeight, progressShown);
    const int top = band.top;
    const int bandBottom = band.bottom;
    if (bandBottom <= top) {
        return;  // an image no higher than the bar has no room for a text
    }
    uint32_t* const rows = overlayPixels + static_cast<size_t>(top) * overlayWidth;
    const size_t count = static_cast<size_t>(bandBottom - top) * static_cast<size_t>(overlayWidth);
    if (textShown[0] == L'\0') {
        memcpy(rows, imageBandRows + static_cast<size_t>(top - bandTop) * overlayWidth, count * sizeof(uint32_t));
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        rows[i] = textBandPixel;
    }
    if (textFont == nullptr) {
        textFont = splashApi.CreateFontW(-textHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                         OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY,
                                         DEFAULT_PITCH | FF_SWISS, L"Segoe UI");
    }
    const HGDIOBJ previousFont = splashApi.SelectObject(memory, textFont);
    splashApi.SetBkMode(memory, TRANSPARENT);
    splashApi.SetTextColor(memory, RGB(255, 255, 255));
    RECT area = {textMargin, top, overlayWidth - textMargin, bandBottom};
    splashApi.DrawTextW(memory, textShown, -1, &area,
                        DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
    splashApi.SelectObject(memory, previousFont);
    splashApi.GdiFlush();
    for (size_t i = 0; i < count; ++i) {
        rows[i] |= 0xFF000000;
    }
}

void refreshSplashText()
{
    if (splashWindow == nullptr || textChannel == nullptr) {
        return;
    }
    // A text is whole only between two equal even sequence values.
    const LONG before = textChannel->sequence;
    if ((before & 1) != 0 || before == textSequenceShown) {
        return;
    }
    MemoryBarrier();
    wchar_t text[ONEFILE_SPLASH_TEXT_MAX_UNITS + 1];
    memcpy(text, textChannel->text, sizeof text);
    MemoryBarrier();
    if (textChannel->sequence != before) {
        return;  // changed while read: the next check takes it
    }
    text[ONEFILE_SPLASH_TEXT_MAX_UNITS] = L'\0';
    textSequenceShown = before;
    memcpy(textShown, text, sizeof text);
    paintLayeredWindow(splashWindow, overlayBitmap, nullptr, drawText);
}
