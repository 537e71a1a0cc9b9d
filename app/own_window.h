// Window procedures of our own classes thunk to a C++ object: the object's address arrives with
// WM_NCCREATE (lpCreateParams) and is kept in the window's user data until WM_NCDESTROY.
#pragma once

#include <windows.h>

namespace rh {

// T provides: LRESULT HandleMessage(HWND, UINT, WPARAM, LPARAM). The object is owned elsewhere
// and must outlive its window. Our classes are registered as Unicode classes.
template <class T>
LRESULT CALLBACK ThunkWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<T*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    }
    return self->HandleMessage(window, message, wParam, lParam);
}

}  // namespace rh
