#include "app/components.h"

#include "app/form.h"

namespace rh {

HWND ComponentWindowHandle(std::uint32_t windowId, std::uint32_t componentId) {
    return FindComponentWindow(windowId, componentId);
}

Text ReadWindowText(HWND window) {
    const int length = GetWindowTextLengthA(window);
    if (length <= 0) {
        return Text();
    }
    Text text(static_cast<std::size_t>(length) + 1, '\0');
    const int got = GetWindowTextA(window, text.data(), length + 1);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
}

void WriteWindowText(HWND window, TextView text) {
    const Text terminated(text);
    SetWindowTextA(window, terminated.c_str());
}

int ListCurrentSelection(HWND list) {
    return static_cast<int>(SendMessageA(list, LB_GETCURSEL, 0, 0));
}

Text ListItemText(HWND list, int index) {
    const LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    if (index < 0 || count == LB_ERR || index >= count) {
        return Text();
    }
    const LRESULT length = SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR || length <= 0) {
        return Text();
    }
    Text text(static_cast<std::size_t>(length) + 1, '\0');
    const LRESULT got = SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(index),
                                     reinterpret_cast<LPARAM>(text.data()));
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
}

int ListAddItem(HWND list, TextView text) {
    if (!IsWindow(list)) {
        return -1;
    }
    const Text terminated(text);
    const LRESULT index =
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(terminated.c_str()));
    if (index == LB_ERR || index == LB_ERRSPACE) {
        return -1;
    }
    SendMessageA(list, LB_SETITEMDATA, static_cast<WPARAM>(index), 0);
    return static_cast<int>(index);
}

void ListClear(HWND list) {
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
}

}  // namespace rh
