// The real reelhawk.exe under Wine, driven with real keyboard and mouse input through its window,
// against the demo resolver site served by the stand-in browser.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "program_run.h"

namespace e2e {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(),
                      [](char a, char b) { return std::tolower(a) == std::tolower(b); });
}

std::size_t FindNoCase(std::string_view text, std::string_view what, std::size_t from) {
    for (std::size_t i = from; i + what.size() <= text.size(); ++i) {
        if (StartsWithNoCase(text.substr(i), what)) {
            return i;
        }
    }
    return std::string_view::npos;
}

struct PageLink {
    std::string text;  // markup removed
    std::string href;  // as written
};

// The links of a page's own markup (what sits in its frames is in other files), read plainly
// from the file the stand-in serves.
std::vector<PageLink> LinksOf(std::string_view page) {
    // Comments and what an inline frame element holds are not part of the document's links.
    std::string html(page);
    for (const auto& [open, close] :
         {std::pair<std::string_view, std::string_view>{"<!--", "-->"}, {"<iframe", "</iframe>"}}) {
        for (std::size_t at = FindNoCase(html, open, 0); at != std::string::npos;
             at = FindNoCase(html, open, at)) {
            const std::size_t end = FindNoCase(html, close, at);
            html.erase(at, end == std::string::npos ? std::string::npos : end + close.size() - at);
        }
    }
    std::vector<PageLink> links;
    for (std::size_t at = FindNoCase(html, "<a", 0); at != std::string_view::npos;
         at = FindNoCase(html, "<a", at + 2)) {
        const char after = at + 2 < html.size() ? html[at + 2] : '\0';
        if (after != ' ' && after != '\t' && after != '\n' && after != '\r' && after != '>') {
            continue;
        }
        const std::size_t tagEnd = html.find('>', at);
        const std::size_t close = FindNoCase(html, "</a>", tagEnd);
        if (tagEnd == std::string_view::npos || close == std::string_view::npos) {
            break;
        }
        PageLink link;
        const std::string_view tag = std::string_view(html).substr(at, tagEnd - at);
        if (const std::size_t href = FindNoCase(tag, "href=\"", 0);
            href != std::string_view::npos) {
            const std::size_t start = href + 6;
            link.href = std::string(tag.substr(start, tag.find('"', start) - start));
        }
        bool inTag = false;
        for (char ch : std::string_view(html).substr(tagEnd + 1, close - tagEnd - 1)) {
            if (ch == '<') {
                inTag = true;
            } else if (ch == '>') {
                inTag = false;
            } else if (!inTag) {
                link.text += ch;
            }
        }
        links.push_back(std::move(link));
    }
    return links;
}

bool NamesVideo(std::string_view text) {
    return text.find(".flv") != std::string_view::npos ||
           text.find(".mp4") != std::string_view::npos ||
           text.find(".m3u8") != std::string_view::npos;
}

// The file the stand-in served for a "Loaded <address>" line of its log.
std::string DemoFileOf(const std::string& loadedLine) {
    std::string address = loadedLine.substr(loadedLine.find(' ') + 1);
    address = address.substr(0, address.find_first_of("?#"));
    const std::size_t hostStart = address.find("//") + 2;
    std::string path = address.substr(hostStart);
    if (path.empty() || path.back() == '/') {
        path += "index.html";
    }
    return DemoSite() + "\\" + HostToWindowsPath(path);
}

std::string FrameSourceOf(std::string_view html) {
    const std::size_t frame = FindNoCase(html, "<iframe", 0);
    if (frame == std::string_view::npos) {
        return {};
    }
    const std::size_t src = FindNoCase(html, "src=\"", frame);
    if (src == std::string_view::npos) {
        return {};
    }
    return std::string(html.substr(src + 5, html.find('"', src + 5) - src - 5));
}

// The query's values, decoded (percent escapes as UTF-8, '+' as a space).
std::vector<std::string> QueryValues(const std::string& address) {
    std::vector<std::string> values;
    const std::size_t query = address.find('?');
    if (query == std::string::npos) {
        return values;
    }
    std::string rest = address.substr(query + 1);
    rest = rest.substr(0, rest.find('#'));
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = rest.find('&', start);
        if (end == std::string::npos) {
            end = rest.size();
        }
        const std::string pair = rest.substr(start, end - start);
        const std::size_t eq = pair.find('=');
        std::string value;
        for (std::size_t i = eq == std::string::npos ? pair.size() : eq + 1; i < pair.size(); ++i) {
            if (pair[i] == '+') {
                value += ' ';
            } else if (pair[i] == '%' && i + 2 < pair.size()) {
                value += static_cast<char>(std::stoi(pair.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                value += pair[i];
            }
        }
        values.push_back(value);
        start = end + 1;
    }
    return values;
}

// The tooltip windows that show the list's tip: the shared one has no owner (the button's own tip
// belongs to the main window).
std::vector<HWND> ListTipWindows(DWORD processId) {
    std::vector<HWND> found;
    for (HWND t : ProcessWindows(processId, "Tooltips_class32")) {
        if (GetWindow(t, GW_OWNER) == nullptr) {
            found.push_back(t);
        }
    }
    return found;
}

class ProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(ShellOpenCommand("http").find("reelhawk_shell_recorder"), std::string::npos)
            << "the test prefix must register the shell recorder for http (scripts/lib.sh)";
    }
};

TEST_F(ProgramTest, EscClosesTheProgramWithExitCodeZero) {
    ProgramRun run;
    ASSERT_EQ(run.Start(), "");
    EXPECT_EQ(run.Caption(), kResolveCaption);
    EXPECT_EQ(run.CloseWithEsc(), std::optional<DWORD>(0));
    EXPECT_FALSE(IsWindow(run.Window()));
}

TEST_F(ProgramTest, ResolvesTheTypedAddressAndListsTheResultPageVideoAddresses) {
    ProgramRun run;
    ASSERT_EQ(run.Start(), "");
    const std::string startPage = run.LogLines("Loaded").front();

    // Typed into the address box, then Enter: the resolver's field gets the address and its
    // button is pressed, which sends the form.
    const std::wstring address = L"http://video.example.test/watch?v=rh42&list=a b";
    ASSERT_TRUE(run.ResolveAndWait(address)) << "the resolver's answer did not load";
    const std::string typed = WideToUtf8(address);
    const auto values = run.LogLines("Value");
    ASSERT_EQ(values.size(), 1u);
    EXPECT_TRUE(values[0].size() > typed.size() &&
                values[0].compare(values[0].size() - typed.size(), typed.size(), typed) == 0)
        << values[0];
    const auto submits = run.LogLines("Submit");
    ASSERT_EQ(submits.size(), 1u);
    const auto sent = QueryValues(submits[0]);
    EXPECT_NE(std::find(sent.begin(), sent.end(), typed), sent.end()) << submits[0];
    EXPECT_EQ(run.Caption(), kHarvestCaption);

    const auto loaded = run.LogLines("Loaded");
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_NE(loaded[1], startPage) << "the click did not navigate";

    // What the result page holds, read from the file the stand-in served.
    const std::string resultFile = DemoFileOf(loaded[1]);
    const std::string html = ReadWholeFile(resultFile);
    ASSERT_FALSE(html.empty()) << resultFile;
    std::vector<std::string> expected;
    std::size_t ordinary = 0;
    for (const PageLink& link : LinksOf(html)) {
        if (NamesVideo(link.text)) {
            std::string carved = link.href;
            std::erase(carved, ';');
            expected.push_back(carved);
        } else {
            ++ordinary;
        }
    }
    // The demo page is meant to hold these cases; say so plainly if it ever stops doing so.
    ASSERT_GE(expected.size(), 3u);
    ASSERT_GT(ordinary, 0u) << "the result page has no ordinary links";
    ASSERT_LT(std::set<std::string>(expected.begin(), expected.end()).size(), expected.size())
        << "the result page lists no address twice";
    const std::string frame = FrameSourceOf(html);
    ASSERT_FALSE(frame.empty()) << "the result page has no inline frame";
    const std::string frameFile =
        resultFile.substr(0, resultFile.find_last_of('\\') + 1) + HostToWindowsPath(frame);
    std::vector<std::string> framed;
    for (const PageLink& link : LinksOf(ReadWholeFile(frameFile))) {
        if (NamesVideo(link.text)) {
            framed.push_back(link.href);
        }
    }
    ASSERT_FALSE(framed.empty()) << frameFile << " holds no video link";

    // The second press harvests: exactly the page's video addresses, in page order, duplicates
    // kept, ordinary links and the frame's links left out.
    ASSERT_TRUE(run.HarvestAndWait());
    const auto items = run.Items();
    EXPECT_EQ(items, expected);
    for (const std::string& f : framed) {
        EXPECT_EQ(std::find(items.begin(), items.end(), f), items.end()) << f;
    }

    // The next press resolves again; the result page has no form, so only the caption changes.
    run.ClickButton();
    EXPECT_TRUE(WaitUntil([&] { return run.Caption() == kHarvestCaption; }, 5000));
    EXPECT_EQ(run.LogLines("Submit").size(), 1u);
    EXPECT_EQ(run.CloseWithEsc(), std::optional<DWORD>(0));
}

TEST_F(ProgramTest, DoubleClickCopiesTheAddressAndHandsItToTheShell) {
    ProgramRun run;
    ASSERT_EQ(run.Start(), "");
    ASSERT_TRUE(run.ResolveAndWait(L"http://video.example.test/v/1"));
    ASSERT_TRUE(run.HarvestAndWait());
    const auto items = run.Items();
    ASSERT_GE(items.size(), 2u);
    ASSERT_TRUE(PutClipboardText("before the double-click"));

    const DWORD before = ClipboardSequence();
    run.DoubleClickItem(1);
    EXPECT_EQ(ClipboardTextAfter(before), std::optional<std::string>(items[1]));
    ASSERT_TRUE(WaitUntil([&] { return !run.ShellRequests().empty(); }, 10000))
        << "the shell was not asked to open anything";
    EXPECT_EQ(ListSelection(run.List()), 1);
    Sleep(300);
    EXPECT_EQ(run.ShellRequests(), std::vector<std::string>{items[1]});
    EXPECT_EQ(run.CloseWithEsc(), std::optional<DWORD>(0));
}

TEST_F(ProgramTest, TooltipShowsTheSelectedAddressNotTheOneUnderThePointer) {
    ProgramRun run;
    ASSERT_EQ(run.Start(), "");
    ASSERT_TRUE(run.ResolveAndWait(L"http://video.example.test/v/2"));
    ASSERT_TRUE(run.HarvestAndWait());
    const auto items = run.Items();
    ASSERT_GE(items.size(), 3u);
    ASSERT_NE(items[2], items[0]);
    DWORD processId = 0;
    GetWindowThreadProcessId(run.Window(), &processId);

    // Nothing selected yet: moving over the list makes no tip at all.
    ASSERT_EQ(ListSelection(run.List()), -1);
    POINT over = ListItemPoint(run.List(), 0);
    MoveMouseTo(over);
    over.x += 3;
    MoveMouseTo(over);
    Sleep(800);
    EXPECT_TRUE(ListTipWindows(processId).empty());

    run.SelectItem(2);
    ASSERT_EQ(ListSelection(run.List()), 2);
    // The pointer rests over item 0; the tip names the selected item 2.
    MoveMouseTo(over);
    over.x -= 3;
    MoveMouseTo(over);
    std::string tip;
    const bool shown = WaitUntil(
        [&] {
            for (HWND t : ListTipWindows(processId)) {
                if (IsWindowVisible(t)) {
                    tip = WindowText(t);
                    return !tip.empty();
                }
            }
            // Keep the pointer alive over the list, as a hand does.
            MoveMouseTo(over);
            return false;
        },
        10000, 200);
    ASSERT_TRUE(shown) << "no tip was shown";
    EXPECT_EQ(tip, items[2]);
    EXPECT_EQ(ListTipWindows(processId).size(), 1u);
    EXPECT_EQ(run.CloseWithEsc(), std::optional<DWORD>(0));
}

}  // namespace
}  // namespace e2e
