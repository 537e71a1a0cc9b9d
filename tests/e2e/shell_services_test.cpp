// The clipboard, the shell and the tooltip, for real: the system clipboard, ShellExecuteA with the
// test prefix's recorder registered for web addresses, and the common controls' tooltip window.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <string_view>

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
        // Schemes that are only the start of http or https.
        "h:\\tool.exe",
        "ht:x",
        "htt:x",
        "http",
        "https",
        "htt",
        ":x",
        ":http://a",
    };
    for (const char* text : refused) {
        EXPECT_TRUE(WebAddressPart(text).empty()) << text;
    }
    // A zero byte ends the text, as it does for the system's own strings.
    EXPECT_TRUE(WebAddressPart(TextView("\0http://a", 9)).empty());
}

TEST(ShellAddressTest, EncodesWhatCannotStandInAnAddressAndDropsLineBreaks) {
    const std::pair<const char*, const wchar_t*> cases[] = {
        // Nothing to encode: handed on unchanged, percent signs and double-byte text included.
        {"http://media.example/v.mp4?a=1&b=2#t", L"http://media.example/v.mp4?a=1&b=2#t"},
        {"https://视频.example/第一集.flv?q=%41", L"https://视频.example/第一集.flv?q=%41"},
        // The carving rule's own result for a link with a target after its address.
        {"http://cdn.example.test/hd.mp4\" target", L"http://cdn.example.test/hd.mp4%22%20target"},
        {"http://a/ \"<>\\^`{|}", L"http://a/%20%22%3C%3E/%5E%60%7B%7C%7D"},
        {"http://a/?q= \"<>\\^`{|}", L"http://a/?q=%20%22%3C%3E%5C%5E%60%7B%7C%7D"},
        // A backslash is a slash to a browser before the query and fragment, the host's end
        // included; after them it is a character of its own.
        {"http://media.test\\v\\a.mp4", L"http://media.test/v/a.mp4"},
        {"HTTPS:\\\\media.test\\v.flv?p=a\\b#c\\d", L"HTTPS://media.test/v.flv?p=a%5Cb#c%5Cd"},
        {"http://a/v.mp4#t\\1?x\\2", L"http://a/v.mp4#t%5C1?x%5C2"},
        {"http://a/\x01\x1f\x7f.mp4", L"http://a/%01%1F%7F.mp4"},
        // Tab, CR and LF are dropped wherever they stand, as are the spaces at either end.
        {"http://a/v.mp4\r\ncalc.exe", L"http://a/v.mp4calc.exe"},
        {"\r\nhttp:\t//a/\nb\r.mp4 \t\r\n ", L"http://a/b.mp4"},
        // A double-byte character whose second byte is a backslash or a bar stays whole.
        {"http://a/乗亅.mp4", L"http://a/乗亅.mp4"},
    };
    for (const auto& [text, expected] : cases) {
        const WideText address = ShellAddress(text);
        EXPECT_EQ(std::wstring_view(address), std::wstring_view(expected)) << text;
    }
    EXPECT_TRUE(ShellAddress("C:\\windows\\notepad.exe \"http://a\"").empty());
    EXPECT_TRUE(ShellAddress("htt\r\np://a").empty());
}

TEST(ShellAddressTest, TheLengthLimitCountsTheAddressAsTheShellGetsIt) {
    const std::string base = "http://media.example/";
    EXPECT_EQ(ShellAddress(base + std::string(2083 - base.size(), 'v')).size(), 2083u);
    EXPECT_TRUE(ShellAddress(base + std::string(2084 - base.size(), 'v')).empty());
    // 2,000 bytes as listed, 2,084 characters once the spaces are encoded.
    const std::string spaced = base + std::string(42, ' ') + std::string(1937, 'v');
    ASSERT_EQ(spaced.size(), 2000u);
    EXPECT_TRUE(ShellAddress(spaced).empty());
    // Line breaks do not count: they are not handed on.
    EXPECT_EQ(ShellAddress(base + std::string(3000, '\n') + "v.mp4").size(), base.size() + 5);
}

TEST(AddressToHandOnTest, DropsTabsAndLineBreaksOnly) {
    EXPECT_EQ(AddressToHandOn("http://a/v.mp4\" target"), "http://a/v.mp4\" target");
    EXPECT_EQ(AddressToHandOn("\thttp://a/\r\nv.mp4\n"), "http://a/v.mp4");
    EXPECT_EQ(AddressToHandOn(" 视频\x01 "), " 视频\x01 ");
    EXPECT_EQ(AddressToHandOn(TextView("a\nb\0c\n", 6)), "ab");
}

class ClipboardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        owner_ = CreateWindowExA(0, "STATIC", "owner", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(owner_, nullptr);
    }
    void TearDown() override { DestroyWindow(owner_); }

    HWND owner_ = nullptr;
};

TEST_F(ClipboardTest, HoldsTheTextAsPlainAndUnicodeTextForItsOwnerAndNothingElse) {
    ASSERT_TRUE(e2e::PutClipboardText("another program's text"));
    ASSERT_TRUE(e2e::ClipboardHoldsOtherProgramsData());
    const Text gbk = MakeText("http://media.example/视频；第一集.mp4");
    ASSERT_TRUE(SetClipboardText(owner_, gbk));
    // The Unicode form is the program's own, not one the system makes from the clipboard's
    // locale, which follows the keyboard layout active at the time: with an English one, it
    // would be made from code page 1252.
    ASSERT_TRUE(e2e::SetClipboardLocale(
        MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT)));
    EXPECT_EQ(e2e::ClipboardUnicodeText(),
              std::optional<std::wstring>(L"http://media.example/视频；第一集.mp4"));
    EXPECT_EQ(e2e::ClipboardText(),
              std::optional<std::string>(std::string(gbk.data(), gbk.size())));
    // Emptied first: nothing another program put there is left beside the text.
    EXPECT_FALSE(e2e::ClipboardHoldsOtherProgramsData());
    EXPECT_EQ(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(GetClipboardOwner())),
              static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(owner_)));

    // Empty text leaves the clipboard holding empty text, not nothing.
    ASSERT_TRUE(SetClipboardText(owner_, ""));
    EXPECT_EQ(e2e::ClipboardText(), std::optional<std::string>(""));
    EXPECT_EQ(e2e::ClipboardUnicodeText(), std::optional<std::wstring>(L""));

    // What follows a zero byte is not part of the text.
    ASSERT_TRUE(SetClipboardText(owner_, TextView("before\0after", 12)));
    EXPECT_EQ(e2e::ClipboardText(), std::optional<std::string>("before"));
    EXPECT_EQ(e2e::ClipboardUnicodeText(), std::optional<std::wstring>(L"before"));
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
    for (const char* prefix : {"h:\\tool.exe", "htt:x", "https", "http", ":x"}) {
        EXPECT_FALSE(OpenWithShell(prefix)) << prefix;
    }
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

// The recorder writes the arguments it was started with joined by spaces, and an encoded address
// holds no space: a line equal to the encoded address is one argument.
TEST_F(ShellTest, AnAddressReachesTheBrowserAsOneArgumentWhateverItHolds) {
    const std::pair<const char*, const char*> cases[] = {
        {"http://cdn.example.test/hd.mp4\" target", "http://cdn.example.test/hd.mp4%22%20target"},
        {"http://a.example/v.mp4\" \"--new-window\" \"file:///C:/x",
         "http://a.example/v.mp4%22%20%22--new-window%22%20%22file:///C:/x"},
        {"http://a.example/v.mp4\r\ncalc.exe", "http://a.example/v.mp4calc.exe"},
        {"http://a.example/a b\t<c>\\d^e`f{g|h}\x01.flv",
         "http://a.example/a%20b%3Cc%3E/d%5Ee%60f%7Bg%7Ch%7D%01.flv"},
        {"http://a.example/视频?x=1&y=乗", "http://a.example/视频?x=1&y=乗"},
    };
    std::vector<std::string> expected;
    for (const auto& [text, arrived] : cases) {
        EXPECT_TRUE(OpenWithShell(text)) << text;
        expected.push_back(arrived);
        // One at a time, so the record keeps their order.
        ASSERT_TRUE(e2e::WaitUntil([&] { return Requests().size() >= expected.size(); }, 10000))
            << text;
    }
    EXPECT_EQ(Requests(), expected);
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
