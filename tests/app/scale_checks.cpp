#include "tests/app/scale_checks.h"

#include <gtest/gtest.h>

#include <cstring>

#include "app/components.h"
#include "app/main_window_template.h"
#include "tests/app/test_support.h"

namespace rh::test {

LONG FontHeightOf(HWND window) {
    LOGFONTW font{};
    auto* handle = reinterpret_cast<HGDIOBJ>(SendMessageW(window, WM_GETFONT, 0, 0));
    if (handle == nullptr || GetObjectW(handle, sizeof(font), &font) == 0) {
        return 0;
    }
    return font.lfHeight;
}

LONG TipFontHeightAt(UINT dpi) {
    using Describe = BOOL(WINAPI*)(UINT, UINT, void*, UINT, UINT);
    const auto describe = reinterpret_cast<Describe>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "SystemParametersInfoForDpi")));
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    if (describe == nullptr ||
        !describe(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi)) {
        return 0;
    }
    return metrics.lfStatusFont.lfHeight;
}

void ExpectMainWindowLaidOutAt(HWND window, UINT dpi) {
    const auto scaled = [dpi](int length) { return MulDiv(length, static_cast<int>(dpi), 96); };
    for (const ComponentRecord& record : MainWindowTemplate().components) {
        HWND c = ComponentWindowHandle(MainWindowTemplate().window.id, record.id);
        ASSERT_NE(c, nullptr) << record.name;
        SCOPED_TRACE(ClassOf(c));
        RECT r{};
        GetWindowRect(c, &r);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
        EXPECT_EQ(r.left, scaled(record.left));
        EXPECT_EQ(r.top, scaled(record.top));
        EXPECT_EQ(r.right - r.left, scaled(record.width));
        EXPECT_EQ(r.bottom - r.top, scaled(record.height));
        if (record.font.size == sizeof(LOGFONTA)) {
            LOGFONTA stored;
            std::memcpy(&stored, record.font.bytes, sizeof(stored));
            EXPECT_EQ(FontHeightOf(c), scaled(stored.lfHeight));
        }
    }
    // The same control with the list's font, left at its own item height.
    HWND list = ComponentWindowHandle(MainWindowTemplate().window.id, kResultListId);
    HWND plain = CreateWindowExW(0, L"LISTBOX", L"", WS_CHILD | LBS_NOTIFY, 0, 0, 100, 100, window,
                                 nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(plain, nullptr);
    SendMessageW(plain, WM_SETFONT, SendMessageW(list, WM_GETFONT, 0, 0), FALSE);
    const LRESULT own = SendMessageW(plain, LB_GETITEMHEIGHT, 0, 0);
    DestroyWindow(plain);
    EXPECT_GT(own, 0);
    EXPECT_EQ(SendMessageW(list, LB_GETITEMHEIGHT, 0, 0), own + scaled(3));
}

}  // namespace rh::test
