/* The DLLs and the program the packer's import tests pack; each build
   defines what it takes (see tests/host/CMakeLists.txt). C, or C++ where the
   build asks for a mangled entry or the C++ runtime. */
#include <wchar.h>

#ifdef __cplusplus
#include <string>
#endif

#if defined(HELPER)
__declspec(dllexport) int helper_value(void)
{
    return 7;
}
#endif

#if defined(OLD_HELPER)
__declspec(dllexport) int helper_value_before(void)
{
    return 6;
}
#endif

#if defined(USES_HELPER)
__declspec(dllimport) int helper_value(void);
#endif

#if defined(WITH_ENTRY)
#if defined(__cplusplus) && !defined(MANGLED)
extern "C"
#endif
    __declspec(dllexport) int run_code(int argc, wchar_t** argv, const wchar_t* dllPath)
{
    (void)argv;
    (void)dllPath;
#if defined(USES_HELPER)
    return helper_value() + argc;
#elif defined(USES_RUNTIME)
    /* Through libstdc++: the exit code says it was loaded. */
    return static_cast<int>(std::to_wstring(argc * 100).size()) + argc;
#else
    return argc;
#endif
}
#endif

#if defined(PROGRAM)
int main(void)
{
    return 0;
}
#endif
