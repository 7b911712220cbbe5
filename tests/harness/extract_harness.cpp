// Runs the header check, the reader and the record loop on an attached data
// block into the target directory named on the command line:
//   onefile_extract_harness [--block FILE] TARGET
// With --block the block is read into memory that ends at a guard page, so
// any read past its end faults; otherwise the linked block is used.
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

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && wcscmp(argv[1], L"--block") == 0) {
        attachedDataCursor = loadBlockBeforeGuardPage(argv[2], attachedDataRemaining);
    } else if (argc == 2) {
        attachedDataCursor = onefileAttachedData;
        attachedDataRemaining = onefileAttachedDataSize;
    } else {
        fputs("usage: onefile_extract_harness [--block FILE] TARGET\n", stderr);
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
    openAttachedDataReader();
    extractAttachedFiles({target, nullptr, nullptr, INVALID_HANDLE_VALUE, false});
    return 0;
}
