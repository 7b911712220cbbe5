// The DLLs every supported Windows (7 SP1 and later, x64) provides in its
// system folder, which an application never carries. A running system's
// KnownDLLs cannot be read when packing, so the list is fixed here. Not on
// it on purpose: the compilers' runtimes (libstdc++, libgcc, libwinpthread,
// vcruntime, msvcp) and any redistributable; an application carries those.
#include "pe/pe.h"

#include <algorithm>
#include <iterator>
#include <string_view>

namespace pack {

namespace {

constexpr std::string_view systemDlls[] = {
    "advapi32.dll",   "authz.dll",    "avrt.dll",           "bcrypt.dll",   "cabinet.dll",   "cfgmgr32.dll",
    "clusapi.dll",    "comctl32.dll", "comdlg32.dll",       "credui.dll",   "crypt32.dll",   "cryptbase.dll",
    "cryptnet.dll",   "cryptui.dll",  "d2d1.dll",           "d3d10.dll",    "d3d10_1.dll",   "d3d11.dll",
    "d3d12.dll",      "d3d9.dll",     "d3dcompiler_47.dll", "dbgeng.dll",   "dbghelp.dll",   "dciman32.dll",
    "dhcpcsvc.dll",   "dinput8.dll",  "dnsapi.dll",         "dsound.dll",   "dwmapi.dll",    "dwrite.dll",
    "dxgi.dll",       "dxva2.dll",    "esent.dll",          "gdi32.dll",    "gdiplus.dll",   "glu32.dll",
    "hid.dll",        "httpapi.dll",  "imagehlp.dll",       "imm32.dll",    "iphlpapi.dll",  "kernel32.dll",
    "kernelbase.dll", "ktmw32.dll",   "logoncli.dll",       "mf.dll",       "mfplat.dll",    "mfreadwrite.dll",
    "mpr.dll",        "msacm32.dll",  "mscms.dll",          "msi.dll",      "msimg32.dll",   "msvcrt.dll",
    "mswsock.dll",    "ncrypt.dll",   "netapi32.dll",       "normaliz.dll", "ntdll.dll",     "odbc32.dll",
    "ole32.dll",      "oleacc.dll",   "oleaut32.dll",       "opengl32.dll", "pdh.dll",       "powrprof.dll",
    "propsys.dll",    "psapi.dll",    "rasapi32.dll",       "rpcrt4.dll",   "rstrtmgr.dll",  "sechost.dll",
    "secur32.dll",    "setupapi.dll", "shcore.dll",         "shell32.dll",  "shlwapi.dll",   "slc.dll",
    "sspicli.dll",    "tdh.dll",      "ucrtbase.dll",       "urlmon.dll",   "user32.dll",    "userenv.dll",
    "usp10.dll",      "uxtheme.dll",  "version.dll",        "virtdisk.dll", "winhttp.dll",   "wininet.dll",
    "winmm.dll",      "winscard.dll", "winspool.drv",       "wintrust.dll", "winusb.dll",    "wldap32.dll",
    "wlanapi.dll",    "ws2_32.dll",   "wsock32.dll",        "wtsapi32.dll", "xinput1_4.dll", "xinput9_1_0.dll",
    "xmllite.dll",    "combase.dll",
};

std::string lowerCase(std::string text)
{
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

}  // namespace

bool isSystemDll(const std::string& name)
{
    const std::string lower = lowerCase(name);
    // API sets: names the loader maps to whichever system DLL implements them.
    if (lower.rfind("api-ms-win-", 0) == 0 || lower.rfind("ext-ms-", 0) == 0) return true;
    return std::find(std::begin(systemDlls), std::end(systemDlls), lower) != std::end(systemDlls);
}

}  // namespace pack
