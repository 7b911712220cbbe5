// The security every directory a run creates is made with: a protected DACL
// that grants access to the current user, SYSTEM and the Administrators
// only. Without it the target inherits the temporary directory's entries,
// and where that directory is shared (a service's, or one set to a shared
// folder) other users could read the application, or write into it before
// it is loaded. Files inherit the entries from their directory.
//
// Through ntdll's own calls, which every process has loaded: advapi32,
// which serves the same, would cost each start its loading and that of
// what it imports (about 2 ms under Wine).
#include "paths.h"

#include <winternl.h>

#include <string.h>

using NtStatus = LONG;

// A SID below the NT authority (S-1-5-...) of one or two sub-authorities,
// laid out as the system lays out any SID.
struct NtAuthoritySid {
    BYTE revision;
    BYTE count;
    BYTE authority[6];
    DWORD subAuthority[2];
};
static const NtAuthoritySid systemSid = {SID_REVISION, 1, {0, 0, 0, 0, 0, 5}, {SECURITY_LOCAL_SYSTEM_RID, 0}};
static const NtAuthoritySid administratorsSid = {
    SID_REVISION, 2, {0, 0, 0, 0, 0, 5}, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};

bool readProcessToken(TOKEN_INFORMATION_CLASS kind, void* buffer, DWORD size)
{
    NtStatus(NTAPI * openProcessToken)(HANDLE, ACCESS_MASK, HANDLE*);
    NtStatus(NTAPI * queryToken)(HANDLE, TOKEN_INFORMATION_CLASS, void*, ULONG, ULONG*);
    HANDLE token = nullptr;
    if (!bindSystemFunction(openProcessToken, L"ntdll.dll", "NtOpenProcessToken") ||
        !bindSystemFunction(queryToken, L"ntdll.dll", "NtQueryInformationToken") ||
        openProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) < 0) {
        return false;
    }
    ULONG length = 0;
    const bool read = queryToken(token, kind, buffer, size, &length) >= 0;
    CloseHandle(token);
    return read;
}

// The process user's SID, into `owner`; its address there, or null.
union TokenUserSpace {
    TOKEN_USER user;
    unsigned char space[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
};
static PSID readUserSid(TokenUserSpace& owner)
{
    return readProcessToken(TokenUser, &owner, sizeof owner) ? owner.user.User.Sid : nullptr;
}

bool readUserSidText(wchar_t text[userSidCapacity])
{
    NtStatus(NTAPI * sidToText)(UNICODE_STRING*, PSID, BOOLEAN);
    TokenUserSpace owner;
    const PSID user = readUserSid(owner);
    // Written into `text`, one character kept for the end.
    UNICODE_STRING written = {0, static_cast<USHORT>((userSidCapacity - 1) * sizeof(wchar_t)), text};
    if (user == nullptr || !bindSystemFunction(sidToText, L"ntdll.dll", "RtlConvertSidToUnicodeString") ||
        sidToText(&written, user, FALSE) < 0) {
        text[0] = L'\0';
        return false;
    }
    text[written.Length / sizeof(wchar_t)] = L'\0';
    return true;
}

// A protected DACL in `acl` (of `aclSize` bytes) that grants `mask`, with
// the ACE flags `inheritance`, to each of `sids` and nobody else, set in
// `descriptor`.
static bool makePrivateDescriptor(SECURITY_DESCRIPTOR& descriptor, ACL* acl, DWORD aclSize, DWORD inheritance,
                                  ACCESS_MASK mask, const PSID* sids, size_t count)
{
    NtStatus(NTAPI * createDescriptor)(SECURITY_DESCRIPTOR*, ULONG);
    NtStatus(NTAPI * createAcl)(ACL*, ULONG, ULONG);
    NtStatus(NTAPI * addAllowed)(ACL*, ULONG, ULONG, ACCESS_MASK, PSID);
    NtStatus(NTAPI * setDacl)(SECURITY_DESCRIPTOR*, BOOLEAN, ACL*, BOOLEAN);
    const wchar_t* const ntdll = L"ntdll.dll";
    if (!bindSystemFunction(createDescriptor, ntdll, "RtlCreateSecurityDescriptor") ||
        !bindSystemFunction(createAcl, ntdll, "RtlCreateAcl") ||
        !bindSystemFunction(addAllowed, ntdll, "RtlAddAccessAllowedAceEx") ||
        !bindSystemFunction(setDacl, ntdll, "RtlSetDaclSecurityDescriptor") ||
        createDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) < 0 || createAcl(acl, aclSize, ACL_REVISION) < 0) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        if (addAllowed(acl, ACL_REVISION, inheritance, mask, sids[i]) < 0) {
            return false;
        }
    }
    if (setDacl(&descriptor, TRUE, acl, FALSE) < 0) {
        return false;
    }
    // Protected: no entry is inherited from above.
    descriptor.Control |= SE_DACL_PROTECTED;
    return true;
}

// Room for a DACL of three entries with a SID of any size each.
union PrivateAcl {
    ACL acl;
    unsigned char space[sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE)];
};

SECURITY_ATTRIBUTES* privateObjectAttributes()
{
    // Made once; the descriptor lives as long as the process. Null when it
    // cannot be made: the object then gets the default, the user's own.
    static SECURITY_ATTRIBUTES attributes;
    static SECURITY_DESCRIPTOR descriptor;
    static PrivateAcl acl;
    static bool made;
    if (!made) {
        made = true;
        TokenUserSpace owner;
        const PSID sids[] = {readUserSid(owner), const_cast<NtAuthoritySid*>(&systemSid)};
        if (sids[0] != nullptr &&
            makePrivateDescriptor(descriptor, &acl.acl, sizeof acl, 0, GENERIC_ALL, sids, sizeof sids / sizeof *sids)) {
            attributes = {sizeof attributes, &descriptor, FALSE};
        }
    }
    return attributes.lpSecurityDescriptor != nullptr ? &attributes : nullptr;
}

SECURITY_ATTRIBUTES* privateDirectoryAttributes()
{
    // Made once, on the main thread, before the first directory; the
    // descriptor lives as long as the process.
    static SECURITY_ATTRIBUTES attributes;
    static SECURITY_DESCRIPTOR descriptor;
    static PrivateAcl acl;
    if (attributes.lpSecurityDescriptor != nullptr) {
        return &attributes;
    }
    TokenUserSpace owner;
    const PSID sids[] = {readUserSid(owner), const_cast<NtAuthoritySid*>(&systemSid),
                         const_cast<NtAuthoritySid*>(&administratorsSid)};
    if (sids[0] == nullptr) {
        fatalSystemError("Error, couldn't find the current user to make the target directory private.", GetLastError());
    }
    // Files and folders below inherit the entries; full access.
    if (!makePrivateDescriptor(descriptor, &acl.acl, sizeof acl, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                               FILE_ALL_ACCESS, sids, sizeof sids / sizeof *sids)) {
        fatalSystemError("Error, couldn't make the target directory private.", ERROR_INVALID_SECURITY_DESCR);
    }
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;
    return &attributes;
}
