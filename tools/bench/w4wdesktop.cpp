// w4wdesktop PID
// A GUI program with one hidden window that lives until process PID ends. Wine closes its
// desktop whenever no GUI program runs and brings it back, slowly, for the next one; Windows
// always has a desktop, so the benchmark keeps this one attached to it while it runs.
#include "WinAutoHandle.h"

#include <windows.h>

#include <cstdlib>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    const DWORD pid = std::strtoul(commandLine, nullptr, 10);
    const AutoHandle parent(OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (parent.get() == nullptr) {
        return 1;
    }
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "w4wdesktop";
    RegisterClassA(&windowClass);
    // Never shown: it only ties the process to the desktop.
    const HWND window = CreateWindowExA(0, windowClass.lpszClassName, "", WS_OVERLAPPEDWINDOW, 0, 0, 1, 1, nullptr,
                                        nullptr, instance, nullptr);
    if (window == nullptr) {
        return 1;
    }
    for (;;) {
        // The first wait for input also tells WaitForInputIdle in the parent that we are up.
        const HANDLE handles[] = {parent.get()};
        const DWORD woken = MsgWaitForMultipleObjects(1, handles, FALSE, INFINITE, QS_ALLINPUT);
        if (woken != WAIT_OBJECT_0 + 1) {
            break;
        }
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&message);
        }
    }
    DestroyWindow(window);
    return 0;
}
