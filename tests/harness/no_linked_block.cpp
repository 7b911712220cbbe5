// For the harness that only reads blocks from files: an empty linked block.
#include "attached_data/attached_data.h"

extern "C" const unsigned char onefileAttachedData[1] = {0};
extern "C" const unsigned long long onefileAttachedDataSize = 0;
extern "C" const unsigned char onefileSweepEnabled = 0;
extern "C" const unsigned char onefileErrorDialogEnabled = 0;
extern "C" const unsigned char onefileSplashProgress = 0;
extern "C" const unsigned char onefileCacheKeep = 0;
extern "C" const unsigned char onefileCacheRecheck = 0;
extern "C" const wchar_t onefileCacheSpec[] = L"";
extern "C" const wchar_t onefileCacheId[] = L"";
extern "C" const wchar_t onefileRunParentSpec[] = L"{TEMP}";
