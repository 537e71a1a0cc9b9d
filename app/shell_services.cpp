#include "app/shell_services.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <vector>

#include "app/dpi.h"
#include "app/form.h"
#include "runtime/wide_text.h"
#include "runtime/window_handle.h"

namespace rh {
namespace {

// The tool record without the trailing reserved pointer that newer common controls added: 44
// bytes on 32-bit Windows; the same record, with its wider handles, on 64-bit.
constexpr UINT kToolRecordSize = offsetof(TTTOOLINFOW, lParam) + sizeof(LPARAM);
static_assert(sizeof(void*) != 4 || kToolRecordSize == 44);

// Wider than any screen: a tip breaks only at line breaks in its text, so an address shows on
// one line however long it is.
constexpr LPARAM kMaxTipWidth = SHRT_MAX;

// The longest address a browser takes (Internet Explorer's limit, INTERNET_MAX_URL_LENGTH less
// its terminating zero), in characters as the shell gets it. Nothing longer can be opened, and
// shells are not robust against megabyte-long command lines: Wine's, for one, overruns a buffer.
constexpr std::size_t kMaxShellAddressLength = 2083;

HWND g_tooltipWindow = nullptr;
// The windows registered with the tooltip window and the tip each shows. A window is registered
// once and then only has its text replaced, so the tooltip's list of tools does not grow with
// every mouse movement; an unchanged text is not sent again, so a shown tip does not flicker.
struct Tool {
    HWND window;
    Text text;
};
std::vector<Tool> g_tools;

std::size_t LengthToZero(TextView text) {
    const std::size_t zero = text.find('\0');
    return zero == TextView::npos ? text.size() : zero;
}

bool IsAsciiLetter(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
}

char LowerAscii(char ch) {
    return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
}

bool SchemeIs(TextView scheme, TextView lowerName) {
    return scheme.size() == lowerName.size() &&
           std::equal(scheme.begin(), scheme.end(), lowerName.begin(),
                      [](char a, char b) { return LowerAscii(a) == b; });
}

// Puts a copy of `count` units of `size` bytes, and a zero unit after them, on the open clipboard.
// True when the clipboard took it; it then owns the block.
bool SetClipboardBlock(UINT format, const void* units, std::size_t count, std::size_t size) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, (count + 1) * size);
    if (block == nullptr) {
        return false;
    }
    bool taken = false;
    if (void* bytes = GlobalLock(block)) {
        std::memcpy(bytes, units, count * size);
        GlobalUnlock(block);
        taken = SetClipboardData(format, block) != nullptr;
    }
    if (!taken) {
        GlobalFree(block);
    }
    return taken;
}

// The characters a browser percent-encodes in an address typed by hand: controls, space, and the
// ASCII characters that cannot stand in an address as they are.
bool NeedsPercentEncoding(wchar_t ch) {
    return ch <= L' ' || ch == 0x7F ||
           std::wstring_view(L"\"<>\\^`{|}").find(ch) != std::wstring_view::npos;
}

HWND EnsureTooltipWindow(bool balloon) {
    if (g_tooltipWindow != nullptr && IsWindow(g_tooltipWindow)) {
        return g_tooltipWindow;
    }
    g_tooltipWindow = nullptr;
    g_tools.clear();
    InitCommonControls();
    const DWORD style =
        balloon ? (TTS_ALWAYSTIP | TTS_NOPREFIX | TTS_BALLOON) : (TTS_ALWAYSTIP | TTS_NOPREFIX);
    // A Unicode tooltip, so that a tip shows its text whatever the system's code page is.
    g_tooltipWindow = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, style, CW_USEDEFAULT,
                                      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                      GetModuleHandleA(nullptr), nullptr);
    return g_tooltipWindow;
}

// Forgets windows that have gone, and their tools with them.
void ForgetDestroyedTools() {
    std::erase_if(g_tools, [](const Tool& known) {
        if (IsWindow(known.window)) {
            return false;
        }
        TTTOOLINFOW tool{};
        tool.cbSize = kToolRecordSize;
        tool.uFlags = TTF_IDISHWND;
        tool.uId = reinterpret_cast<UINT_PTR>(known.window);
        SendMessageW(g_tooltipWindow, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        return true;
    });
}

}  // namespace

bool SetClipboardText(HWND owner, TextView text) {
    if (!OpenClipboard(owner)) {
        return false;
    }
    EmptyClipboard();
    const TextView bytes = text.substr(0, LengthToZero(text));
    const bool handedOver = SetClipboardBlock(CF_TEXT, bytes.data(), bytes.size(), 1);
    if (handedOver) {
        // Left to the system, the Unicode form would be made from the code page of whatever
        // keyboard layout is active at this moment, not from the one the text is in.
        const WideText wide = WideFromText(bytes);
        SetClipboardBlock(CF_UNICODETEXT, wide.data(), wide.size(), sizeof(wchar_t));
    }
    CloseClipboard();
    return handedOver;
}

Text AddressToHandOn(TextView address) {
    Text kept;
    kept.reserve(address.size());
    // Byte by byte: none of these bytes is ever part of a double-byte character.
    for (char ch : address.substr(0, LengthToZero(address))) {
        if (ch != '\t' && ch != '\r' && ch != '\n') {
            kept += ch;
        }
    }
    return kept;
}

TextView WebAddressPart(TextView text) {
    text = text.substr(0, LengthToZero(text));
    std::size_t start = 0;
    while (start < text.size() && static_cast<unsigned char>(text[start]) <= 0x20) {
        ++start;
    }
    const TextView address = text.substr(start);
    std::size_t colon = 0;
    while (colon < address.size() && IsAsciiLetter(address[colon])) {
        ++colon;
    }
    if (colon == address.size() || address[colon] != ':') {
        return TextView();
    }
    const TextView scheme = address.substr(0, colon);
    if (!SchemeIs(scheme, "http") && !SchemeIs(scheme, "https")) {
        return TextView();
    }
    return address;
}

WideText ShellAddress(TextView text) {
    const TextView address = WebAddressPart(text);
    if (address.empty()) {
        return WideText();
    }
    // Encoded after the conversion, so that no byte pairing of the conversion can bring back a
    // character that was meant to be encoded.
    WideText wide = WideFromText(View(AddressToHandOn(address)));
    while (!wide.empty() && wide.back() <= L' ') {
        wide.pop_back();
    }
    WideText encoded;
    encoded.reserve(wide.size());
    // A browser's parser reads "\" as "/" in an http or https address before its query and
    // fragment: "http://media.test\v\a.mp4" is http://media.test/v/a.mp4. Encoded there, it
    // would make the host another (invalid) one; in the query and fragment it is a character of
    // its own and is encoded as before.
    bool beforeQuery = true;
    for (wchar_t ch : wide) {
        beforeQuery = beforeQuery && ch != L'?' && ch != L'#';
        if (ch == L'\\' && beforeQuery) {
            encoded += L'/';
        } else if (NeedsPercentEncoding(ch)) {
            constexpr wchar_t kHex[] = L"0123456789ABCDEF";
            encoded += L'%';
            encoded += kHex[(ch >> 4) & 0xF];
            encoded += kHex[ch & 0xF];
        } else {
            encoded += ch;
        }
    }
    if (encoded.size() > kMaxShellAddressLength) {
        return WideText();
    }
    return encoded;
}

bool OpenWithShell(TextView text) {
    const WideText address = ShellAddress(text);
    if (address.empty()) {
        return false;
    }
    HWND owner = FindWindowExA(nullptr, nullptr, nullptr, "Microsoft Internet Explorer");
    ShellExecuteW(owner, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return true;
}

LRESULT SetWindowTooltip(HWND window, TextView text, bool balloon, bool centred) {
    if (window == nullptr) {
        return 0;
    }
    HWND tooltip = EnsureTooltipWindow(balloon);
    if (tooltip == nullptr) {
        return 0;
    }
    ForgetDestroyedTools();
    // The tip's letters at the scale of the window it is for.
    FitTooltipToDpi(tooltip, LayoutDpi(window));
    Text terminated(text.substr(0, LengthToZero(text)));
    WideText wide = WideFromText(terminated);
    TTTOOLINFOW tool{};
    tool.cbSize = kToolRecordSize;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS | (centred ? TTF_CENTERTIP : 0);
    tool.uId = reinterpret_cast<UINT_PTR>(window);
    tool.hinst = GetModuleHandleA(nullptr);
    tool.lpszText = wide.data();
    const auto known = std::find_if(g_tools.begin(), g_tools.end(), [window](const Tool& t) {
        return SameWindow(t.window, window);
    });
    if (known == g_tools.end()) {
        if (SendMessageW(tooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool))) {
            g_tools.push_back(Tool{window, std::move(terminated)});
        }
    } else if (known->text != terminated) {
        SendMessageW(tooltip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
        known->text = std::move(terminated);
    }
    return SendMessageW(tooltip, TTM_SETMAXTIPWIDTH, 0, kMaxTipWidth);
}

HWND SharedTooltipWindow() {
    return g_tooltipWindow;
}

}  // namespace rh
