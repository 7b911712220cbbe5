// Pieces of the splash unit shared between its files.
#pragma once

#include <objbase.h>
#include <wincodec.h>

#include "splash.h"

// The splash resource as a top-down premultiplied BGRA bitmap, or null.
HBITMAP loadSplashBitmap();
