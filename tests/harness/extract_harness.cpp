// Runs the header check, the reader and the record loop on an attached data
// block into the target directory named on the command line:
//   onefile_extract_harness [--block FILE] [--timed | --one-thread | --decode-only | --write-only] TARGET
// With --block the block is read into memory that ends at a guard page, so
// any read past its end faults; otherwise the block the packer placed in it. For
// the measurements: --timed extracts as a start does; --one-thread decodes and writes on one thread;
// --decode-only decodes the records without writing them; --write-only
// decodes the whole stream into memory first, then writes it. Each prints
// the seconds of the work measured ("seconds N") on standard output.
#include "attached_data/attached_data.h"

#include <stdio.h>
#include <wchar.h>

static const unsigned char* loadBlockBeforeGuardPage(const wchar_t* path, uint64_t& size)
{
    const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER length;
    if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &length)) {
        fprintf(stderr, "harness: cannot open %ls\n", path);
        exit(64);
    }
    size = static_cast<uint64_t>(length.QuadPart);
    const size_t page = 4096;
    const size_t dataPages = (size + page - 1) / page;
    unsigned char* base = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, (dataPages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD oldProtection;
    VirtualProtect(base + dataPages * page, page, PAGE_NOACCESS, &oldProtection);
    unsigned char* const block = base + dataPages * page - size;
    for (uint64_t done = 0; done < size;) {
        DWORD read = 0;
        const DWORD want = static_cast<DWORD>(size - done < (1u << 30) ? size - done : (1u << 30));
        if (!ReadFile(file, block + done, want, &read, nullptr) || read == 0) {
            fprintf(stderr, "harness: cannot read %ls\n", path);
            exit(64);
        }
        done += read;
    }
    CloseHandle(file);
    VirtualProtect(base, dataPages * page, PAGE_READONLY, &oldProtection);
    return block;
}

static double secondsNow()
{
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The records read through and dropped: decoding alone.
static void decodeOnly()
{
    openAttachedDataReader();
    for (;;) {
        uint16_t unit = 1;
        size_t length = 0;
        while (unit != 0) {
            readAttachedData(&unit, sizeof unit);
            ++length;
        }
        if (length == 1) {
            break;  // the end record
        }
        uint64_t size;
        readAttachedData(&size, sizeof size);
        while (size > 0) {
            size_t count = 0;
            takeAttachedData(size < pieceSize ? static_cast<size_t>(size) : pieceSize, count);
            size -= count;
        }
    }
    finishAttachedData();
    closeAttachedDataReader();
}

// The whole record stream, decoded into memory at once.
static unsigned char* decodeIntoMemory(size_t& size)
{
    uint64_t declared = 0;
    if (!readDeclaredContentSize(declared)) {
        fputs("harness: --write-only needs a block that declares its size\n", stderr);
        exit(64);
    }
    unsigned char* const bytes = static_cast<unsigned char*>(malloc(declared));
    // The frame alone: the block's tail follows it.
    const size_t frame = ZSTD_findFrameCompressedSize(attachedDataCursor, attachedDataRemaining);
    size = ZSTD_isError(frame) ? frame : ZSTD_decompress(bytes, declared, attachedDataCursor, frame);
    if (bytes == nullptr || ZSTD_isError(size)) {
        fputs("harness: cannot decode the block into memory\n", stderr);
        exit(64);
    }
    return bytes;
}

int wmain(int argc, wchar_t** argv)
{
    int next = 1;
    if (argc > 3 && wcscmp(argv[1], L"--block") == 0) {
        attachedDataCursor = loadBlockBeforeGuardPage(argv[2], attachedDataRemaining);
        next = 3;
    } else {
        const ExecutableSettings settings = readExecutableSettings();
        attachedDataCursor = settings.block;
        attachedDataRemaining = settings.blockSize;
    }
    const wchar_t* const mode = next + 2 == argc ? argv[next] : L"";
    const bool known = wcscmp(mode, L"") == 0 || wcscmp(mode, L"--timed") == 0 || wcscmp(mode, L"--one-thread") == 0 ||
                       wcscmp(mode, L"--decode-only") == 0 || wcscmp(mode, L"--write-only") == 0;
    if (!known || argc - next > 2 || argc - next < 1) {
        fputs("usage: onefile_extract_harness [--block FILE] [--timed | --one-thread | --decode-only | --write-only] "
              "TARGET\n",
              stderr);
        return 64;
    }
    const wchar_t* const target = argv[argc - 1];
    verifyAttachedDataHeader();
    requireFrameChecksum();
    verifyBlockTail();
    // Made as the driver makes it: new, private, its parents as needed.
    ensureParentDirectories(target);
    if (!createNewDirectory(target)) {
        fprintf(stderr, "harness: cannot create %ls\n", target);
        return 64;
    }
    double start = secondsNow();
    if (wcscmp(mode, L"--decode-only") == 0) {
        decodeOnly();
    } else if (wcscmp(mode, L"--write-only") == 0) {
        size_t size = 0;
        const unsigned char* const stream = decodeIntoMemory(size);
        start = secondsNow();
        openDecodedAttachedData(stream, size);
        extractAttachedFiles({target, nullptr, nullptr, INVALID_HANDLE_VALUE, true});
    } else {
        openAttachedDataReader();
        extractAttachedFiles({target, nullptr, nullptr, INVALID_HANDLE_VALUE, wcscmp(mode, L"--one-thread") == 0});
    }
    if (mode[0] != L'\0') {
        printf("seconds %.4f\n", secondsNow() - start);
    }
    return 0;
}
