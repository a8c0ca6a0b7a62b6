// Stand-in for a user's desktop shell: it makes a window of its own the desktop's shell
// window and keeps it until it is killed.
#include <windows.h>

typedef BOOL(WINAPI* SetShellWindowProc)(HWND window);

extern "C" int wmain(int, wchar_t**)
{
    HWND window = CreateWindowExW(0, L"STATIC", L"standin shell", WS_POPUP, 0, 0, 10, 10, NULL,
                                  NULL, GetModuleHandleW(NULL), NULL);
    SetShellWindowProc setShellWindow = reinterpret_cast<SetShellWindowProc>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetShellWindow")));
    if (window == NULL || setShellWindow == NULL || !setShellWindow(window)
        || GetShellWindow() != window) {
        return 1;
    }
    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    return 0;
}
