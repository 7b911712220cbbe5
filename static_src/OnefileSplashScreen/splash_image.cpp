// Decoding the splash resource into a top-down premultiplied BGRA bitmap.
#include "splash_internal.h"

#include <string.h>

// Published identifiers, defined here so no import library is needed.
static const CLSID pngDecoderClass = {0x389EA17B, 0x5078, 0x4CDE, {0xB6, 0xEF, 0x25, 0xC1, 0x51, 0x75, 0xC7, 0x51}};
static const IID bitmapDecoderInterface = {
    0x9EDDE9E7, 0x8DEE, 0x47EA, {0x99, 0xDF, 0xE6, 0xFA, 0xF2, 0xED, 0x44, 0xBF}};
static const GUID premultipliedBgra = {0x6FDDC324, 0x4E03, 0x4BFE, {0xB1, 0x85, 0x3D, 0x77, 0x76, 0x8D, 0xC9, 0x10}};

enum : int { splashResourceId = ONEFILE_SPLASH_RESOURCE_ID };
// Larger sides would overflow the 32-bit size of the pixel copy.
enum : UINT { largestSplashSide = ONEFILE_SPLASH_MAX_SIDE };

using ConvertBitmapSource = HRESULT(WINAPI*)(REFWICPixelFormatGUID, IWICBitmapSource*, IWICBitmapSource**);

// The imaging component, like every system DLL here, comes from the system
// directory only, never from beside the executable.
static ConvertBitmapSource lookUpConverter()
{
    ConvertBitmapSource convert;
    return bindSystemFunction(convert, L"windowscodecs.dll", "WICConvertBitmapSource") ? convert : nullptr;
}

// The resource's bytes copied into a stream that owns (and frees) its block.
bool hasSplashImage()
{
    return FindResourceW(nullptr, MAKEINTRESOURCEW(splashResourceId), RT_RCDATA) != nullptr;
}

static IStream* openImageStream()
{
    const HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(splashResourceId), RT_RCDATA);
    if (resource == nullptr) {
        return nullptr;
    }
    const DWORD size = SizeofResource(nullptr, resource);
    const HGLOBAL loaded = LoadResource(nullptr, resource);
    const void* const bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) {
        return nullptr;
    }
    const HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (block == nullptr) {
        return nullptr;
    }
    void* const copy = GlobalLock(block);
    if (copy == nullptr) {
        GlobalFree(block);
        return nullptr;
    }
    memcpy(copy, bytes, size);
    GlobalUnlock(block);
    IStream* stream = nullptr;
    if (FAILED(splashApi.CreateStreamOnHGlobal(block, TRUE, &stream)) || stream == nullptr) {
        GlobalFree(block);
        return nullptr;
    }
    return stream;
}

// The single frame of the PNG, converted to premultiplied BGRA; null when
// the data is not a one-frame PNG. The stream stays the caller's.
static IWICBitmapSource* decodeImage(IStream* stream)
{
    const ConvertBitmapSource convert = lookUpConverter();
    IWICBitmapDecoder* decoder = nullptr;
    IWICBitmapFrameDecode* frame = nullptr;
    UINT frames = 0;
    const bool decoded =
        convert != nullptr &&
        SUCCEEDED(splashApi.CoCreateInstance(pngDecoderClass, nullptr, CLSCTX_INPROC_SERVER, bitmapDecoderInterface,
                                             reinterpret_cast<void**>(&decoder))) &&
        decoder != nullptr && SUCCEEDED(decoder->Initialize(stream, WICDecodeMetadataCacheOnLoad)) &&
        SUCCEEDED(decoder->GetFrameCount(&frames)) && frames == 1 && SUCCEEDED(decoder->GetFrame(0, &frame)) &&
        frame != nullptr;
    IWICBitmapSource* converted = nullptr;
    if (decoded) {
        convert(premultipliedBgra, frame, &converted);
    }
    if (frame != nullptr) frame->Release();
    if (decoder != nullptr) decoder->Release();
    return converted;
}

static HBITMAP copyIntoBitmap(IWICBitmapSource* source)
{
    UINT width = 0;
    UINT height = 0;
    if (FAILED(source->GetSize(&width, &height)) || width == 0 || height == 0 || width > largestSplashSide ||
        height > largestSplashSide) {
        return nullptr;
    }
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = static_cast<LONG>(width);
    info.bmiHeader.biHeight = -static_cast<LONG>(height);  // rows top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* pixels = nullptr;
    const HDC screen = splashApi.GetDC(nullptr);
    const HBITMAP bitmap = splashApi.CreateDIBSection(screen, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
    splashApi.ReleaseDC(nullptr, screen);
    if (bitmap == nullptr) {
        return nullptr;
    }
    const UINT stride = width * 4;
    if (FAILED(source->CopyPixels(nullptr, stride, stride * height, static_cast<BYTE*>(pixels)))) {
        splashApi.DeleteObject(bitmap);
        return nullptr;
    }
    return bitmap;
}

HBITMAP loadSplashBitmap()
{
    IStream* const stream = openImageStream();
    if (stream == nullptr) {
        return nullptr;
    }
    IWICBitmapSource* const converted = decodeImage(stream);
    stream->Release();  // frees the copy of the image too
    if (converted == nullptr) {
        return nullptr;
    }
    const HBITMAP bitmap = copyIntoBitmap(converted);
    converted->Release();
    return bitmap;
}
