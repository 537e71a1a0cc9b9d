#include "app/cursor.h"

namespace rh {
namespace {

int g_pressesBeingHandled = 0;

}  // namespace

HCURSOR CursorNow() {
    if (g_pressesBeingHandled > 0) {
        return LoadCursor(nullptr, IDC_WAIT);
    }
    return nullptr;
}

void ShowCursorNow() {
    POINT at{};
    HWND under = GetCursorPos(&at) ? WindowFromPoint(at) : nullptr;
    if (under != nullptr && GetWindowThreadProcessId(under, nullptr) == GetCurrentThreadId()) {
        // Asked as on a mouse move, so that the window's own handling (and its parent's) decides.
        const LRESULT hit = SendMessage(under, WM_NCHITTEST, 0, MAKELPARAM(at.x, at.y));
        SendMessage(under, WM_SETCURSOR, reinterpret_cast<WPARAM>(under),
                    MAKELPARAM(LOWORD(hit), WM_MOUSEMOVE));
        return;
    }
    // The pointer is elsewhere, or the window has gone in the meantime: the thread's cursor still
    // must not stay busy for when the pointer comes back over a window of ours.
    HCURSOR chosen = CursorNow();
    SetCursor(chosen != nullptr ? chosen : LoadCursor(nullptr, IDC_ARROW));
}

PressCursorScope::PressCursorScope() {
    ++g_pressesBeingHandled;
    ShowCursorNow();
}

PressCursorScope::~PressCursorScope() {
    --g_pressesBeingHandled;
    ShowCursorNow();
}

}  // namespace rh
