// The action button and list handlers in this process, on the program's own window built from its
// template with the stand-in browser inside, driven through the real message loop. These see what
// a run of the program from outside cannot: presses and closes in the middle of a job, an empty
// selection, a clipboard held by another program, the tooltip window before and after.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <ole2.h>

#include <cstdint>
#include <functional>

#include "app/components.h"
#include "app/form.h"
#include "app/globals.h"
#include "app/handlers.h"
#include "app/main_window_template.h"
#include "app/program.h"
#include "app/shell_services.h"
#include "app/list_commands.h"
#include "app/status_tip.h"
#include "runtime/events.h"
#include "e2e_support.h"
#include "test_pages.h"
#include "runtime/window_handle.h"

namespace rh {
namespace {

using e2e::Link;

constexpr const char* kResolveCaption = "跳转";
constexpr const char* kHarvestCaption = "获取下载链接";

class HandlerTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (IsWindow(window_)) {
            DestroyWindow(window_);
        }
        PumpFor(50);
        MSG quit;
        while (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
        g_pageAutomation.reset();
        ReleaseWindowMachinery();
        SetEnvironmentVariableA("REELHAWK_STANDIN_HOLD_FILE", nullptr);
        if (oleStarted_) {
            OleUninitialize();
        }
    }

    // The program's window over a start page of our own, as the program makes it at start-up.
    void Open(const std::string& startPage, bool waitForPage = true) {
        ASSERT_TRUE(web_.PutStartPage(startPage));
        SetEnvironmentVariableA("REELHAWK_STANDIN_WEBROOT", web_.Path().c_str());
        SetEnvironmentVariableA("REELHAWK_STANDIN_LOG", log_.c_str());
        SetEnvironmentVariableA("REELHAWK_SHELL_RECORD", record_.c_str());
        oleStarted_ = SUCCEEDED(OleInitialize(nullptr));
        g_pageAutomation = std::make_unique<PageAutomation>();
        const WindowTemplate* tpl = LoadWindowTemplate(&MainWindowTemplate());
        ASSERT_NE(tpl, nullptr);
        window_ = CreateTemplateWindow(*tpl);
        ASSERT_NE(window_, nullptr);
        ShowTemplateWindow(window_);
        list_ = ComponentWindowHandle(kMainWindowId, kResultListId);
        button_ = ComponentWindowHandle(kMainWindowId, kActionButtonId);
        if (waitForPage) {
            ASSERT_TRUE(PumpUntil([&] { return !LogLines("Loaded").empty(); }, 20000))
                << "the start page did not load";
        }
    }

    // Runs waiting messages through the program's own pump.
    static void PumpFor(DWORD ms) {
        const ULONGLONG end = GetTickCount64() + ms;
        do {
            MSG message;
            while (PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE) &&
                   message.message != WM_QUIT && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
                DispatchOneMessage(message);
            }
            Sleep(5);
        } while (GetTickCount64() < end);
    }

    static bool PumpUntil(const std::function<bool()>& condition, DWORD ms) {
        const ULONGLONG end = GetTickCount64() + ms;
        for (;;) {
            if (condition()) {
                return true;
            }
            if (GetTickCount64() >= end) {
                return false;
            }
            PumpFor(10);
        }
    }

    std::vector<std::string> LogLines(const std::string& word) const {
        std::vector<std::string> found;
        for (std::string& line : e2e::ReadLines(log_)) {
            if (line.rfind(word + " ", 0) == 0) {
                found.push_back(std::move(line));
            }
        }
        return found;
    }

    // A press of 按钮1 as the window machinery reports it.
    void PostPress() const {
        PostMessageA(window_, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button_), BN_CLICKED),
                     reinterpret_cast<LPARAM>(button_));
    }
    void PostDoubleClick() const {
        PostMessageA(window_, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(list_), LBN_DBLCLK),
                     reinterpret_cast<LPARAM>(list_));
    }
    void PostMouseMove(int index) const {
        RECT item{};
        SendMessageA(list_, LB_GETITEMRECT, static_cast<WPARAM>(index),
                     reinterpret_cast<LPARAM>(&item));
        PostMessageA(list_, WM_MOUSEMOVE, 0, MAKELPARAM(item.left + 10, item.top + 2));
    }

    void Harvest() {
        WriteWindowText(button_, kHarvestCaption);
        PostPress();
        ASSERT_TRUE(PumpUntil([&] { return ReadWindowText(button_) == kResolveCaption; }, 20000));
    }

    // Tooltip windows of this process apart from the action button's own.
    static std::vector<HWND> OtherTipWindows() {
        std::vector<HWND> tips = e2e::ProcessWindows(GetCurrentProcessId(), "Tooltips_class32");
        std::erase(tips, ButtonTipWindow());
        return tips;
    }

    std::vector<std::string> Items() const {
        std::vector<std::string> items;
        const int count = static_cast<int>(SendMessageA(list_, LB_GETCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) {
            const Text t = ListItemText(list_, i);
            items.emplace_back(t.data(), t.size());
        }
        return items;
    }

    // Puts a window with nothing below it first among the browser container's children, so that
    // the search for the document window passes a sibling and lets waiting events run.
    void MakeTheWindowWalkWait() const {
        HWND container = ComponentWindowHandle(kMainWindowId, kBrowserId);
        HWND decoy = CreateWindowExA(0, "STATIC", "", WS_CHILD, 0, 0, 1, 1, container, nullptr,
                                     GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(decoy, nullptr);
        SetWindowPos(decoy, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        ASSERT_EQ(FindWindowExA(container, nullptr, nullptr, nullptr), decoy);
    }

    e2e::WebRoot web_;
    e2e::TempFolder temp_{"reelhawk-handlers"};
    std::string log_ = temp_.File("standin.log");
    std::string record_ = temp_.File("shell.txt");
    bool oleStarted_ = false;
    HWND window_ = nullptr;
    HWND list_ = nullptr;
    HWND button_ = nullptr;
};

// Looks at the cursor when a message posted right after a press reaches it: that is during the
// press, in the window walk that lets waiting messages run.
class CursorProbe {
  public:
    explicit CursorProbe(HWND over, HWND button) : over_(over), button_(button) {
        WNDCLASSA wc{};
        wc.lpfnWndProc = &Proc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "ReelhawkCursorProbe";
        RegisterClassA(&wc);
        window_ = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  wc.hInstance, nullptr);
        SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~CursorProbe() { DestroyWindow(window_); }
    CursorProbe(const CursorProbe&) = delete;
    CursorProbe& operator=(const CursorProbe&) = delete;

    void Post() const { PostMessageA(window_, WM_APP, 0, 0); }

    bool looked = false;
    Text caption;                 // the button's, to show the press was still going on
    HCURSOR shown = nullptr;      // as the press left it, with no mouse move since
    HCURSOR afterMove = nullptr;  // once the window under the pointer has chosen again

  private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<CursorProbe*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (message != WM_APP || self == nullptr) {
            return DefWindowProcA(window, message, wParam, lParam);
        }
        self->looked = true;
        self->caption = ReadWindowText(self->button_);
        self->shown = GetCursor();
        SendMessageA(self->over_, WM_SETCURSOR, reinterpret_cast<WPARAM>(self->over_),
                     MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
        self->afterMove = GetCursor();
        return 0;
    }

    HWND over_;
    HWND button_;
    HWND window_ = nullptr;
};

std::string ThreeVideoLinks() {
    return Link("http://media.reelhawk.test/a.mp4", "a.mp4") +
           Link("http://media.reelhawk.test/b.flv", "b.flv") +
           Link("http://media.reelhawk.test/c.m3u8", "c.m3u8");
}

TEST_F(HandlerTest, ResolveWithAnEmptyAddressStillFillsAndClicksAndFlipsTheCaption) {
    Open(e2e::GbkPage(e2e::ResolverForm("resolve.html")));
    PostPress();
    ASSERT_TRUE(PumpUntil([&] { return ReadWindowText(button_) == kHarvestCaption; }, 10000));
    const auto values = LogLines("Value");
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].back(), ' ') << "not an empty value: " << values[0];
    EXPECT_EQ(LogLines("Click").size(), 1u);
    EXPECT_EQ(LogLines("Submit").size(), 1u);
}

TEST_F(HandlerTest, HarvestTakesEveryLinkOnceByItsPlaceOnThePage) {
    // Link 1's text is "2": looked up by the number 2, it would stand in for link 2, and two.mp4
    // would never be looked at. By its place, every link is looked at once.
    Open(e2e::GbkPage(Link("http://media.reelhawk.test/one.mp4", "2") +
                      Link("http://media.reelhawk.test/two.mp4", "two.mp4") +
                      Link("http://media.reelhawk.test/three.flv", "three.flv")));
    Harvest();
    EXPECT_EQ(Items(), (std::vector<std::string>{"http://media.reelhawk.test/two.mp4",
                                                 "http://media.reelhawk.test/three.flv"}));
}

TEST_F(HandlerTest, HarvestOfAPageWithoutLinksEmptiesTheList) {
    Open(e2e::GbkPage("<p>nothing here</p>"));
    ListAddItem(list_, "left over from before");
    Harvest();
    EXPECT_TRUE(Items().empty());
}

TEST_F(HandlerTest, APressDuringTheWindowWalkIsIgnored) {
    Open(e2e::GbkPage(e2e::ResolverForm("resolve.html")));
    MakeTheWindowWalkWait();
    // The second press is already waiting when the first one starts its walk.
    PostPress();
    PostPress();
    ASSERT_TRUE(PumpUntil([&] { return ReadWindowText(button_) == kHarvestCaption; }, 10000));
    PumpFor(300);
    EXPECT_EQ(LogLines("Value").size(), 1u);
    EXPECT_EQ(LogLines("Click").size(), 1u);
    EXPECT_EQ(ReadWindowText(button_), kHarvestCaption);

    // Once the job is over, a press is a press again.
    PostPress();
    EXPECT_TRUE(PumpUntil([&] { return ReadWindowText(button_) == kResolveCaption; }, 10000));
}

TEST_F(HandlerTest, APressDuringAHarvestWalkDoesNotStartAnotherJob) {
    Open(e2e::GbkPage(ThreeVideoLinks()));
    MakeTheWindowWalkWait();
    WriteWindowText(button_, kHarvestCaption);
    PostPress();
    PostPress();
    ASSERT_TRUE(PumpUntil([&] { return ReadWindowText(button_) == kResolveCaption; }, 10000));
    PumpFor(300);
    // A nested press would have harvested too, and the list would hold every address twice.
    EXPECT_EQ(Items().size(), 3u);
    EXPECT_TRUE(LogLines("Click").empty());
}

TEST_F(HandlerTest, TheWaitCursorShowsDuringAPressAndTheControlsOwnComesBack) {
    Open(e2e::GbkPage(ThreeVideoLinks()));
    HWND edit = ComponentWindowHandle(kMainWindowId, kAddressEditId);
    RECT box{};
    GetWindowRect(edit, &box);
    SetCursorPos((box.left + box.right) / 2, (box.top + box.bottom) / 2);
    ASSERT_TRUE(PumpUntil(
        [&] {
            POINT at{};
            return GetCursorPos(&at) && SameWindow(WindowFromPoint(at), edit);
        },
        5000))
        << "the pointer did not get over the address box";
    MakeTheWindowWalkWait();
    CursorProbe probe(edit, button_);
    WriteWindowText(button_, kHarvestCaption);
    PostPress();
    probe.Post();
    ASSERT_TRUE(PumpUntil([&] { return ReadWindowText(button_) == kResolveCaption; }, 10000));

    ASSERT_TRUE(probe.looked);
    ASSERT_EQ(probe.caption, kHarvestCaption) << "the probe looked after the press";
    const HCURSOR wait = LoadCursor(nullptr, IDC_WAIT);
    EXPECT_EQ(probe.shown, wait);
    EXPECT_EQ(probe.afterMove, wait);
    // The pointer has not moved: the address box's own I-beam is back all the same.
    EXPECT_EQ(GetCursor(), LoadCursor(nullptr, IDC_IBEAM));
    EXPECT_EQ(Items().size(), 3u);
}

// Closing the window while a job is in its window walk: the job stops there, the loop ends, and
// the end routine runs after the handler has returned.
class CloseDuringWalkTest : public HandlerTest {
  protected:
    static inline int endRuns = 0;
    static inline bool pageAliveAtEnd = false;
    static void EndRoutine() {
        ++endRuns;
        pageAliveAtEnd = g_pageAutomation != nullptr;
        g_pageAutomation.reset();
    }

    void CloseInTheMiddle(const char* caption) {
        // Holding the page's document already, as after an earlier press: a job that went on
        // after the close would still reach the page.
        ASSERT_TRUE(
            g_pageAutomation->AttachToBrowser(ComponentWindowHandle(kMainWindowId, kBrowserId)));
        MakeTheWindowWalkWait();
        WriteWindowText(button_, caption);
        endRuns = 0;
        RegisterEndRoutine(&EndRoutine);
        PostPress();
        // Esc, as the window machinery sees it: a key for the focused component.
        PostMessageA(ComponentWindowHandle(kMainWindowId, kAddressEditId), WM_KEYDOWN, VK_ESCAPE,
                     0);
        RunMessageLoop();
        EXPECT_FALSE(IsWindow(window_));
        // The job stopped early, and the wait cursor went with it.
        EXPECT_NE(GetCursor(), LoadCursor(nullptr, IDC_WAIT));
        EXPECT_EQ(endRuns, 0);
        RunEndRoutine();
        RunEndRoutine();
        EXPECT_EQ(endRuns, 1);
        EXPECT_TRUE(pageAliveAtEnd);
    }
};

TEST_F(CloseDuringWalkTest, ResolveStopsWithoutTouchingThePage) {
    Open(e2e::GbkPage(e2e::ResolverForm("resolve.html")));
    CloseInTheMiddle(kResolveCaption);
    EXPECT_TRUE(LogLines("Value").empty());
    EXPECT_TRUE(LogLines("Click").empty());
}

TEST_F(CloseDuringWalkTest, HarvestEndsCleanlyWhenTheWindowGoesMidWalk) {
    // Nothing of a harvest shows outside the window; what counts here is that the loop and the
    // end routine still run in order, with nothing touched that has gone.
    Open(e2e::GbkPage(ThreeVideoLinks() + e2e::ResolverForm("resolve.html")));
    CloseInTheMiddle(kHarvestCaption);
    EXPECT_TRUE(LogLines("Click").empty());
}

TEST_F(HandlerTest, DoubleClickWithNothingSelectedLeavesTheClipboardAndOpensNothing) {
    Open(e2e::GbkPage(ThreeVideoLinks()));
    Harvest();
    ASSERT_EQ(ListCurrentSelection(list_), -1);
    ASSERT_TRUE(e2e::PutClipboardText("before"));
    PostDoubleClick();
    PumpFor(100);
    EXPECT_EQ(e2e::ClipboardText(), std::optional<std::string>("before"));
    EXPECT_TRUE(e2e::ClipboardHoldsOtherProgramsData());

    // The recorder answers for a selected address, and only for it; the clipboard then holds
    // that address alone, in both forms, for the program's window.
    SendMessageA(list_, LB_SETCURSEL, 1, 0);
    PostDoubleClick();
    ASSERT_TRUE(PumpUntil([&] { return !e2e::ReadLines(record_).empty(); }, 10000));
    PumpFor(500);
    EXPECT_EQ(e2e::ReadLines(record_),
              std::vector<std::string>{"http://media.reelhawk.test/b.flv"});
    EXPECT_EQ(e2e::ClipboardText(), std::optional<std::string>("http://media.reelhawk.test/b.flv"));
    EXPECT_EQ(e2e::ClipboardUnicodeText(),
              std::optional<std::wstring>(L"http://media.reelhawk.test/b.flv"));
    EXPECT_FALSE(e2e::ClipboardHoldsOtherProgramsData());
    EXPECT_EQ(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(GetClipboardOwner())),
              static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(window_)));
}

TEST_F(HandlerTest, DoubleClickOnAnEmptyListLeavesTheClipboard) {
    Open(e2e::GbkPage("<p>no links</p>"));
    ASSERT_EQ(SendMessageA(list_, LB_GETCOUNT, 0, 0), 0);
    ASSERT_TRUE(e2e::PutClipboardText("copied from another program"));
    PostDoubleClick();
    PumpFor(100);
    Harvest();
    PostDoubleClick();
    PumpFor(100);
    EXPECT_EQ(e2e::ClipboardText(), std::optional<std::string>("copied from another program"));
    EXPECT_TRUE(e2e::ClipboardHoldsOtherProgramsData());
    EXPECT_TRUE(e2e::ReadLines(record_).empty());
}

TEST_F(HandlerTest, DoubleClickWhileAnotherProgramHoldsTheClipboardStillOpensTheAddress) {
    Open(e2e::GbkPage(ThreeVideoLinks()));
    Harvest();
    SendMessageA(list_, LB_SETCURSEL, 2, 0);

    const std::string tag = std::to_string(GetCurrentProcessId());
    const std::string heldName = "reelhawk-clipboard-held-" + tag;
    const std::string releaseName = "reelhawk-clipboard-release-" + tag;
    HANDLE held = CreateEventA(nullptr, TRUE, FALSE, heldName.c_str());
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, releaseName.c_str());
    e2e::ChildProcess holder;
    ASSERT_TRUE(holder.Start(e2e::ModuleFolder() + "reelhawk_clipboard_holder.exe",
                             heldName + " " + releaseName + " held-by-another-program", {}));
    ASSERT_EQ(WaitForSingleObject(held, 10000), WAIT_OBJECT_0);

    EXPECT_FALSE(SetClipboardText(window_, "not taken"));
    PostDoubleClick();
    PumpFor(100);
    SetEvent(release);
    EXPECT_EQ(holder.WaitForExit(10000), std::optional<DWORD>(0));
    CloseHandle(held);
    CloseHandle(release);

    EXPECT_EQ(e2e::ClipboardText(), std::optional<std::string>("held-by-another-program"));
    ASSERT_TRUE(PumpUntil([&] { return !e2e::ReadLines(record_).empty(); }, 10000));
    EXPECT_EQ(e2e::ReadLines(record_),
              std::vector<std::string>{"http://media.reelhawk.test/c.m3u8"});
}

TEST_F(HandlerTest, MouseMovesWithNothingSelectedMakeNoTooltip) {
    Open(e2e::GbkPage(ThreeVideoLinks()));
    Harvest();
    ASSERT_EQ(ListCurrentSelection(list_), -1);
    for (int i = 0; i < 20; ++i) {
        PostMouseMove(i % 3);
    }
    PumpFor(100);
    EXPECT_EQ(SharedTooltipWindow(), nullptr);
    EXPECT_TRUE(OtherTipWindows().empty());
}

TEST_F(HandlerTest, MouseMovesRegisterTheListOnceWithTheSelectedAddress) {
    Open(e2e::GbkPage(ThreeVideoLinks()));
    Harvest();
    const auto items = Items();
    ASSERT_EQ(items.size(), 3u);

    auto tipText = [&] {
        char text[1024] = {};
        TTTOOLINFOA tool{};
        tool.cbSize = sizeof tool;
        tool.uId = reinterpret_cast<UINT_PTR>(list_);
        tool.uFlags = TTF_IDISHWND;
        tool.lpszText = text;
        SendMessageA(SharedTooltipWindow(), TTM_GETTEXTA, sizeof text,
                     reinterpret_cast<LPARAM>(&tool));
        return std::string(text);
    };

    // Item 2 selected, the pointer over item 0: the tip names item 2.
    SendMessageA(list_, LB_SETCURSEL, 2, 0);
    PostMouseMove(0);
    PumpFor(50);
    HWND tooltip = SharedTooltipWindow();
    ASSERT_NE(tooltip, nullptr);
    EXPECT_EQ(GetWindowLongA(tooltip, GWL_STYLE) & (TTS_ALWAYSTIP | TTS_NOPREFIX | TTS_BALLOON),
              TTS_ALWAYSTIP | TTS_NOPREFIX);
    EXPECT_EQ(tipText(), items[2]);

    // However long the mouse moves, one tool, with the text of the latest selection.
    for (int round = 0; round < 300; ++round) {
        SendMessageA(list_, LB_SETCURSEL, round % 3, 0);
        PostMouseMove((round + 1) % 3);
        PumpFor(0);
    }
    SendMessageA(list_, LB_SETCURSEL, 1, 0);
    PostMouseMove(2);
    PumpFor(50);
    EXPECT_EQ(SharedTooltipWindow(), tooltip);
    EXPECT_EQ(SendMessageA(tooltip, TTM_GETTOOLCOUNT, 0, 0), 1);
    EXPECT_EQ(tipText(), items[1]);
    EXPECT_EQ(OtherTipWindows(), std::vector<HWND>{tooltip});
}

// The cursor the window gives a pointer resting on the list, asked for as the system asks.
HCURSOR CursorOverList(HWND list) {
    SendMessageA(list, WM_SETCURSOR, reinterpret_cast<WPARAM>(list),
                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    return GetCursor();
}

TEST_F(HandlerTest, WhileThePageLoadsTheCursorIsAppStartingAndTheTipSaysSo) {
    const std::string hold = temp_.File("hold");
    ASSERT_TRUE(e2e::WriteWholeFile(hold, "hold"));
    SetEnvironmentVariableA("REELHAWK_STANDIN_HOLD_FILE", hold.c_str());
    Open(e2e::GbkPage(ThreeVideoLinks()), /*waitForPage=*/false);
    ASSERT_TRUE(PumpUntil([&] { return !LogLines("Held").empty(); }, 20000));
    PumpFor(50);
    EXPECT_TRUE(BrowserComponentLoading(kMainWindowId, kBrowserId));
    EXPECT_EQ(CursorOverList(list_), LoadCursor(nullptr, IDC_APPSTARTING));
    EXPECT_EQ(ButtonTipText(), StatusTipText(PageStatus::Loading, std::nullopt));

    DeleteFileA(hold.c_str());
    ASSERT_TRUE(
        PumpUntil([&] { return !BrowserComponentLoading(kMainWindowId, kBrowserId); }, 20000));
    PumpFor(50);
    EXPECT_EQ(CursorOverList(list_), LoadCursor(nullptr, IDC_ARROW));
    EXPECT_EQ(ButtonTipText(), StatusTipText(PageStatus::ReadyToResolve, std::nullopt));

    // A press before anything loaded changes nothing of the two-press flow.
    Harvest();
    EXPECT_EQ(Items().size(), 3u);
    EXPECT_NE(ButtonTipText().find(L"3"), std::wstring::npos) << "the tip does not give the count";
}

TEST_F(HandlerTest, AHarvestThatFindsNothingSaysSoPlainly) {
    Open(e2e::GbkPage("<p>no links</p>"));
    Harvest();
    EXPECT_TRUE(Items().empty());
    EXPECT_EQ(ButtonTipText(), L"没有找到下载地址");
}

// Catches the list's context menu as it opens on this thread and closes it again, keeping which
// of its commands were enabled.
class MenuWatch {
  public:
    MenuWatch() {
        watch_ = this;
        hook_ = SetWindowsHookExW(WH_CALLWNDPROC, &Hook, nullptr, GetCurrentThreadId());
    }
    ~MenuWatch() {
        UnhookWindowsHookEx(hook_);
        watch_ = nullptr;
    }
    MenuWatch(const MenuWatch&) = delete;
    MenuWatch& operator=(const MenuWatch&) = delete;

    int opened = 0;
    std::vector<bool> enabled;  // copy, copy all, save, open

  private:
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
        const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (code == HC_ACTION && watch_ != nullptr) {
            if (sent->message == WM_INITMENUPOPUP) {
                auto menu = reinterpret_cast<HMENU>(sent->wParam);
                watch_->enabled.clear();
                for (ListCommand c : {ListCommand::Copy, ListCommand::CopyAll, ListCommand::Save,
                                      ListCommand::Open}) {
                    const UINT state = GetMenuState(menu, static_cast<UINT>(c), MF_BYCOMMAND);
                    watch_->enabled.push_back(state != static_cast<UINT>(-1) &&
                                              (state & (MF_GRAYED | MF_DISABLED)) == 0);
                }
                ++watch_->opened;
            } else if (sent->message == WM_ENTERIDLE && sent->wParam == MSGF_MENU) {
                EndMenu();
            }
        }
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }

    static inline MenuWatch* watch_ = nullptr;
    HHOOK hook_ = nullptr;
};

TEST_F(HandlerTest, ContextMenuGreysWhatCannotApply) {
    Open(e2e::GbkPage(ThreeVideoLinks()));
    MenuWatch watch;
    RECT list{};
    GetWindowRect(list_, &list);
    auto rightClick = [&](int x, int y) {
        // As the list passes the right button's request on to the window.
        PostMessageA(list_, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(list_), MAKELPARAM(x, y));
        const int before = watch.opened;
        return PumpUntil([&] { return watch.opened > before; }, 20000);
    };

    // Empty list: nothing applies.
    ASSERT_TRUE(rightClick(list.left + 20, list.top + 5)) << "no menu opened";
    EXPECT_EQ(watch.enabled, (std::vector<bool>{false, false, false, false}));

    // Items but none selected, from the menu key: the whole list applies, the selection not.
    Harvest();
    ASSERT_EQ(ListCurrentSelection(list_), -1);
    SetFocus(list_);
    PostMessageA(list_, WM_KEYDOWN, VK_APPS, 0);
    PostMessageA(list_, WM_KEYUP, VK_APPS, 0);
    const int before = watch.opened;
    ASSERT_TRUE(PumpUntil([&] { return watch.opened > before; }, 20000));
    PumpFor(50);
    EXPECT_EQ(watch.opened, before + 1) << "one key press, one menu";
    EXPECT_EQ(watch.enabled, (std::vector<bool>{false, true, true, false}));

    // A right click on an item selects it first: everything applies.
    RECT item{};
    SendMessageA(list_, LB_GETITEMRECT, 1, reinterpret_cast<LPARAM>(&item));
    ASSERT_TRUE(rightClick(list.left + item.left + 10, list.top + item.top + 4));
    EXPECT_EQ(ListCurrentSelection(list_), 1);
    EXPECT_EQ(watch.enabled, (std::vector<bool>{true, true, true, true}));
}

// Presses a key with Ctrl (and Shift) held, as real input.
void PressWithCtrl(WORD key, bool shift) {
    std::vector<INPUT> keys;
    auto add = [&](WORD vk, DWORD flags) {
        INPUT in{};
        in.type = INPUT_KEYBOARD;
        in.ki.wVk = vk;
        in.ki.wScan = static_cast<WORD>(MapVirtualKeyA(vk, MAPVK_VK_TO_VSC));
        in.ki.dwFlags = flags;
        keys.push_back(in);
    };
    add(VK_CONTROL, 0);
    if (shift) {
        add(VK_SHIFT, 0);
    }
    add(key, 0);
    add(key, KEYEVENTF_KEYUP);
    if (shift) {
        add(VK_SHIFT, KEYEVENTF_KEYUP);
    }
    add(VK_CONTROL, KEYEVENTF_KEYUP);
    SendInput(static_cast<UINT>(keys.size()), keys.data(), sizeof(INPUT));
}

TEST_F(HandlerTest, CtrlCCopiesTheSelectionAndCtrlShiftCTheWholeList) {
    Open(e2e::GbkPage(ThreeVideoLinks()));
    Harvest();
    const auto items = Items();
    ASSERT_EQ(items.size(), 3u);
    ASSERT_TRUE(e2e::BringToFront(window_));
    SetFocus(list_);

    // Nothing selected: Ctrl+C leaves the clipboard alone.
    DWORD before = e2e::ClipboardSequence();
    PressWithCtrl('C', false);
    PumpFor(200);
    EXPECT_EQ(e2e::ClipboardSequence(), before);

    SendMessageA(list_, LB_SETCURSEL, 2, 0);
    before = e2e::ClipboardSequence();
    PressWithCtrl('C', false);
    PumpUntil([&] { return e2e::ClipboardSequence() != before; }, 5000);
    EXPECT_EQ(e2e::ClipboardTextAfter(before, 0), std::optional<std::string>(items[2]));
    before = e2e::ClipboardSequence();
    PressWithCtrl('C', true);
    PumpUntil([&] { return e2e::ClipboardSequence() != before; }, 5000);
    EXPECT_EQ(e2e::ClipboardTextAfter(before, 0),
              std::optional<std::string>(items[0] + "\r\n" + items[1] + "\r\n" + items[2]));
    EXPECT_TRUE(e2e::ReadLines(record_).empty()) << "copying opened something";
}

TEST(WriteFileReplacing, ReplacesWholeOrLeavesTheOldFileAndNoLeftovers) {
    e2e::TempFolder folder("reelhawk-save");
    const std::wstring dir = [&] {
        std::wstring w(folder.Path().begin(), folder.Path().end());
        return w;
    }();
    auto filesIn = [](const std::wstring& folder) {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found{};
        HANDLE search = FindFirstFileW((L"\\\\?\\" + folder + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                    names.emplace_back(found.cFileName);
                }
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        return names;
    };
    auto files = [&] { return filesIn(dir); };
    const std::wstring target = dir + L"\\list.txt";
    ASSERT_EQ(WriteFileReplacing(target, "old\r\n"), 0u);
    ASSERT_EQ(WriteFileReplacing(target, "new one\r\nnew two\r\n"), 0u);
    EXPECT_EQ(e2e::ReadWholeFile(folder.File("list.txt")), "new one\r\nnew two\r\n");
    EXPECT_EQ(files(), std::vector<std::wstring>{L"list.txt"});

    // A target that cannot be replaced (a folder of that name), a path too long, a folder that
    // is not there: each fails with its reason, the old file stays, nothing is left behind.
    ASSERT_TRUE(CreateDirectoryW((dir + L"\\taken").c_str(), nullptr));
    EXPECT_NE(WriteFileReplacing(dir + L"\\taken", "x"), 0u);
    EXPECT_NE(WriteFileReplacing(dir + L"\\" + std::wstring(40000, L'a') + L".txt", "x"), 0u);
    EXPECT_EQ(WriteFileReplacing(dir + L"\\missing\\list.txt", "x"),
              static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(e2e::ReadWholeFile(folder.File("list.txt")), "new one\r\nnew two\r\n");
    EXPECT_EQ(files(), std::vector<std::wstring>{L"list.txt"});
    EXPECT_FALSE(ErrorDescription(ERROR_PATH_NOT_FOUND).empty());
    RemoveDirectoryW((dir + L"\\taken").c_str());

    // A folder so deep that the target's path has 259 characters, the most an ordinary path may
    // have: the temporary file's name is longer than the target's, so its path must take the form
    // without that limit. (Windows refuses an ordinary path that long; Wine takes it, so here that
    // is seen in the path itself.) The save goes through and leaves only the target.
    ASSERT_LT(dir.size(), 200u);
    std::wstring deep = dir;
    const std::wstring name = L"\\list.txt";
    while (259 - name.size() - deep.size() > 102) {
        deep += L"\\" + std::wstring(100, L'd');
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr));
    }
    deep += L"\\" + std::wstring(259 - name.size() - deep.size() - 1, L'e');
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr));
    const std::wstring deepTarget = deep + name;
    ASSERT_EQ(deepTarget.size(), 259u);
    const std::wstring temporary = TemporaryPathFor(deepTarget, 7);
    EXPECT_EQ(temporary.substr(0, 4 + deep.size() + 4), L"\\\\?\\" + deep + L"\\~rh")
        << "the temporary path is in the ordinary form, " << temporary.size() << " characters";
    EXPECT_TRUE(temporary.ends_with(L"-7.tmp"));
    EXPECT_GT(temporary.size() - 4, 259u);
    ASSERT_EQ(WriteFileReplacing(deepTarget, "deep one\r\n"), 0u);
    ASSERT_EQ(WriteFileReplacing(deepTarget, "deep two\r\n"), 0u);
    EXPECT_EQ(filesIn(deep), std::vector<std::wstring>{L"list.txt"});
    HANDLE saved = CreateFileW((L"\\\\?\\" + deepTarget).c_str(), GENERIC_READ, FILE_SHARE_READ,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(saved, INVALID_HANDLE_VALUE);
    char bytes[32] = {};
    DWORD got = 0;
    ReadFile(saved, bytes, sizeof bytes, &got, nullptr);
    CloseHandle(saved);
    EXPECT_EQ(std::string(bytes, got), "deep two\r\n");
    // Taken down here through the same form: the folder's own clean-up uses ordinary paths.
    DeleteFileW((L"\\\\?\\" + deepTarget).c_str());
    while (deep.size() > dir.size()) {
        RemoveDirectoryW((L"\\\\?\\" + deep).c_str());
        deep.resize(deep.find_last_of(L'\\'));
    }
}

}  // namespace
}  // namespace rh
