// Component events reaching the template's handlers, and Enter, Esc and Tab, through the real
// message pump with messages posted to the focused window.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "app/components.h"
#include "app/form.h"
#include "app/main_window_template.h"
#include "tests/app/instrumented.h"
#include "tests/app/test_support.h"
#include "runtime/window_handle.h"

namespace rh {
namespace {

using test::Recorded;
using test::TemplateCopy;
using test::TemplateWindow;

// How often a spied window received this key message.
int Received(const char* tag, UINT message, WPARAM key) {
    const std::string prefix =
        std::string(tag) + " " + std::to_string(message) + " " + std::to_string(key) + " ";
    int count = 0;
    for (const std::string& entry : Recorded::Log()) {
        count += entry.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return count;
}

// Posts a key press to a window the way the keyboard would deliver it, and lets it run.
void PressKey(HWND target, WPARAM key) {
    PostMessageA(target, WM_KEYDOWN, key, 1 | (MapVirtualKeyA(static_cast<UINT>(key), 0) << 16));
    test::Pump(30);
    PostMessageA(target, WM_KEYUP, key,
                 1 | (MapVirtualKeyA(static_cast<UINT>(key), 0) << 16) | 0xC0000000u);
    test::Pump(30);
}

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.rfind(prefix, 0) == 0;
}

// A window of a template shown in front, no key held down and nothing recorded yet.
class ShownWindowTest : public ::testing::Test {
  protected:
    static void ShowInFront(HWND window) {
        Recorded::Log().clear();
        test::ReleaseAllKeys();
        ASSERT_NE(window, nullptr);
        ShowTemplateWindow(window);
        SetForegroundWindow(window);
        test::Pump(50);
        Recorded::Log().clear();
    }
    void TearDown() override { test::ReleaseAllKeys(); }
};

class EventsTest : public ShownWindowTest {
  protected:
    void SetUp() override { ShowInFront(window_.Window()); }

    HWND Edit() const { return window_.Component(kAddressEditId); }
    HWND Button() const { return window_.Component(kActionButtonId); }
    HWND List() const { return window_.Component(kResultListId); }

    TemplateCopy copy_{MainWindowTemplate()};
    TemplateWindow window_{copy_.Template()};
};

TEST_F(EventsTest, ClickingTheButtonRaisesItsEvent) {
    SendMessageA(Button(), BM_CLICK, 0, 0);
    test::Pump();
    EXPECT_EQ(Recorded::Log(), std::vector<std::string>{"button"});
}

TEST_F(EventsTest, EnterInTheAddressBoxPressesTheButtonAndIsConsumed) {
    SetFocus(Edit());
    ASSERT_EQ(rh::WindowHandleValue(GetFocus()), rh::WindowHandleValue(Edit()));
    SendMessageA(Edit(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("http://v.example/1"));
    test::MessageSpy spy(Edit(), "edit", {WM_KEYDOWN, WM_CHAR, WM_KEYUP});
    PressKey(Edit(), VK_RETURN);
    EXPECT_EQ(Recorded::Count("button"), 1);
    EXPECT_EQ(Received("edit", WM_KEYUP, VK_RETURN), 1) << "the spy sees what does arrive";
    EXPECT_EQ(Received("edit", WM_KEYDOWN, VK_RETURN), 0) << "the key was consumed";
    EXPECT_EQ(Received("edit", WM_CHAR, '\r'), 0);
    EXPECT_EQ(ReadWindowText(Edit()), "http://v.example/1");
    EXPECT_EQ(rh::WindowHandleValue(GetFocus()), rh::WindowHandleValue(Edit()));
}

TEST_F(EventsTest, EnterWithTheListFocusedStillPressesTheButton) {
    // The list box's LBS_NOTIFY is the same bit as BS_DEFPUSHBUTTON, and the list is made first.
    SetFocus(List());
    PressKey(List(), VK_RETURN);
    EXPECT_EQ(Recorded::Log(), std::vector<std::string>{"button"});
}

TEST_F(EventsTest, EnterWithTheButtonDisabledGoesToTheFocusedBox) {
    EnableWindow(Button(), FALSE);
    SetFocus(Edit());
    test::MessageSpy spy(Edit(), "edit", {WM_KEYDOWN});
    PressKey(Edit(), VK_RETURN);
    EXPECT_EQ(Recorded::Count("button"), 0);
    EXPECT_EQ(Received("edit", WM_KEYDOWN, VK_RETURN), 1);
}

TEST_F(EventsTest, EscapeClosesTheWindowAndEndsTheLoop) {
    SetFocus(Edit());
    HWND window = window_.Window();
    PostMessageA(Edit(), WM_KEYDOWN, VK_ESCAPE, 1);
    EXPECT_TRUE(test::PumpUntil([&] { return !IsWindow(window); }, 2000));
    EXPECT_TRUE(test::TakeQuitMessage()) << "the last window posts the quit message";
    EXPECT_EQ(ComponentWindowHandle(kMainWindowId, kAddressEditId), nullptr);
}

TEST_F(EventsTest, TabCyclesAddressButtonList) {
    SetFocus(Edit());
    const HWND cycle[] = {Button(), List(), Edit(), Button()};
    for (HWND next : cycle) {
        test::MessageSpy spy(GetFocus(), "focused", {WM_KEYDOWN, WM_KEYUP});
        PressKey(GetFocus(), VK_TAB);
        EXPECT_EQ(rh::WindowHandleValue(GetFocus()), rh::WindowHandleValue(next))
            << test::ClassOf(GetFocus());
    }
    EXPECT_EQ(Received("focused", WM_KEYDOWN, VK_TAB), 0) << "consumed";
    EXPECT_EQ(Received("focused", WM_KEYUP, VK_TAB), 4);
    EXPECT_EQ(Recorded::Count("button"), 0);
}

TEST_F(EventsTest, ShiftTabCyclesBackwards) {
    SetFocus(Edit());
    test::SetKeysDown({VK_SHIFT});
    const HWND cycle[] = {List(), Button(), Edit(), List()};
    for (HWND next : cycle) {
        PressKey(GetFocus(), VK_TAB);
        EXPECT_EQ(rh::WindowHandleValue(GetFocus()), rh::WindowHandleValue(next))
            << test::ClassOf(GetFocus());
    }
}

TEST_F(EventsTest, TabDoesNothingWhenNoComponentHasTheFocus) {
    SetFocus(window_.Window());
    ASSERT_EQ(rh::WindowHandleValue(GetFocus()), rh::WindowHandleValue(window_.Window()));
    PressKey(window_.Window(), VK_TAB);
    EXPECT_EQ(rh::WindowHandleValue(GetFocus()), rh::WindowHandleValue(window_.Window()));
}

TEST_F(EventsTest, DoubleClickOnAListItemRaisesItsEvent) {
    ASSERT_EQ(ListAddItem(List(), "a.flv"), 0);
    ASSERT_EQ(ListAddItem(List(), "b.mp4"), 1);
    RECT item{};
    SendMessageA(List(), LB_GETITEMRECT, 1, reinterpret_cast<LPARAM>(&item));
    const LPARAM at = MAKELPARAM(item.left + 5, (item.top + item.bottom) / 2);
    PostMessageA(List(), WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageA(List(), WM_LBUTTONUP, 0, at);
    PostMessageA(List(), WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    PostMessageA(List(), WM_LBUTTONUP, 0, at);
    test::Pump(100);
    EXPECT_EQ(Recorded::Count("list-double"), 1);
    EXPECT_EQ(ListCurrentSelection(List()), 1);
    EXPECT_EQ(Recorded::Count("button"), 0);
}

TEST_F(EventsTest, EveryMouseMoveOverTheListReachesHandlerThenList) {
    test::MessageSpy spy(List(), "list", {WM_MOUSEMOVE});
    test::SetKeysDown({VK_CONTROL, VK_MENU});
    // x beyond 32767: the coordinates are the unsigned halves of lParam.
    PostMessageA(List(), WM_MOUSEMOVE, 0, MAKELPARAM(40000, 17));
    test::Pump(30);
    test::SetKeysDown({VK_SHIFT});
    PostMessageA(List(), WM_MOUSEMOVE, 0, MAKELPARAM(3, 4));
    test::Pump(30);
    test::ReleaseAllKeys();
    PostMessageA(List(), WM_MOUSEMOVE, 0, MAKELPARAM(3, 4));
    test::Pump(30);
    // Moves over other components raise nothing.
    PostMessageA(Button(), WM_MOUSEMOVE, 0, MAKELPARAM(3, 4));
    test::Pump(30);
    std::vector<std::string> seen;
    for (const std::string& entry : Recorded::Log()) {
        if (StartsWith(entry, "mouse") || StartsWith(entry, "list")) {
            seen.push_back(entry);
        }
    }
    const std::string move = std::to_string(WM_MOUSEMOVE);
    const std::vector<std::string> expected = {
        "mouse 40000 17 5", "list " + move + " 0 " + std::to_string(MAKELPARAM(40000, 17)),
        "mouse 3 4 2",      "list " + move + " 0 " + std::to_string(MAKELPARAM(3, 4)),
        "mouse 3 4 0",      "list " + move + " 0 " + std::to_string(MAKELPARAM(3, 4)),
    };
    EXPECT_EQ(seen, expected);
}

TEST_F(EventsTest, ListOperations) {
    HWND list = List();
    EXPECT_EQ(ListCurrentSelection(list), -1);
    EXPECT_EQ(ListAddItem(list, "http://v.example/跳转.flv"), 0);
    EXPECT_EQ(ListAddItem(list, "b"), 1);
    EXPECT_EQ(ListAddItem(list, "a"), 2) << "not sorted: new items go to the end";
    EXPECT_EQ(ListItemText(list, 0), "http://v.example/跳转.flv");
    wchar_t shown[64] = {};
    SendMessageW(list, LB_GETTEXT, 0, reinterpret_cast<LPARAM>(shown));
    EXPECT_STREQ(shown, L"http://v.example/\u8df3\u8f6c.flv") << "the list holds the characters";
    EXPECT_EQ(ListItemText(list, 2), "a");
    EXPECT_EQ(ListItemText(list, 3), "");
    EXPECT_EQ(ListItemText(list, -1), "");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(SendMessageA(list, LB_GETITEMDATA, i, 0), 0);
    }
    SendMessageA(list, LB_SETCURSEL, 1, 0);
    EXPECT_EQ(ListCurrentSelection(list), 1);
    ListClear(list);
    EXPECT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 0);
    EXPECT_EQ(ListCurrentSelection(list), -1);
    EXPECT_EQ(ListItemText(list, 0), "");
    EXPECT_EQ(ListAddItem(nullptr, "x"), -1) << "no control, no item";
}

TEST_F(EventsTest, TextsOfTheBoxAndTheButton) {
    EXPECT_EQ(ReadWindowText(Edit()), "");
    // In UTF-16 in and out, so that the check holds whatever the system's code page is.
    SendMessageW(Edit(), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(L"\u4f18\u9177 http://v.example/x"));
    EXPECT_EQ(ReadWindowText(Edit()), "优酷 http://v.example/x");
    EXPECT_EQ(ReadWindowText(Button()), "跳转");
    WriteWindowText(Button(), "获取下载链接");
    EXPECT_EQ(ReadWindowText(Button()), "获取下载链接");
    wchar_t caption[16] = {};
    GetWindowTextW(Button(), caption, 16);
    EXPECT_STREQ(caption, L"\u83b7\u53d6\u4e0b\u8f7d\u94fe\u63a5");
    EXPECT_EQ(test::TextOf(Button()), "获取下载链接");
}

// Templates of our own for the rules that this window's layout does not exercise.

constexpr std::uint32_t kWindow = 0x52010077;
constexpr std::uint32_t kFirst = 0x16010101, kSecond = 0x16010102, kThird = 0x16010103;
constexpr std::uint32_t kHidden = 0x16010104, kDisabled = 0x16010105, kNoStop = 0x16010106;
constexpr std::uint32_t kStop = kComponentVisible | kComponentFocusStop;

constexpr EventBinding kFirstButtonEvents[] = {{0, &test::RecordButton}};
constexpr EventBinding kSecondButtonEvents[] = {{0, &test::RecordSecondButton}};

constexpr ComponentRecord kRuleComponents[] = {
    {kFirst,
     "按钮1",
     ComponentType::Button,
     10,
     10,
     80,
     24,
     kStop,
     2,
     {},
     kFirstButtonEvents,
     ButtonProperties{"one", true}},
    {kSecond,
     "按钮2",
     ComponentType::Button,
     100,
     10,
     80,
     24,
     kStop,
     1,
     {},
     kSecondButtonEvents,
     ButtonProperties{"two", true}},
    {kThird,
     "编辑框1",
     ComponentType::EditBox,
     10,
     40,
     200,
     60,
     kStop,
     1,
     {},
     {},
     EditBoxProperties{"", true, /*multiLine=*/true}},
    {kHidden,
     "编辑框2",
     ComponentType::EditBox,
     10,
     110,
     80,
     24,
     kComponentFocusStop,
     0,
     {},
     {},
     EditBoxProperties{}},
    {kDisabled,
     "编辑框3",
     ComponentType::EditBox,
     100,
     110,
     80,
     24,
     kStop | kComponentDisabled,
     0,
     {},
     {},
     EditBoxProperties{}},
    {kNoStop,
     "编辑框4",
     ComponentType::EditBox,
     190,
     110,
     80,
     24,
     kComponentVisible,
     0,
     {},
     {},
     EditBoxProperties{}},
};

constexpr WindowTemplate kRules = {
    kWindowTemplateFormat,
    {kWindow, "窗口", "rules", 0, 0, 300, 200, false, true, true, true, true, false, 0xFFFFFF, 0},
    kRuleComponents,
};

class RulesTest : public ShownWindowTest {
  protected:
    void SetUp() override { ShowInFront(window_.Window()); }
    HWND Get(std::uint32_t id) const { return window_.Component(id); }

    TemplateWindow window_{kRules};
};

TEST_F(RulesTest, TabOrderNumbersFirstThenReverseCreationOrder) {
    // Tab-order 1: the edit box (made third) before the second button; then the first button.
    // The hidden, the disabled and the one that is no focus stop are passed over.
    SetFocus(Get(kThird));
    const HWND forward[] = {Get(kSecond), Get(kFirst), Get(kThird)};
    for (HWND next : forward) {
        PressKey(GetFocus(), VK_TAB);
        EXPECT_EQ(rh::WindowHandleValue(GetFocus()), rh::WindowHandleValue(next));
    }
    test::SetKeysDown({VK_SHIFT});
    const HWND backward[] = {Get(kFirst), Get(kSecond), Get(kThird)};
    for (HWND next : backward) {
        PressKey(GetFocus(), VK_TAB);
        EXPECT_EQ(rh::WindowHandleValue(GetFocus()), rh::WindowHandleValue(next));
    }
    test::ReleaseAllKeys();
    // From a component that takes no part, on to the next one in the order that does.
    SetFocus(Get(kNoStop));
    PressKey(GetFocus(), VK_TAB);
    EXPECT_EQ(rh::WindowHandleValue(GetFocus()), rh::WindowHandleValue(Get(kThird)));
}

TEST_F(RulesTest, AFocusedDefaultButtonPressesItself) {
    SetFocus(Get(kSecond));
    PressKey(Get(kSecond), VK_RETURN);
    EXPECT_EQ(Recorded::Log(), std::vector<std::string>{"second-button"});
    Recorded::Log().clear();
    SetFocus(Get(kNoStop));
    PressKey(Get(kNoStop), VK_RETURN);
    EXPECT_EQ(Recorded::Log(), std::vector<std::string>{"button"}) << "the first in creation order";
    Recorded::Log().clear();
    EnableWindow(Get(kFirst), FALSE);
    PressKey(Get(kNoStop), VK_RETURN);
    EXPECT_EQ(Recorded::Log(), std::vector<std::string>{"second-button"}) << "enabled ones only";
}

TEST_F(RulesTest, AMultiLineBoxKeepsEnterForItself) {
    SetFocus(Get(kThird));
    SendMessageA(Get(kThird), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("ab"));
    SendMessageA(Get(kThird), EM_SETSEL, 2, 2);
    PressKey(Get(kThird), VK_RETURN);
    EXPECT_TRUE(Recorded::Log().empty());
    EXPECT_EQ(ReadWindowText(Get(kThird)), "ab\r\n");
}

TEST_F(RulesTest, EscapeClosesThisWindowToo) {
    HWND window = window_.Window();
    SetFocus(Get(kThird));
    PostMessageA(Get(kThird), WM_KEYDOWN, VK_ESCAPE, 1);
    EXPECT_TRUE(test::PumpUntil([&] { return !IsWindow(window); }, 2000));
    EXPECT_TRUE(test::TakeQuitMessage());
}

TEST(EnterMovesFocus, WhenTheWindowAsksForItEnterActsAsTab) {
    TemplateCopy copy(kRules, false);
    copy.Edit().window.enterMovesFocus = true;
    TemplateWindow window(copy.Template());
    ASSERT_NE(window.Window(), nullptr);
    ShowTemplateWindow(window.Window());
    Recorded::Log().clear();
    SetFocus(window.Component(kSecond));
    PressKey(window.Component(kSecond), VK_RETURN);
    EXPECT_EQ(rh::WindowHandleValue(GetFocus()), rh::WindowHandleValue(window.Component(kFirst)));
    EXPECT_TRUE(Recorded::Log().empty()) << "no button was pressed";
}

TEST(ListEvents, SelectionChangeAndDoubleClickEachReachTheirOwnBinding) {
    TemplateCopy copy(MainWindowTemplate());
    copy.SetEvents(kResultListId, {{kEventListSelectionChanged, &test::RecordListSelection},
                                   {kEventListDoubleClicked, &test::RecordListDoubleClick}});
    TemplateWindow window(copy.Template());
    ASSERT_NE(window.Window(), nullptr);
    ShowTemplateWindow(window.Window());
    HWND list = window.Component(kResultListId);
    ListAddItem(list, "a.flv");
    test::Pump(30);
    Recorded::Log().clear();
    RECT item{};
    SendMessageA(list, LB_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&item));
    const LPARAM at = MAKELPARAM(item.left + 5, (item.top + item.bottom) / 2);
    PostMessageA(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageA(list, WM_LBUTTONUP, 0, at);
    test::Pump(50);
    EXPECT_EQ(Recorded::Log(), std::vector<std::string>{"list-selection"});
    PostMessageA(list, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    PostMessageA(list, WM_LBUTTONUP, 0, at);
    test::Pump(50);
    EXPECT_EQ(Recorded::Count("list-double"), 1);
}

TEST(MouseEvents, ButtonsAndMovesReachTheirBindings) {
    TemplateCopy copy(MainWindowTemplate());
    copy.SetEvents(kAddressLabelId, {{kEventLeftButtonDown, &test::RecordMouse},
                                     {kEventRightButtonUp, &test::RecordMouse}});
    TemplateWindow window(copy.Template());
    ASSERT_NE(window.Window(), nullptr);
    ShowTemplateWindow(window.Window());
    test::Pump(30);
    Recorded::Log().clear();
    HWND label = window.Component(kAddressLabelId);
    PostMessageA(label, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(1, 2));
    PostMessageA(label, WM_LBUTTONUP, 0, MAKELPARAM(1, 2));
    PostMessageA(label, WM_RBUTTONUP, 0, MAKELPARAM(5, 6));
    PostMessageA(label, WM_MOUSEMOVE, 0, MAKELPARAM(7, 8));  // not bound on the label
    test::Pump(50);
    EXPECT_EQ(Recorded::Log(), (std::vector<std::string>{"mouse 1 2 0", "mouse 5 6 0"}));
}

}  // namespace
}  // namespace rh
