#include "app/components.h"

#include "app/form.h"
#include "runtime/wide_text.h"

namespace rh {

HWND ComponentWindowHandle(std::uint32_t windowId, std::uint32_t componentId) {
    return FindComponentWindow(windowId, componentId);
}

namespace {

Text ReadWindowTextAs(HWND window, Text (*convert)(const wchar_t*, std::size_t)) {
    const int length = GetWindowTextLengthW(window);
    if (length <= 0) {
        return Text();
    }
    WideText wide(static_cast<std::size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(window, wide.data(), length + 1);
    return got > 0 ? convert(wide.data(), static_cast<std::size_t>(got)) : Text();
}

}  // namespace

Text ReadWindowText(HWND window) {
    return ReadWindowTextAs(window, &TextFromWide);
}

Text ReadWindowAddress(HWND window) {
    return ReadWindowTextAs(window, &AddressTextFromWide);
}

void WriteWindowText(HWND window, TextView text) {
    const WideText wide = WideFromText(text);
    SetWindowTextW(window, wide.c_str());
}

int ListCurrentSelection(HWND list) {
    return static_cast<int>(SendMessageW(list, LB_GETCURSEL, 0, 0));
}

Text ListItemText(HWND list, int index) {
    const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    if (index < 0 || count == LB_ERR || index >= count) {
        return Text();
    }
    const LRESULT length = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == LB_ERR || length <= 0) {
        return Text();
    }
    WideText wide(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT got = SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(index),
                                     reinterpret_cast<LPARAM>(wide.data()));
    return got > 0 ? TextFromWide(wide.data(), static_cast<std::size_t>(got)) : Text();
}

int ListAddItem(HWND list, TextView text) {
    if (!IsWindow(list)) {
        return -1;
    }
    const WideText wide = WideFromText(text);
    const LRESULT index =
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
    if (index == LB_ERR || index == LB_ERRSPACE) {
        return -1;
    }
    SendMessageW(list, LB_SETITEMDATA, static_cast<WPARAM>(index), 0);
    return static_cast<int>(index);
}

void ListClear(HWND list) {
    SendMessageW(list, LB_RESETCONTENT, 0, 0);
}

}  // namespace rh
