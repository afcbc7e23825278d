// A DLL that tells whether anything loaded it: planted under the name of another DLL, it
// creates the directory that W4W_PLANTED_MARK names as it is loaded.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    wchar_t mark[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"W4W_PLANTED_MARK", mark, MAX_PATH);
    if (reason == DLL_PROCESS_ATTACH && n > 0 && n < MAX_PATH) {
        CreateDirectoryW(mark, nullptr);
    }
    return TRUE;
}
