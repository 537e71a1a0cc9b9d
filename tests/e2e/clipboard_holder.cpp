// Another program that holds the clipboard open: puts its own text on it, keeps it open until
// told to let go, then closes it.
//   reelhawk_clipboard_holder <held-event> <release-event> <text>
// Sets the named event <held-event> once the clipboard is open and holds <text>, and closes the
// clipboard when <release-event> is set (or after a minute).
#include <windows.h>

#include <cstring>

int main(int argc, char** argv) {
    if (argc != 4) {
        return 2;
    }
    HANDLE held = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[1]);
    HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
    if (held == nullptr || release == nullptr) {
        return 3;
    }
    // Held for a window of its own, as a program with a window holds it.
    HWND owner = CreateWindowExA(0, "STATIC", "clipboard holder", WS_POPUP, 0, 0, 1, 1, nullptr,
                                 nullptr, GetModuleHandleA(nullptr), nullptr);
    if (owner == nullptr || !OpenClipboard(owner)) {
        return 4;
    }
    EmptyClipboard();
    const std::size_t length = std::strlen(argv[3]);
    if (HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, length + 1)) {
        std::memcpy(GlobalLock(block), argv[3], length + 1);
        GlobalUnlock(block);
        if (SetClipboardData(CF_TEXT, block) == nullptr) {
            GlobalFree(block);
        }
    }
    SetEvent(held);
    WaitForSingleObject(release, 60000);
    CloseClipboard();
    DestroyWindow(owner);
    CloseHandle(held);
    CloseHandle(release);
    return 0;
}
