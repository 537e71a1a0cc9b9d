#include "app/dpi.h"

#include <map>

namespace rh {
namespace {

// Looks a user32 call up once; null on systems that do not have it.
template <class Function>
Function UserCall(const char* name) noexcept {
    HMODULE user = GetModuleHandleW(L"user32.dll");
    FARPROC found = user != nullptr ? GetProcAddress(user, name) : nullptr;
    // Through the generic function type, which the compiler lets any function pointer become.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

using GetDpiForWindowCall = UINT(WINAPI*)(HWND);
using GetDpiForSystemCall = UINT(WINAPI*)();
using AdjustWindowRectExForDpiCall = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
using SystemParametersInfoForDpiCall = BOOL(WINAPI*)(UINT, UINT, void*, UINT, UINT);

int ScreenDpi() noexcept {
    HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen != nullptr) {
        ReleaseDC(nullptr, screen);
    }
    return dpi;
}

int FontHeightOf(HFONT font) noexcept {
    LOGFONTW described{};
    if (font == nullptr || GetObjectW(font, sizeof(described), &described) == 0) {
        return 0;
    }
    return described.lfHeight;
}

// The tip font at a DPI, made on first use; null when the system cannot describe it.
HFONT TooltipFont(UINT dpi) {
    static std::map<UINT, HFONT> made;
    if (const auto known = made.find(dpi); known != made.end()) {
        return known->second;
    }
    static const auto describe =
        UserCall<SystemParametersInfoForDpiCall>("SystemParametersInfoForDpi");
    if (describe == nullptr) {
        return nullptr;
    }
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    if (!describe(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi)) {
        return nullptr;
    }
    HFONT font = CreateFontIndirectW(&metrics.lfStatusFont);
    if (font != nullptr) {
        made.emplace(dpi, font);
    }
    return font;
}

}  // namespace

int ScaleToDpi(int length, UINT dpi) noexcept {
    return dpi == kTemplateDpi ? length : MulDiv(length, static_cast<int>(dpi), kTemplateDpi);
}

UINT SystemDpi() noexcept {
    static const auto ask = UserCall<GetDpiForSystemCall>("GetDpiForSystem");
    if (ask != nullptr) {
        return ask();
    }
    const int dpi = ScreenDpi();
    return dpi > 0 ? static_cast<UINT>(dpi) : kTemplateDpi;
}

UINT WindowDpi(HWND window) noexcept {
    static const auto ask = UserCall<GetDpiForWindowCall>("GetDpiForWindow");
    if (ask != nullptr && window != nullptr) {
        if (const UINT dpi = ask(window); dpi != 0) {
            return dpi;
        }
    }
    return SystemDpi();
}

bool FrameAroundClient(RECT& rect, DWORD style, DWORD exStyle, UINT dpi) noexcept {
    static const auto adjust = UserCall<AdjustWindowRectExForDpiCall>("AdjustWindowRectExForDpi");
    RECT widened = rect;
    if (adjust != nullptr) {
        if (!adjust(&widened, style, FALSE, exStyle, dpi)) {
            return false;
        }
    } else if (dpi != SystemDpi() || !AdjustWindowRectEx(&widened, style, FALSE, exStyle)) {
        return false;
    }
    rect = widened;
    return true;
}

void FitTooltipToDpi(HWND tooltip, UINT dpi) {
    if (tooltip == nullptr) {
        return;
    }
    HFONT wanted = TooltipFont(dpi);
    if (wanted == nullptr) {
        return;
    }
    HFONT current = reinterpret_cast<HFONT>(SendMessageW(tooltip, WM_GETFONT, 0, 0));
    if (current != wanted && FontHeightOf(current) != FontHeightOf(wanted)) {
        SendMessageW(tooltip, WM_SETFONT, reinterpret_cast<WPARAM>(wanted), FALSE);
    }
}

}  // namespace rh
