#include "app/label.h"

#include "app/own_window.h"
#include "app/window_template.h"
#include "runtime/wide_text.h"

namespace rh {

COLORREF TemplateColour(std::uint32_t colour) noexcept {
    return colour == kButtonFaceColour ? GetSysColor(COLOR_BTNFACE)
                                       : static_cast<COLORREF>(colour & 0xFFFFFF);
}

bool LabelWindow::RegisterWindowClass(HINSTANCE instance) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = &ThunkWindowProc<LabelWindow>;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = nullptr;  // the label paints its whole area itself
    wc.lpszClassName = kClassName;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

void LabelWindow::UnregisterWindowClass(HINSTANCE instance) {
    UnregisterClassW(kClassName, instance);
}

HWND LabelWindow::Create(HWND parent, const char* caption, DWORD style, DWORD exStyle, int x, int y,
                         int width, int height, int controlId) {
    const WideText wide = WideFromText(caption != nullptr ? caption : "");
    return CreateWindowExW(exStyle, kClassName, wide.c_str(), style, x, y, width, height, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(controlId)),
                           GetModuleHandleA(nullptr), this);
}

LRESULT LabelWindow::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT:
            OnPaint(window);
            return 0;
        case WM_PRINTCLIENT:
            Paint(window, reinterpret_cast<HDC>(wParam));
            return 0;
        case WM_ERASEBKGND:
            return 1;  // painted together with the caption, without flicker
        case WM_SETFONT:
            OnSetFont(window, reinterpret_cast<HFONT>(wParam), LOWORD(lParam) != 0);
            return 0;
        case WM_GETFONT:
            return reinterpret_cast<LRESULT>(font_);
        case WM_SETTEXT: {
            const LRESULT result = DefWindowProcW(window, message, wParam, lParam);
            InvalidateRect(window, nullptr, TRUE);
            return result;
        }
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

void LabelWindow::OnPaint(HWND window) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    if (dc != nullptr) {
        Paint(window, dc);
    }
    EndPaint(window, &ps);
}

void LabelWindow::Paint(HWND window, HDC dc) {
    RECT client{};
    GetClientRect(window, &client);
    HBRUSH back = CreateSolidBrush(TemplateColour(backColour_));
    FillRect(dc, &client, back);
    DeleteObject(back);

    const int length = GetWindowTextLengthW(window);
    if (length <= 0) {
        return;
    }
    WideText caption(static_cast<std::size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(window, caption.data(), length + 1);

    HFONT font = font_ != nullptr ? font_ : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    HGDIOBJ oldFont = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, TemplateColour(textColour_));
    // Left-aligned, wrapped at words, the block centred vertically (a one-line caption sits on
    // the same line as the box beside it).
    constexpr UINT kFormat = DT_LEFT | DT_WORDBREAK | DT_NOPREFIX;
    RECT measured = client;
    const int textHeight = DrawTextW(dc, caption.data(), got, &measured, kFormat | DT_CALCRECT);
    RECT target = client;
    const int spare = (client.bottom - client.top) - textHeight;
    if (spare > 0) {
        target.top += spare / 2;
    }
    DrawTextW(dc, caption.data(), got, &target, kFormat);
    SelectObject(dc, oldFont);
}

void LabelWindow::OnSetFont(HWND window, HFONT font, bool redraw) {
    font_ = font;
    if (redraw) {
        InvalidateRect(window, nullptr, TRUE);
    }
}

}  // namespace rh
