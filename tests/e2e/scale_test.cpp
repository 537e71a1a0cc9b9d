// Reelhawk at 150 %: the Wine prefix's screen at 144 DPI (set by tests/e2e/at_dpi.sh, which runs
// this program). The window is the template scaled by 1.5, and a whole request, the list's tip and
// its context menu work as at 100 %.
#include <gtest/gtest.h>
#include <windows.h>

#include "app/components.h"
#include "app/main_window_template.h"
#include "app/shell_services.h"
#include "app/status_tip.h"
#include "program_run.h"
#include "tests/app/scale_checks.h"
#include "tests/app/test_support.h"

namespace e2e {
namespace {

constexpr UINT kDpi = 144;

int Scaled(int length) {
    return MulDiv(length, kDpi, 96);
}

// The client area that the template's outer size (493 × 231) leaves at 96 DPI, as the system
// works the frame out.
SIZE TemplateClientAt96() {
    using Adjust = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
    const auto adjust = reinterpret_cast<Adjust>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
    RECT frame{};
    if (adjust != nullptr) {
        adjust(&frame, WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN, FALSE, WS_EX_TOOLWINDOW, 96);
    }
    return {493 - (frame.right - frame.left), 231 - (frame.bottom - frame.top)};
}

RECT RectInWindow(HWND component, HWND window) {
    RECT r{};
    GetWindowRect(component, &r);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// Asks at_dpi.sh for a picture of the screen as it is now and waits until it has been taken.
void TakePicture() {
    char request[MAX_PATH] = {};
    if (GetEnvironmentVariableA("REELHAWK_PICTURE_REQUEST", request, MAX_PATH) == 0) {
        return;
    }
    const std::string path = HostToWindowsPath(request);
    WriteWholeFile(path, "picture");
    WaitUntil([&] { return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES; }, 15000,
              100);
}

class ScaleAt144Dpi : public ::testing::Test {
  protected:
    void SetUp() override {
        HDC screen = GetDC(nullptr);
        const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
        ASSERT_EQ(dpi, static_cast<int>(kDpi)) << "run through tests/e2e/at_dpi.sh";
    }
};

TEST_F(ScaleAt144Dpi, TheWindowAndItsTipsAreTheTemplateTimesOneAndAHalf) {
    rh::test::TemplateWindow window(rh::MainWindowTemplate());
    HWND w = window.Window();
    ASSERT_NE(w, nullptr);
    const SIZE at96 = TemplateClientAt96();
    ASSERT_GT(at96.cx, 0);
    RECT client{};
    GetClientRect(w, &client);
    EXPECT_EQ(client.right, Scaled(at96.cx));
    EXPECT_EQ(client.bottom, Scaled(at96.cy));
    RECT outer{};
    GetWindowRect(w, &outer);
    EXPECT_EQ(outer.left, (GetSystemMetrics(SM_CXSCREEN) - (outer.right - outer.left)) / 2);
    EXPECT_EQ(outer.top, (GetSystemMetrics(SM_CYSCREEN) - (outer.bottom - outer.top)) / 2);
    rh::test::ExpectMainWindowLaidOutAt(w, kDpi);

    rh::SetButtonTip(window.Component(rh::kActionButtonId), L"页面正在载入");
    rh::SetWindowTooltip(window.Component(rh::kResultListId), "http://v.example/a.flv", false,
                         false);
    const LONG tipAt96 = rh::test::TipFontHeightAt(96);
    ASSERT_NE(tipAt96, 0);
    EXPECT_EQ(rh::test::FontHeightOf(rh::ButtonTipWindow()), Scaled(tipAt96));
    EXPECT_EQ(rh::test::FontHeightOf(rh::SharedTooltipWindow()), Scaled(tipAt96));
}

TEST_F(ScaleAt144Dpi, AWholeRequestTheTipAndTheContextMenuWorkAsAt100Percent) {
    ProgramRun run;
    ASSERT_EQ(run.Start(), "");
    RECT client{};
    GetClientRect(run.Window(), &client);
    const SIZE at96 = TemplateClientAt96();
    EXPECT_EQ(client.right, Scaled(at96.cx));
    EXPECT_EQ(client.bottom, Scaled(at96.cy));
    const RECT list = RectInWindow(run.List(), run.Window());
    EXPECT_EQ(list.left, Scaled(5));
    EXPECT_EQ(list.right - list.left, Scaled(475));
    EXPECT_EQ(list.bottom - list.top, Scaled(136));

    // Typed, Enter (the default button), then the button pressed again.
    ASSERT_TRUE(run.ResolveAndWait(L"http://video.example.test/v/150"));
    ASSERT_TRUE(run.HarvestAndWait());
    const auto items = run.Items();
    ASSERT_GE(items.size(), 3u);
    ASSERT_NE(items[2], items[0]);

    // The tip names the selected item, wherever over the list the pointer rests.
    DWORD processId = 0;
    GetWindowThreadProcessId(run.Window(), &processId);
    run.SelectItem(2);
    POINT over = ListItemPoint(run.List(), 0);
    MoveMouseTo(over);
    over.x += 3;
    MoveMouseTo(over);
    std::string tip;
    const bool shown = WaitUntil(
        [&] {
            for (HWND t : ProcessWindows(processId, "Tooltips_class32")) {
                if (GetWindow(t, GW_OWNER) == nullptr && IsWindowVisible(t)) {
                    tip = WindowText(t);
                    return !tip.empty();
                }
            }
            MoveMouseTo(over);  // kept over the list, as a hand does
            return false;
        },
        10000, 200);
    ASSERT_TRUE(shown) << "no tip was shown";
    EXPECT_EQ(tip, items[2]);
    TakePicture();

    // The context menu's "copy all": every address, one per line.
    ASSERT_TRUE(BringToFront(run.Window()));
    const DWORD before = ClipboardSequence();
    RightClickAt(ListItemPoint(run.List(), 1));
    ASSERT_NE(WaitForProcessWindow(processId, "#32768", nullptr, 5000), nullptr)
        << "no context menu appeared";
    PressKey(VK_DOWN);
    PressKey(VK_DOWN);
    PressKey(VK_RETURN);
    std::string all;
    for (const std::string& item : items) {
        all += (all.empty() ? "" : "\r\n") + item;
    }
    EXPECT_EQ(ClipboardTextAfter(before), std::optional<std::string>(all));
    EXPECT_EQ(run.CloseWithEsc(), std::optional<DWORD>(0));
}

}  // namespace
}  // namespace e2e
