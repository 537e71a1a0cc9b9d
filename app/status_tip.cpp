#include "app/status_tip.h"

#include <commctrl.h>

#include <cstddef>

#include "app/dpi.h"
#include "app/form.h"
#include "runtime/window_handle.h"

namespace rh {
namespace {

// The tool record as common controls before version 6 know it (no trailing reserved pointer).
constexpr UINT kToolRecordSize = offsetof(TTTOOLINFOW, lParam) + sizeof(LPARAM);

// Tips wider than this break into lines.
constexpr LPARAM kTipWidth = 360;

HWND g_tipWindow = nullptr;
HWND g_tipButton = nullptr;
std::wstring g_tipText;

TTTOOLINFOW ToolFor(HWND button, const std::wstring& text) {
    TTTOOLINFOW tool{};
    tool.cbSize = kToolRecordSize;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = GetParent(button);
    tool.uId = reinterpret_cast<UINT_PTR>(button);
    tool.hinst = GetModuleHandleW(nullptr);
    tool.lpszText = const_cast<wchar_t*>(text.c_str());
    return tool;
}

// The tooltip window for this button, made (and the button registered) on first use and again
// after the window it belonged to has gone.
HWND TipWindowFor(HWND button, const std::wstring& text) {
    if (g_tipWindow != nullptr && IsWindow(g_tipWindow) && SameWindow(g_tipButton, button)) {
        return g_tipWindow;
    }
    if (g_tipWindow != nullptr && IsWindow(g_tipWindow)) {
        DestroyWindow(g_tipWindow);
    }
    g_tipWindow = nullptr;
    g_tipButton = nullptr;
    g_tipText.clear();
    InitCommonControls();
    HWND tip =
        CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, GetAncestor(button, GA_ROOT),
                        nullptr, GetModuleHandleW(nullptr), nullptr);
    if (tip == nullptr) {
        return nullptr;
    }
    TTTOOLINFOW tool = ToolFor(button, text);
    if (!SendMessageW(tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool))) {
        DestroyWindow(tip);
        return nullptr;
    }
    SendMessageW(tip, TTM_SETMAXTIPWIDTH, 0, kTipWidth);
    g_tipWindow = tip;
    g_tipButton = button;
    g_tipText = text;
    return tip;
}

}  // namespace

std::wstring StatusTipText(PageStatus status, std::optional<int> found) {
    if (status == PageStatus::Loading) {
        return L"页面正在载入，请稍候……";
    }
    if (found) {
        return *found > 0 ? L"找到 " + std::to_wstring(*found) + L" 个下载地址"
                          : L"没有找到下载地址";
    }
    if (status == PageStatus::ReadyToHarvest) {
        return L"页面已载入，可以获取下载链接";
    }
    return L"解析页面已就绪：输入视频页地址后按“跳转”";
}

void SetButtonTip(HWND button, std::wstring_view text) {
    if (button == nullptr) {
        return;
    }
    const std::wstring wanted(text);
    HWND tip = TipWindowFor(button, wanted);
    if (tip == nullptr) {
        return;
    }
    FitTooltipToDpi(tip, LayoutDpi(button));
    if (g_tipText == wanted) {
        return;
    }
    TTTOOLINFOW tool = ToolFor(button, wanted);
    SendMessageW(tip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
    g_tipText = wanted;
}

std::wstring ButtonTipText() {
    return g_tipWindow != nullptr && IsWindow(g_tipWindow) ? g_tipText : std::wstring();
}

HWND ButtonTipWindow() {
    return g_tipWindow != nullptr && IsWindow(g_tipWindow) ? g_tipWindow : nullptr;
}

}  // namespace rh
