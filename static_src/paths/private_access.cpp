// The security every directory a run creates is made with: a protected DACL
// that grants access to the current user, SYSTEM and the Administrators
// only. Without it the target inherits the temporary directory's entries,
// and where that directory is shared (a service's, or one set to a shared
// folder) other users could read the application, or write into it before
// it is loaded. Files inherit the entries from their directory.
#include "paths.h"

#include <sddl.h>

#include <stdio.h>

enum : size_t { descriptorTextCapacity = 320 };
static_assert(userSidCapacity == 192, "the user's SID text as readUserSid writes it");
enum : size_t { userSidTextCapacity = userSidCapacity };

struct AccessFunctions {
    decltype(&ConvertSidToStringSidW) convertSidToString;
    decltype(&ConvertStringSecurityDescriptorToSecurityDescriptorW) convertDescriptor;
};

static bool bindAccessFunctions(AccessFunctions& f)
{
    const wchar_t* const advapi = L"advapi32.dll";
    return bindSystemFunction(f.convertSidToString, advapi, "ConvertSidToStringSidW") &&
           bindSystemFunction(f.convertDescriptor, advapi, "ConvertStringSecurityDescriptorToSecurityDescriptorW");
}

bool readProcessToken(TOKEN_INFORMATION_CLASS kind, void* buffer, DWORD size)
{
    decltype(&OpenProcessToken) openProcessToken;
    decltype(&GetTokenInformation) getTokenInformation;
    const wchar_t* const advapi = L"advapi32.dll";
    HANDLE token = nullptr;
    if (!bindSystemFunction(openProcessToken, advapi, "OpenProcessToken") ||
        !bindSystemFunction(getTokenInformation, advapi, "GetTokenInformation") ||
        !openProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    DWORD length = 0;
    const bool read = getTokenInformation(token, kind, buffer, size, &length) != FALSE;
    CloseHandle(token);
    return read;
}

// The process user's SID as text ("S-1-5-21-..."); false when it cannot be had.
static bool readUserSid(const AccessFunctions& f, wchar_t text[userSidTextCapacity])
{
    union {
        TOKEN_USER user;
        unsigned char space[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } owner;
    wchar_t* sidText = nullptr;
    const bool read =
        readProcessToken(TokenUser, &owner, sizeof owner) && f.convertSidToString(owner.user.User.Sid, &sidText);
    size_t length = 0;
    text[0] = L'\0';
    const bool copied = read && appendWide(text, userSidTextCapacity, length, sidText, wcslen(sidText));
    LocalFree(sidText);
    return copied;
}

bool readUserSidText(wchar_t text[userSidCapacity])
{
    AccessFunctions f;
    return bindAccessFunctions(f) && readUserSid(f, text);
}

SECURITY_ATTRIBUTES* privateObjectAttributes()
{
    // Made once; the descriptor lives as long as the process. Null when it
    // cannot be made: the object then gets the default, the user's own.
    static SECURITY_ATTRIBUTES attributes;
    static bool made;
    if (!made) {
        made = true;
        AccessFunctions f;
        wchar_t user[userSidTextCapacity];
        wchar_t descriptor[descriptorTextCapacity];
        PSECURITY_DESCRIPTOR converted = nullptr;
        if (bindAccessFunctions(f) && readUserSid(f, user) &&
            swprintf(descriptor, descriptorTextCapacity, L"D:P(A;;GA;;;%ls)(A;;GA;;;SY)", user) > 0 &&
            f.convertDescriptor(descriptor, SDDL_REVISION_1, &converted, nullptr)) {
            attributes = {sizeof attributes, converted, FALSE};
        }
    }
    return attributes.lpSecurityDescriptor != nullptr ? &attributes : nullptr;
}

SECURITY_ATTRIBUTES* privateDirectoryAttributes()
{
    // Made once, on the main thread, before the first directory; the
    // descriptor lives as long as the process.
    static SECURITY_ATTRIBUTES attributes;
    if (attributes.lpSecurityDescriptor != nullptr) {
        return &attributes;
    }
    AccessFunctions f;
    wchar_t user[userSidTextCapacity];
    if (!bindAccessFunctions(f) || !readUserSid(f, user)) {
        fatalSystemError("Error, couldn't find the current user to make the target directory private.", GetLastError());
    }
    wchar_t descriptor[descriptorTextCapacity];
    // P: protected, nothing inherited from above. OICI: files and folders
    // below inherit the entries. FA: full access.
    swprintf(descriptor, descriptorTextCapacity, L"D:P(A;OICI;FA;;;%ls)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", user);
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!f.convertDescriptor(descriptor, SDDL_REVISION_1, &made, nullptr)) {
        fatalSystemError("Error, couldn't make the target directory private.", GetLastError());
    }
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = made;
    attributes.bInheritHandle = FALSE;
    return &attributes;
}
