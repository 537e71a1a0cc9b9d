// The clipboard, the shell and the tooltip, for real: the system clipboard, ShellExecuteA with the
// test prefix's recorder registered for web addresses, and the common controls' tooltip window.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "app/shell_services.h"
#include "e2e_support.h"

namespace rh {
namespace {

TEST(WebAddressPartTest, AcceptsHttpAndHttpsInAnyCaseAfterSpacesAndControlCharacters) {
    const std::pair<const char*, const char*> accepted[] = {
        {"http://media.example/v.mp4", "http://media.example/v.mp4"},
        {"HTTPS://media.example/v.mp4", "HTTPS://media.example/v.mp4"},
        {"hTtP:media", "hTtP:media"},
        {"   http://a", "http://a"},
        {"\t\r\n\x01\x1f https://a", "https://a"},
        {"https://视频.example/第一集.flv", "https://视频.example/第一集.flv"},
    };
    for (const auto& [text, part] : accepted) {
        EXPECT_EQ(WebAddressPart(text), TextView(part)) << text;
    }
}

TEST(WebAddressPartTest, RefusesEverythingElse) {
    const char* refused[] = {
        "",
        "   ",
        "C:\\windows\\system32\\calc.exe",
        "\\\\server\\share\\run.exe",
        "file:///C:/windows/system32/calc.exe",
        "javascript:alert(1)",
        "ftp://media.example/v.mp4",
        "httpx://media.example/v.mp4",
        "http-x:run",
        "http//media.example/v.mp4",
        "http",
        "ht\ttp://split.example",
        "\x7fhttp://a",
        "视频http://a",
        "mailto:someone@example",
        "shell:startup",
    };
    for (const char* text : refused) {
        EXPECT_TRUE(WebAddressPart(text).empty()) << text;
    }
    // A zero byte ends the text, as it does for the system's own strings.
    EXPECT_TRUE(WebAddressPart(TextView("\0http://a", 9)).empty());
}

TEST(ClipboardTest, HoldsTheTextByteForByteAsPlainText) {
    const Text gbk = MakeText("http://media.example/视频；第一集.mp4");
    ASSERT_TRUE(SetClipboardText(gbk));
    EXPECT_EQ(e2e::ClipboardText(),
              std::optional<std::string>(std::string(gbk.data(), gbk.size())));

    // Empty text leaves the clipboard holding empty text, not nothing.
    ASSERT_TRUE(SetClipboardText(""));
    EXPECT_EQ(e2e::ClipboardText(), std::optional<std::string>(""));

    // What follows a zero byte is not part of the text.
    ASSERT_TRUE(SetClipboardText(TextView("before\0after", 12)));
    EXPECT_EQ(e2e::ClipboardText(), std::optional<std::string>("before"));
}

class ShellTest : public ::testing::Test {
  protected:
    void SetUp() override { SetEnvironmentVariableA("REELHAWK_SHELL_RECORD", record_.c_str()); }
    std::vector<std::string> Requests() const { return e2e::ReadLines(record_); }

    e2e::TempFolder temp_{"reelhawk-shell"};
    std::string record_ = temp_.File("shell.txt");
};

TEST_F(ShellTest, OpensWebAddressesOnlyAndWithoutTheSpacesBeforeThem) {
    const std::string recorder = e2e::ModuleFolder() + "reelhawk_shell_recorder.exe";
    EXPECT_FALSE(OpenWithShell(recorder));
    EXPECT_FALSE(OpenWithShell("file:///" + recorder));
    EXPECT_FALSE(OpenWithShell(""));
    // Longer than any browser takes.
    EXPECT_FALSE(OpenWithShell("http://media.example/" + std::string(2083, 'v')));
    // With a window titled as the shell's owner expects, the request goes the same way.
    HWND owner = CreateWindowExA(0, "STATIC", "Microsoft Internet Explorer", WS_POPUP, 0, 0, 10, 10,
                                 nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(owner, nullptr);
    EXPECT_TRUE(OpenWithShell("  \x01HTTP://media.example/v.mp4?a=1&b=2"));
    ASSERT_TRUE(e2e::WaitUntil([&] { return !Requests().empty(); }, 10000));
    DestroyWindow(owner);
    EXPECT_TRUE(OpenWithShell("https://media.example/视频.flv"));
    ASSERT_TRUE(e2e::WaitUntil([&] { return Requests().size() >= 2; }, 10000));
    Sleep(500);
    EXPECT_EQ(Requests(), (std::vector<std::string>{"HTTP://media.example/v.mp4?a=1&b=2",
                                                    "https://media.example/视频.flv"}));
}

class TooltipTest : public ::testing::Test {
  protected:
    void SetUp() override {
        list_ = CreateWindowExA(0, "LISTBOX", "", WS_POPUP | WS_VISIBLE | LBS_NOTIFY, 10, 10, 200,
                                100, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(list_, nullptr);
    }
    void TearDown() override { DestroyWindow(list_); }

    static std::string ToolText(HWND window) {
        char text[1024] = {};
        TTTOOLINFOA tool{};
        tool.cbSize = sizeof tool;
        tool.uFlags = TTF_IDISHWND;
        tool.uId = reinterpret_cast<UINT_PTR>(window);
        tool.lpszText = text;
        SendMessageA(SharedTooltipWindow(), TTM_GETTEXTA, sizeof text,
                     reinterpret_cast<LPARAM>(&tool));
        return text;
    }
    static UINT ToolFlags(HWND window) {
        TTTOOLINFOA tool{};
        tool.cbSize = sizeof tool;
        tool.uFlags = TTF_IDISHWND;
        tool.uId = reinterpret_cast<UINT_PTR>(window);
        return SendMessageA(SharedTooltipWindow(), TTM_GETTOOLINFOA, 0,
                            reinterpret_cast<LPARAM>(&tool))
                   ? tool.uFlags
                   : 0;
    }

    HWND list_ = nullptr;
};

TEST_F(TooltipTest, NothingHappensForNoWindow) {
    EXPECT_EQ(SetWindowTooltip(nullptr, "text", false, false), 0);
    EXPECT_EQ(SharedTooltipWindow(), nullptr);
    EXPECT_TRUE(e2e::ProcessWindows(GetCurrentProcessId(), "Tooltips_class32").empty());
}

TEST_F(TooltipTest, FirstCallMakesOneTooltipWindowThatLaterCallsKeep) {
    ASSERT_EQ(SharedTooltipWindow(), nullptr);
    SetWindowTooltip(list_, "first", false, false);
    HWND tooltip = SharedTooltipWindow();
    ASSERT_NE(tooltip, nullptr);
    EXPECT_EQ(GetWindowLongA(tooltip, GWL_STYLE) & (TTS_ALWAYSTIP | TTS_NOPREFIX | TTS_BALLOON),
              TTS_ALWAYSTIP | TTS_NOPREFIX);
    EXPECT_EQ(ToolFlags(list_), static_cast<UINT>(TTF_IDISHWND | TTF_SUBCLASS));
    EXPECT_EQ(ToolText(list_), "first");
    // The tip is never broken to fit: the maximum width is wider than any screen.
    EXPECT_GT(SendMessageA(tooltip, TTM_GETMAXTIPWIDTH, 0, 0),
              GetSystemMetrics(SM_CXVIRTUALSCREEN));

    // A later call asking for a balloon does not change the window made first.
    const LRESULT previousWidth = SetWindowTooltip(list_, "second", true, false);
    EXPECT_EQ(previousWidth, SendMessageA(tooltip, TTM_GETMAXTIPWIDTH, 0, 0));
    EXPECT_EQ(SharedTooltipWindow(), tooltip);
    EXPECT_EQ(GetWindowLongA(tooltip, GWL_STYLE) & TTS_BALLOON, 0);
    EXPECT_EQ(ToolText(list_), "second");
    EXPECT_EQ(e2e::ProcessWindows(GetCurrentProcessId(), "Tooltips_class32").size(), 1u);
}

TEST_F(TooltipTest, BalloonAndCentredAsAskedTheFirstTime) {
    ASSERT_EQ(SharedTooltipWindow(), nullptr) << "needs a process of its own, as ctest gives it";
    SetWindowTooltip(list_, "tip", true, true);
    ASSERT_NE(SharedTooltipWindow(), nullptr);
    EXPECT_NE(GetWindowLongA(SharedTooltipWindow(), GWL_STYLE) & TTS_BALLOON, 0);
    EXPECT_EQ(ToolFlags(list_), static_cast<UINT>(TTF_IDISHWND | TTF_CENTERTIP | TTF_SUBCLASS));
}

TEST_F(TooltipTest, OneToolPerWindowHoweverOftenItsTextChanges) {
    HWND other = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(other, nullptr);
    for (int i = 0; i < 2000; ++i) {
        SetWindowTooltip(list_, "address " + std::to_string(i), false, false);
        SetWindowTooltip(other, "other", false, false);
    }
    HWND tooltip = SharedTooltipWindow();
    EXPECT_EQ(SendMessageA(tooltip, TTM_GETTOOLCOUNT, 0, 0), 2);
    EXPECT_EQ(ToolText(list_), "address 1999");
    EXPECT_EQ(ToolText(other), "other");

    // A window that has gone gives its place up; a new one gets its own tool.
    DestroyWindow(other);
    HWND third = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
    SetWindowTooltip(third, "third", false, false);
    EXPECT_EQ(SendMessageA(tooltip, TTM_GETTOOLCOUNT, 0, 0), 2);
    EXPECT_EQ(ToolText(third), "third");
    DestroyWindow(third);
}

}  // namespace
}  // namespace rh
