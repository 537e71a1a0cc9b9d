// Pages a resolver should never produce, made at test time and shown to the real program through
// the stand-in browser: it keeps running, lists what it should and opens nothing unsafe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "program_run.h"
#include "runtime/window_handle.h"
#include "test_pages.h"

namespace e2e {
namespace {

// The start page is the page under test: the first press finds no form on it (only the caption
// changes), the second harvests it.
void HarvestStartPage(ProgramRun& run, DWORD timeoutMs = 60000) {
    run.ClickButton();
    ASSERT_TRUE(WaitUntil([&] { return run.Caption() == kHarvestCaption; }, 10000));
    ASSERT_TRUE(run.HarvestAndWait(timeoutMs)) << "the harvest did not finish";
}

std::string WithoutSemicolons(std::string text) {
    std::erase(text, ';');
    return text;
}

std::string RecorderPath() {
    return ModuleFolder() + "reelhawk_shell_recorder.exe";
}

TEST(HostilePageTest, UncarvableVideoLinksArePassedOverAndTheRestListed) {
    WebRoot web;
    std::string body;
    body += Link("http://media.reelhawk.test/first.mp4", "first.mp4");
    body += "<a href=http://media.reelhawk.test/unquoted.mp4>unquoted.mp4</a>\n";
    body += "<a href='http://media.reelhawk.test/single.flv'>single.flv</a>\n";
    body += Link("", "empty.m3u8");
    body += "<a>no-attributes.mp4</a>\n";
    body += "<a title=\"t\" href=\"http://media.reelhawk.test/late.mp4\">late.mp4</a>\n";
    body += Link("http://media.reelhawk.test/last.flv", "last.flv");
    ASSERT_TRUE(web.PutStartPage(GbkPage(body)));

    ProgramRun run(web.Path());
    ASSERT_EQ(run.Start(), "");
    HarvestStartPage(run);
    // The address of a link written with another quoted attribute first is carved as the rule
    // carves it (the first quoted value up to the next one); markup with no value is skipped.
    // The model hands out markup as the page wrote it, so links written unquoted or with single
    // quotes cannot be carved; Chromium writes every attribute value afresh in double quotes,
    // so they are listed there.
    std::vector<std::string> expected = {"http://media.reelhawk.test/first.mp4", "t\" href",
                                         "http://media.reelhawk.test/last.flv"};
    if (UnderChromium()) {
        expected.insert(expected.begin() + 1, {"http://media.reelhawk.test/unquoted.mp4",
                                               "http://media.reelhawk.test/single.flv"});
    }
    EXPECT_EQ(run.Items(), expected);
    EXPECT_TRUE(run.Running());
    EXPECT_EQ(run.CloseWithEsc(), std::optional<DWORD>(0));
}

TEST(HostilePageTest, PagerNumbersBeforeTheVideosHideNone) {
    // Page 1 of the results is shown, so the pager links to pages 2, 3 and 4 come first.
    WebRoot web;
    std::string body = "<p>";
    for (const char* number : {"2", "3", "4"}) {
        body += Link(std::string("results.html?page=") + number, number);
    }
    body += "</p>\n";
    const std::vector<std::string> videos = {"http://media.reelhawk.test/v/ep1.mp4",
                                             "http://media.reelhawk.test/v/ep2.flv",
                                             "http://media.reelhawk.test/v/ep3.m3u8"};
    for (const std::string& address : videos) {
        body += Link(address, address.substr(address.find_last_of('/') + 1));
    }
    ASSERT_TRUE(web.PutStartPage(GbkPage(body)));

    ProgramRun run(web.Path());
    ASSERT_EQ(run.Start(), "");
    HarvestStartPage(run);
    EXPECT_EQ(run.Items(), videos);
    EXPECT_EQ(run.CloseWithEsc(), std::optional<DWORD>(0));
}

TEST(HostilePageTest, GbkTextAroundTheSeparatorsIsKeptByteForByte) {
    const std::vector<std::pair<std::string, std::string>> links = {
        {"http://media.reelhawk.test/视频/第一集.mp4", "第一集.mp4"},
        {"http://media.reelhawk.test/节目；第二集;高清.flv", "第二集.flv"},
        {"视频;节目;第三集.m3u8", "“第三集”.m3u8"},
        {"http://media.reelhawk.test/片", "片尾.flv 预告.mp4"},
        {"http://media.reelhawk.test/not-a-video.html", "第四集.MP4"},
    };
    WebRoot web;
    std::string body;
    std::vector<std::string> expected;
    for (const auto& [href, text] : links) {
        body += "<p>前言＝“说明”＞</p>" + Link(href, text);
        if (text.find(".mp4") != std::string::npos || text.find(".flv") != std::string::npos ||
            text.find(".m3u8") != std::string::npos) {
            expected.push_back(WithoutSemicolons(href));
        }
    }
    ASSERT_EQ(expected.size(), 4u);
    ASSERT_TRUE(web.PutStartPage(GbkPage(body)));

    ProgramRun run(web.Path());
    ASSERT_EQ(run.Start(), "");
    HarvestStartPage(run);
    EXPECT_EQ(run.Items(), expected);

    // Byte for byte on the clipboard, as the program's GBK text.
    const DWORD before = ClipboardSequence();
    run.DoubleClickItem(1);
    EXPECT_EQ(ClipboardTextAfter(before), std::optional<std::string>(expected[1]));
    EXPECT_EQ(run.CloseWithEsc(), std::optional<DWORD>(0));
}

TEST(HostilePageTest, OnlyWebAddressesAreHandedToTheShell) {
    const std::string recorder = RecorderPath();
    std::string recorderUrl = "file:///" + recorder;
    std::replace(recorderUrl.begin(), recorderUrl.end(), '\\', '/');
    const std::vector<std::string> unsafe = {
        recorder,                         // a local program
        recorderUrl,                      // the same as a file address
        "\\\\127.0.0.1\\share\\run.exe",  // a network path
        "javascript:alert(1)",
        "httpx://media.reelhawk.test/x.mp4",
        "http-x:run.mp4",
        "C:\\windows\\system32\\notepad.exe",
    };
    const std::string web = " \t HTTPS://media.reelhawk.test/ok.mp4";
    WebRoot root;
    std::string body;
    for (std::size_t i = 0; i < unsafe.size(); ++i) {
        body += Link(unsafe[i], "clip" + std::to_string(i) + ".mp4");
    }
    body += Link(web, "ok.mp4");
    ASSERT_TRUE(root.PutStartPage(GbkPage(body)));

    ProgramRun run(root.Path());
    ASSERT_EQ(run.Start(), "");
    HarvestStartPage(run);
    auto expected = unsafe;
    expected.push_back(web);
    ASSERT_EQ(run.Items(), expected);

    // Each is still copied, none is opened.
    for (std::size_t i = 0; i < unsafe.size(); ++i) {
        const DWORD before = ClipboardSequence();
        run.DoubleClickItem(static_cast<int>(i));
        EXPECT_EQ(ClipboardTextAfter(before), std::optional<std::string>(unsafe[i]))
            << "not copied: " << unsafe[i];
    }
    // The web address goes to the shell without the spaces before it; once its request has
    // arrived, any request for the others would have arrived before it.
    run.DoubleClickItem(static_cast<int>(unsafe.size()));
    ASSERT_TRUE(WaitUntil([&] { return !run.ShellRequests().empty(); }, 10000));
    Sleep(1000);
    EXPECT_EQ(run.ShellRequests(), std::vector<std::string>{"HTTPS://media.reelhawk.test/ok.mp4"});
    // Copied as listed, less the tab, which is never handed on.
    EXPECT_EQ(ClipboardText(), std::optional<std::string>("  HTTPS://media.reelhawk.test/ok.mp4"));
    EXPECT_EQ(run.CloseWithEsc(), std::optional<DWORD>(0));
}

// The address as a browser means it, whether the page wrote its "&" raw or as "&amp;" (outerHTML
// gives "&amp;" either way); what the carving leaves with a quote, a space or a line break in it
// goes to the clipboard without the line break and to the browser as one encoded argument.
TEST(HostilePageTest, AddressesAreListedAsABrowserReadsThemAndHandedOnSafely) {
    const std::string media = "http://media.reelhawk.test/";
    WebRoot web;
    std::string body;
    body += Link(media + "v.flv?sig=abc&expires=9", "raw.flv");
    body += Link(media + "v.mp4?sig=abc&amp;expires=9&amp;id=3", "amp.mp4");
    body += "<a href=\"" + media + "hd.mp4\" target=\"_blank\">hd.mp4</a>\n";
    body += Link(media + "line\nbreak.m3u8", "break.m3u8");
    ASSERT_TRUE(web.PutStartPage(GbkPage(body)));

    ProgramRun run(web.Path());
    ASSERT_EQ(run.Start(), "");
    HarvestStartPage(run);
    ASSERT_EQ(run.Items(), (std::vector<std::string>{
                               media + "v.flv?sig=abc&expires=9",
                               media + "v.mp4?sig=abc&expires=9&id=3",
                               media + "hd.mp4\" target",
                               media + "line\nbreak.m3u8",
                           }));
    const std::vector<std::string> copied = {
        media + "v.flv?sig=abc&expires=9",
        media + "v.mp4?sig=abc&expires=9&id=3",
        media + "hd.mp4\" target",
        media + "linebreak.m3u8",
    };
    // The recorder joins its arguments with spaces: a line without one is one argument.
    const std::vector<std::string> opened = {
        media + "v.flv?sig=abc&expires=9",
        media + "v.mp4?sig=abc&expires=9&id=3",
        media + "hd.mp4%22%20target",
        media + "linebreak.m3u8",
    };
    for (std::size_t i = 0; i < copied.size(); ++i) {
        ASSERT_TRUE(PutClipboardText("put there by another program"));
        run.DoubleClickItem(static_cast<int>(i));
        // The clipboard is filled before the shell is asked.
        ASSERT_TRUE(WaitUntil([&] { return run.ShellRequests().size() > i; }, 10000))
            << "not opened: " << copied[i];
        EXPECT_EQ(ClipboardText(), std::optional<std::string>(copied[i]));
        EXPECT_EQ(ClipboardUnicodeText(), std::optional<std::wstring>(AcpToWide(copied[i])));
        EXPECT_FALSE(ClipboardHoldsOtherProgramsData()) << copied[i];
        EXPECT_TRUE(rh::SameWindow(GetClipboardOwner(), run.Window()));
    }
    EXPECT_EQ(run.ShellRequests(), opened);
    EXPECT_EQ(run.CloseWithEsc(), std::optional<DWORD>(0));
}

TEST(HostilePageTest, DoubleClickOnAnEmptyListLeavesTheClipboardAlone) {
    WebRoot web;
    ASSERT_TRUE(web.PutStartPage(GbkPage("<p>no video here</p>" + Link("page.html", "page"))));
    ProgramRun run(web.Path());
    ASSERT_EQ(run.Start(), "");
    ASSERT_TRUE(PutClipboardText("copied from another program"));

    // Each double-click is followed by a press of the button: once the caption has changed, the
    // program has handled the clicks before it.
    auto doubleClickTheListThenPress = [&](const char* captionAfter) {
        BringToFront(run.Window());
        DoubleClickAt(CentreOf(run.List()));
        run.ClickButton();
        ASSERT_TRUE(WaitUntil([&] { return run.Caption() == captionAfter; }, 20000));
    };
    // At start-up, and after a harvest that found nothing.
    doubleClickTheListThenPress(kHarvestCaption);
    doubleClickTheListThenPress(kResolveCaption);
    ASSERT_TRUE(run.Items().empty());
    doubleClickTheListThenPress(kHarvestCaption);

    EXPECT_EQ(ClipboardText(), std::optional<std::string>("copied from another program"));
    EXPECT_TRUE(ClipboardHoldsOtherProgramsData());
    EXPECT_TRUE(run.ShellRequests().empty());
    EXPECT_EQ(run.CloseWithEsc(), std::optional<DWORD>(0));
}

TEST(HostilePageTest, MegabyteAddressIsListedAndCopiedWholeButNotOpened) {
    const std::string big = "http://media.reelhawk.test/" + std::string(1 << 20, 'v') + ".mp4";
    WebRoot web;
    ASSERT_TRUE(web.PutStartPage(
        GbkPage(Link(big, "big.mp4") + Link("http://media.reelhawk.test/after.flv", "after.flv"))));

    ProgramRun run(web.Path());
    ASSERT_EQ(run.Start(), "");
    HarvestStartPage(run);
    ASSERT_EQ(SendMessageA(run.List(), LB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(SendMessageA(run.List(), LB_GETTEXTLEN, 0, 0), static_cast<LRESULT>(big.size()));
    EXPECT_EQ(run.Items()[1], "http://media.reelhawk.test/after.flv");

    const DWORD before = ClipboardSequence();
    run.DoubleClickItem(0);
    const std::optional<std::string> copied = ClipboardTextAfter(before);
    EXPECT_TRUE(copied == big) << "the clipboard holds " << copied.value_or("").size() << " bytes";
    // No browser takes an address that long: the shell is not asked. For the next one it is.
    run.DoubleClickItem(1);
    ASSERT_TRUE(WaitUntil([&] { return !run.ShellRequests().empty(); }, 10000));
    Sleep(500);
    EXPECT_EQ(run.ShellRequests(),
              std::vector<std::string>{"http://media.reelhawk.test/after.flv"});

    // The tip takes the whole address too, and the program stays up.
    run.SelectItem(0);
    POINT over = ListItemPoint(run.List(), 1);
    over.x += 30;
    MoveMouseTo(over);
    over.x += 5;
    MoveMouseTo(over);
    Sleep(1500);
    EXPECT_TRUE(run.Running());
    EXPECT_TRUE(IsWindow(run.Window()));
    EXPECT_EQ(run.CloseWithEsc(), std::optional<DWORD>(0));
}

// A page of 20,000 links, a few of them naming videos: every link is read once, in page order.
TEST(HostilePageTest, TwentyThousandLinks) {
    constexpr int kLinks = 20000;
    WebRoot web;
    std::string body;
    std::vector<std::string> expected;
    for (int i = 1; i <= kLinks; ++i) {
        const std::string number = std::to_string(i);
        if (i % 1000 == 500) {
            const std::string address = "http://media.reelhawk.test/v/part" + number + ".flv";
            body += Link(address, "part" + number + ".flv");
            expected.push_back(address);
        } else {
            body += Link("page" + number + ".html", "第" + number + "页");
        }
    }
    ASSERT_TRUE(web.PutStartPage(GbkPage(body)));

    ProgramRun run(web.Path());
    ASSERT_EQ(run.Start(), "");
    // On Chromium every read is a round trip (about half a minute for this page on an idle
    // machine); the wait allows for a busy one.
    HarvestStartPage(run, 180000);
    EXPECT_EQ(run.Items(), expected);
    EXPECT_TRUE(run.Running());
    EXPECT_EQ(run.CloseWithEsc(), std::optional<DWORD>(0));
}

}  // namespace
}  // namespace e2e
