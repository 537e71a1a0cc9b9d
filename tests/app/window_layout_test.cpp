// The main window as built from its template, read back from the live windows.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "app/browser_host.h"
#include "app/components.h"
#include "app/form.h"
#include "app/main_window_template.h"
#include "app/shell_services.h"
#include "app/status_tip.h"
#include "tests/app/instrumented.h"
#include "tests/app/scale_checks.h"
#include "tests/app/test_support.h"
#include "runtime/window_handle.h"

namespace rh {
namespace {

using test::ClassOf;
using test::TemplateCopy;
using test::TemplateWindow;

struct Placement {
    std::uint32_t id;
    const char* className;
    int left, top, width, height;
    bool visible;
    bool tabStop;
    bool clientEdge;
};

constexpr Placement kPlacements[] = {
    {kSupportedSitesLabelId, "ReelhawkLabel", 40, 184, 328, 16, true, false, false},
    {kResultListId, "ListBox", 5, 40, 475, 136, true, true, true},
    {kActionButtonId, "Button", 304, 10, 88, 24, true, true, false},
    {kBrowserId, "ReelhawkBrowserBox", 416, 0, 424, 224, false, true, false},
    {kAddressEditId, "Edit", 72, 8, 224, 24, true, true, true},
    {kAddressLabelId, "ReelhawkLabel", 8, 8, 64, 24, true, false, false},
};

bool SameClass(const std::string& a, const std::string& b) {
    return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) ==
           CSTR_EQUAL;
}

LONG_PTR Style(HWND w) {
    return GetWindowLongPtrA(w, GWL_STYLE);
}
LONG_PTR ExStyle(HWND w) {
    return GetWindowLongPtrA(w, GWL_EXSTYLE);
}

RECT RectInParent(HWND w) {
    RECT r{};
    GetWindowRect(w, &r);
    MapWindowPoints(nullptr, GetParent(w), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

LOGFONTW FontOf(HWND w) {
    LOGFONTW font{};
    HGDIOBJ handle = reinterpret_cast<HGDIOBJ>(SendMessageW(w, WM_GETFONT, 0, 0));
    EXPECT_NE(handle, nullptr) << ClassOf(w);
    GetObjectW(handle, sizeof(font), &font);
    return font;
}

class MainWindowTest : public ::testing::Test {
  protected:
    TemplateWindow window_{MainWindowTemplate()};
    HWND Component(std::uint32_t id) const { return window_.Component(id); }
};

TEST_F(MainWindowTest, CentredFixedToolWindowOfItsOwnSize) {
    HWND w = window_.Window();
    ASSERT_NE(w, nullptr);
    RECT r{};
    GetWindowRect(w, &r);
    const int cx = GetSystemMetrics(SM_CXSCREEN);
    const int cy = GetSystemMetrics(SM_CYSCREEN);
    EXPECT_EQ(r.left, (cx - 493) / 2);
    EXPECT_EQ(r.top, (cy - 231) / 2);
    EXPECT_EQ(r.right - r.left, 493);
    EXPECT_EQ(r.bottom - r.top, 231);
    if (cx == 1024 && cy == 768) {
        EXPECT_EQ(r.left, 265);
        EXPECT_EQ(r.top, 268);
    }
    const LONG_PTR style = Style(w);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_TRUE(style & WS_CLIPCHILDREN);
    EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME | WS_CHILD));
    EXPECT_TRUE(ExStyle(w) & WS_EX_TOOLWINDOW);
    EXPECT_FALSE(ExStyle(w) & WS_EX_TOPMOST);
    EXPECT_EQ(GetWindow(w, GW_OWNER), nullptr);
    EXPECT_EQ(test::TextOf(w), "Reelhawk 1.0");
    EXPECT_EQ(GetClassLongPtrA(w, GCLP_HBRBACKGROUND), COLOR_BTNFACE + 1);
    EXPECT_EQ(reinterpret_cast<HGDIOBJ>(SendMessageA(w, WM_GETFONT, 0, 0)),
              GetStockObject(DEFAULT_GUI_FONT));
    for (WPARAM which : {ICON_BIG, ICON_SMALL}) {
        HICON icon = reinterpret_cast<HICON>(SendMessageA(w, WM_GETICON, which, 0));
        ASSERT_NE(icon, nullptr) << which;
        ICONINFO info{};
        ASSERT_TRUE(GetIconInfo(icon, &info));
        BITMAP colour{};
        GetObjectA(info.hbmColor, sizeof(colour), &colour);
        const int expected = GetSystemMetrics(which == ICON_BIG ? SM_CXICON : SM_CXSMICON);
        EXPECT_EQ(colour.bmWidth, expected) << which;
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
    }
    // Not shown until the program says so; then shown and movable by its caption only.
    EXPECT_FALSE(IsWindowVisible(w));
    ShowTemplateWindow(w);
    EXPECT_TRUE(IsWindowVisible(w));
    HMENU system = GetSystemMenu(w, FALSE);
    ASSERT_NE(system, nullptr);
    EXPECT_NE(GetMenuState(system, SC_MOVE, MF_BYCOMMAND), static_cast<UINT>(-1));
    EXPECT_NE(GetMenuState(system, SC_CLOSE, MF_BYCOMMAND), static_cast<UINT>(-1));
    const int middle = (r.top + r.bottom) / 2;
    EXPECT_EQ(SendMessageA(w, WM_NCHITTEST, 0, MAKELPARAM((r.left + r.right) / 2, r.top + 3)),
              HTCAPTION);
    for (LPARAM edge : {MAKELPARAM(r.left, middle), MAKELPARAM(r.right - 1, middle),
                        MAKELPARAM((r.left + r.right) / 2, r.bottom - 1)}) {
        const LRESULT hit = SendMessageA(w, WM_NCHITTEST, 0, edge);
        EXPECT_TRUE(hit < HTSIZEFIRST || hit > HTSIZELAST) << hit;
    }
}

TEST_F(MainWindowTest, ComponentsHaveTheirGeometryClassesAndStyles) {
    for (std::size_t i = 0; i < std::size(kPlacements); ++i) {
        const Placement& p = kPlacements[i];
        HWND c = Component(p.id);
        ASSERT_NE(c, nullptr) << std::hex << p.id;
        SCOPED_TRACE(ClassOf(c));
        EXPECT_EQ(rh::WindowHandleValue(GetParent(c)), rh::WindowHandleValue(window_.Window()));
        EXPECT_EQ(GetDlgCtrlID(c), static_cast<int>(i) + 1);  // made in template order
        EXPECT_TRUE(SameClass(ClassOf(c), p.className));
        const RECT r = RectInParent(c);
        EXPECT_EQ(r.left, p.left);
        EXPECT_EQ(r.top, p.top);
        EXPECT_EQ(r.right - r.left, p.width);
        EXPECT_EQ(r.bottom - r.top, p.height);
        const LONG_PTR style = Style(c);
        EXPECT_EQ(style & (WS_CHILD | WS_CLIPSIBLINGS), WS_CHILD | WS_CLIPSIBLINGS);
        EXPECT_EQ((style & WS_VISIBLE) != 0, p.visible);
        EXPECT_EQ((style & WS_TABSTOP) != 0, p.tabStop);
        EXPECT_FALSE(style & WS_DISABLED);
        EXPECT_EQ((ExStyle(c) & WS_EX_CLIENTEDGE) != 0, p.clientEdge);
    }
    const LONG_PTR list = Style(Component(kResultListId));
    EXPECT_EQ(list & (LBS_NOTIFY | LBS_USETABSTOPS | LBS_NOINTEGRALHEIGHT),
              LBS_NOTIFY | LBS_USETABSTOPS | LBS_NOINTEGRALHEIGHT);
    EXPECT_FALSE(list & (LBS_SORT | LBS_MULTIPLESEL | LBS_EXTENDEDSEL | LBS_MULTICOLUMN));
    const LONG_PTR button = Style(Component(kActionButtonId));
    EXPECT_EQ(button & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    EXPECT_EQ(button & (BS_CENTER | BS_VCENTER | BS_MULTILINE),
              BS_CENTER | BS_VCENTER | BS_MULTILINE);
    const LONG_PTR edit = Style(Component(kAddressEditId));
    EXPECT_TRUE(edit & ES_AUTOHSCROLL);
    EXPECT_FALSE(edit & (ES_MULTILINE | ES_READONLY | ES_PASSWORD | ES_UPPERCASE | ES_LOWERCASE |
                         ES_NOHIDESEL | ES_CENTER | ES_RIGHT | ES_NUMBER));
}

TEST_F(MainWindowTest, ComponentsStartWithTheirTexts) {
    EXPECT_EQ(test::TextOf(Component(kAddressLabelId)), "网站地址：");
    EXPECT_EQ(test::TextOf(Component(kSupportedSitesLabelId)),
              "支持优酷、土豆、酷6、youtube等网站的转换。");
    EXPECT_EQ(test::TextOf(Component(kActionButtonId)), "跳转");
    EXPECT_EQ(test::TextOf(Component(kAddressEditId)), "");
    HWND list = Component(kResultListId);
    EXPECT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 0);
    EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), LB_ERR);
    DWORD from = 1, to = 1;
    SendMessageA(Component(kAddressEditId), EM_GETSEL, reinterpret_cast<WPARAM>(&from),
                 reinterpret_cast<LPARAM>(&to));
    EXPECT_EQ(from, 0u);
    EXPECT_EQ(to, 0u);
}

TEST_F(MainWindowTest, FontsAreMadeFromTheRecordsWithOurRenderingSettings) {
    for (std::uint32_t id : {kSupportedSitesLabelId, kResultListId, kActionButtonId, kAddressEditId,
                             kAddressLabelId}) {
        HWND c = Component(id);
        SCOPED_TRACE(ClassOf(c));
        const LOGFONTW font = FontOf(c);
        // The face name as Windows holds it, whatever the system's code page is.
        EXPECT_EQ(std::wstring(font.lfFaceName), id == kAddressEditId ? L"Dotum" : L"宋体");
        EXPECT_EQ(font.lfHeight, -12);
        EXPECT_EQ(font.lfWeight, 400);
        EXPECT_EQ(font.lfCharSet, DEFAULT_CHARSET);  // the record says GB2312_CHARSET
        EXPECT_EQ(font.lfQuality, PROOF_QUALITY);
        EXPECT_EQ(font.lfOutPrecision, 0);
        EXPECT_EQ(font.lfClipPrecision, 0);
        EXPECT_EQ(font.lfPitchAndFamily, 0);
        EXPECT_FALSE(font.lfItalic || font.lfUnderline || font.lfStrikeOut);
    }
}

TEST(ComponentFonts, AreReleasedWhenTheWindowGoes) {
    std::vector<HGDIOBJ> fonts;
    {
        TemplateWindow window(MainWindowTemplate());
        for (std::uint32_t id : {kSupportedSitesLabelId, kResultListId, kActionButtonId,
                                 kAddressEditId, kAddressLabelId}) {
            fonts.push_back(
                reinterpret_cast<HGDIOBJ>(SendMessageA(window.Component(id), WM_GETFONT, 0, 0)));
            EXPECT_EQ(GetObjectType(fonts.back()), static_cast<DWORD>(OBJ_FONT));
        }
        std::sort(fonts.begin(), fonts.end());
        EXPECT_EQ(std::unique(fonts.begin(), fonts.end()), fonts.end()) << "one font each";
        EXPECT_TRUE(window.DestroyAndTakeQuit());
    }
    for (HGDIOBJ font : fonts) {
        EXPECT_EQ(GetObjectType(font), 0u);
    }
    EXPECT_NE(GetObjectType(GetStockObject(DEFAULT_GUI_FONT)), 0u);
}

TEST_F(MainWindowTest, ListItemsAreThreePixelsTallerThanTheControlsOwn) {
    HWND list = Component(kResultListId);
    // The same control with the same font, left at its own item height.
    HWND plain = CreateWindowExA(0, "LISTBOX", "", WS_CHILD | LBS_NOTIFY, 0, 0, 100, 100,
                                 window_.Window(), nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(plain, nullptr);
    SendMessageA(plain, WM_SETFONT, SendMessageA(list, WM_GETFONT, 0, 0), FALSE);
    const LRESULT own = SendMessageA(plain, LB_GETITEMHEIGHT, 0, 0);
    DestroyWindow(plain);
    EXPECT_GT(own, 0);
    EXPECT_EQ(SendMessageA(list, LB_GETITEMHEIGHT, 0, 0), own + 3);
}

TEST_F(MainWindowTest, ListShowsItsScrollBarWhenItemsOverflow) {
    HWND list = Component(kResultListId);
    for (int i = 0; i < 30; ++i) {
        ListAddItem(list, "http://v.example/a.flv");
    }
    EXPECT_TRUE(Style(list) & WS_VSCROLL);
    ListClear(list);
}

TEST_F(MainWindowTest, EditBoxHasNoLengthLimitAndBlueTextOnWhite) {
    HWND edit = Component(kAddressEditId);
    // The control's own limit for a single-line box is 30000 bytes.
    EXPECT_GT(static_cast<DWORD>(SendMessageA(edit, EM_GETLIMITTEXT, 0, 0)), 1000000u);
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    const LRESULT brush =
        SendMessageA(window_.Window(), WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc),
                     reinterpret_cast<LPARAM>(edit));
    EXPECT_EQ(GetTextColor(dc), RGB(0, 0, 255));
    EXPECT_EQ(GetBkColor(dc), RGB(255, 255, 255));
    LOGBRUSH lb{};
    ASSERT_NE(GetObjectA(reinterpret_cast<HGDIOBJ>(brush), sizeof(lb), &lb), 0);
    EXPECT_EQ(lb.lbColor, RGB(255, 255, 255));
    // Other controls keep the system's colours.
    SetTextColor(dc, RGB(1, 2, 3));
    SendMessageA(window_.Window(), WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc), 0);
    EXPECT_EQ(GetTextColor(dc), GetSysColor(COLOR_WINDOWTEXT));
    DeleteDC(dc);
}

// Paints a label into a bitmap; the number of pixels that differ from the button face.
int InkedPixels(HWND label) {
    RECT r{};
    GetClientRect(label, &r);
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, r.right, r.bottom);
    ReleaseDC(nullptr, screen);
    HGDIOBJ old = SelectObject(dc, bitmap);
    HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
    FillRect(dc, &r, red);  // the label must paint over all of it
    DeleteObject(red);
    SendMessageA(label, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
    const COLORREF face = GetNearestColor(dc, GetSysColor(COLOR_BTNFACE));
    int inked = 0;
    for (int y = 0; y < r.bottom; ++y) {
        for (int x = 0; x < r.right; ++x) {
            const COLORREF pixel = GetPixel(dc, x, y);
            EXPECT_NE(pixel, RGB(255, 0, 0)) << x << "," << y;
            if (pixel != face) {
                ++inked;
            }
        }
    }
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    return inked;
}

TEST_F(MainWindowTest, LabelsPaintTheirCaptionsThemselves) {
    HWND label = Component(kAddressLabelId);
    const WNDCLASSEXA info = [] {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof(wc);
        GetClassInfoExA(GetModuleHandleA(nullptr), "ReelhawkLabel", &wc);
        return wc;
    }();
    EXPECT_EQ(info.style, static_cast<UINT>(CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS));
    EXPECT_EQ(info.hbrBackground, nullptr);
    EXPECT_EQ(info.hCursor, LoadCursor(nullptr, IDC_ARROW));
    EXPECT_GT(InkedPixels(label), 20);
    SetWindowTextA(label, "");
    EXPECT_EQ(InkedPixels(label), 0);
    SetWindowTextA(label, "网站地址：");
    EXPECT_GT(InkedPixels(Component(kSupportedSitesLabelId)), InkedPixels(label));
}

TEST_F(MainWindowTest, BrowserBoxIsAHiddenContainerHoldingTheControl) {
    HWND box = ComponentWindowHandle(kMainWindowId, kBrowserId);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box, Component(kBrowserId));
    ShowTemplateWindow(window_.Window());
    test::Pump(100);
    EXPECT_FALSE(IsWindowVisible(box));
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof(wc);
    ASSERT_TRUE(GetClassInfoExA(GetModuleHandleA(nullptr), "ReelhawkBrowserBox", &wc));
    EXPECT_EQ(wc.style, static_cast<UINT>(CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS));
    EXPECT_EQ(wc.hbrBackground, GetStockObject(WHITE_BRUSH));
    EXPECT_EQ(wc.hCursor, LoadCursor(nullptr, IDC_ARROW));
    // The browser control's own window fills the container's client area.
    HWND control = GetDlgItem(box, kBrowserControlId);
    ASSERT_NE(control, nullptr) << "children: " << test::Descendants(box).size();
    EXPECT_TRUE(GetWindowLongPtrA(control, GWL_STYLE) & WS_CHILD);
    RECT client{}, inner{};
    GetClientRect(box, &client);
    inner = RectInParent(control);
    EXPECT_EQ(inner.left, client.left);
    EXPECT_EQ(inner.top, client.top);
    EXPECT_EQ(inner.right, client.right);
    EXPECT_EQ(inner.bottom, client.bottom);
}

// What the system sends when the window is moved to a screen of another scale: the new DPI and
// the rectangle it suggests. Sent here by hand, as Wine has one screen.
void MoveToScale(HWND window, UINT dpi, RECT suggested) {
    SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
}

TEST_F(MainWindowTest, AMoveToAnotherScaleTakesTheSuggestedRectangleAndLaysOutAgain) {
    HWND w = window_.Window();
    HWND list = Component(kResultListId);
    HWND button = Component(kActionButtonId);
    RECT before{};
    GetWindowRect(w, &before);
    // Both tips exist before the move: the button's and the list's.
    SetButtonTip(button, L"页面正在载入");
    SetWindowTooltip(list, "http://v.example/a.flv", false, false);
    HWND buttonTip = ButtonTipWindow();
    HWND listTip = SharedTooltipWindow();
    ASSERT_NE(buttonTip, nullptr);
    ASSERT_NE(listTip, nullptr);
    const LONG tipAtStart = test::FontHeightOf(listTip);

    // 125 %: lengths that MulDiv rounds both ways (10 → 12.5 → 13, 5 → 6.25 → 6).
    const RECT suggested{100, 80, 100 + 640, 80 + 300};
    MoveToScale(w, 120, suggested);
    RECT now{};
    GetWindowRect(w, &now);
    EXPECT_EQ(now.left, suggested.left);
    EXPECT_EQ(now.top, suggested.top);
    EXPECT_EQ(now.right, suggested.right);
    EXPECT_EQ(now.bottom, suggested.bottom);
    test::ExpectMainWindowLaidOutAt(w, 120);
    if (const LONG tip = test::TipFontHeightAt(120); tip != 0) {
        EXPECT_EQ(test::FontHeightOf(buttonTip), tip);
        EXPECT_EQ(test::FontHeightOf(listTip), tip);
        // A later tip for the list keeps the window's scale.
        SetWindowTooltip(list, "http://v.example/b.flv", false, false);
        EXPECT_EQ(test::FontHeightOf(listTip), tip);
    }

    // Back at 100 %: today's numbers exactly, as the tests above check them.
    MoveToScale(w, 96, before);
    GetWindowRect(w, &now);
    EXPECT_EQ(now.right - now.left, 493);
    EXPECT_EQ(now.bottom - now.top, 231);
    test::ExpectMainWindowLaidOutAt(w, 96);
    EXPECT_EQ(RectInParent(Component(kActionButtonId)).left, 304);
    EXPECT_EQ(FontOf(Component(kAddressEditId)).lfHeight, -12);
    EXPECT_EQ(test::FontHeightOf(listTip), tipAtStart);
}

TEST(ComponentWindowHandle, IsZeroForWhatDoesNotExist) {
    EXPECT_EQ(ComponentWindowHandle(kMainWindowId, kBrowserId), nullptr);  // no window yet
    TemplateWindow window(MainWindowTemplate());
    EXPECT_NE(ComponentWindowHandle(kMainWindowId, kBrowserId), nullptr);
    EXPECT_EQ(ComponentWindowHandle(kMainWindowId, 0x16019999), nullptr);
    EXPECT_EQ(ComponentWindowHandle(0x52019999, kBrowserId), nullptr);
    EXPECT_EQ(ComponentWindowHandle(kMainWindowId, kMainWindowId), nullptr);
    window.DestroyAndTakeQuit();
    EXPECT_EQ(ComponentWindowHandle(kMainWindowId, kBrowserId), nullptr);
}

TEST(ComponentFonts, ARecordOfTheWrongSizeGivesTheStockFont) {
    TemplateCopy copy(MainWindowTemplate(), false);
    copy.Component(kAddressLabelId).font.size = 59;
    copy.Component(kActionButtonId).font.size = 61;
    TemplateWindow window(copy.Template());
    ASSERT_NE(window.Window(), nullptr);
    const HGDIOBJ stock = GetStockObject(DEFAULT_GUI_FONT);
    EXPECT_EQ(reinterpret_cast<HGDIOBJ>(
                  SendMessageA(window.Component(kAddressLabelId), WM_GETFONT, 0, 0)),
              stock);
    EXPECT_EQ(reinterpret_cast<HGDIOBJ>(
                  SendMessageA(window.Component(kActionButtonId), WM_GETFONT, 0, 0)),
              stock);
    EXPECT_NE(
        reinterpret_cast<HGDIOBJ>(SendMessageA(window.Component(kResultListId), WM_GETFONT, 0, 0)),
        stock);
}

}  // namespace
}  // namespace rh
