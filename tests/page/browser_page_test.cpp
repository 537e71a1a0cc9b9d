// The page object against the stand-in browser control, hosted by the program's own browser
// container and loading the demo resolver site: the window tree, the document request and the
// pages are the control's own, navigation is asynchronous, and nothing here is built by hand.
#include <gtest/gtest.h>

#include <ole2.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/browser_host.h"
#include "app/window_template.h"
#include "page/page_automation.h"
#include "runtime/automation.h"
#include "tests/page/page_test_support.h"
#include "tests/standin/standin_checks.h"
#include "test_pages.h"
#include "runtime/window_handle.h"

namespace {

using rh::PageAutomation;
using rh::Text;

constexpr char kResolver[] = "http://resolver.reelhawk.test/";

// Dispatches whatever arrives until `done` holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 10000) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (done()) {
            return true;
        }
        if (GetTickCount64() >= end) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

Text Url(const rh::ComObject& document) {
    return rh::ReadTextProperty(document, "URL");
}

bool Contains(const Text& text, const char* part) {
    return text.find(part) != Text::npos;
}

using standin_test::StandinFigure;
using standin_test::UnderChromium;

LONG LiveAutomationObjects() {
    return StandinFigure("ReelhawkStandinLiveObjects");
}
// Remote objects Chromium itself still holds for the shown page, as Chromium answers.
LONG ChromiumHeldObjects() {
    return StandinFigure("ReelhawkStandinChromiumHeldObjects");
}

// The harvest's walk: every link once by its place, its text, and the markup of a video link.
std::vector<Text> VideoLinkMarkup(const PageAutomation& page) {
    std::vector<Text> markup;
    const rh::LinkCollection links(page);
    for (int i = 1; i <= links.Size(); ++i) {
        const rh::ComObject link = links.Item(i);
        const Text text = rh::ReadTextProperty(link, "innerText");
        if (Contains(text, ".flv") || Contains(text, ".mp4") || Contains(text, ".m3u8")) {
            markup.push_back(rh::ReadTextProperty(link, "outerHTML"));
        }
    }
    return markup;
}

class BrowserPage : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
        page_ = std::make_unique<PageAutomation>();
        pagetest::RegisterTestWindowClasses();
        ASSERT_TRUE(rh::BrowserContainer::RegisterWindowClass(GetModuleHandleA(nullptr)));
        top_ = CreateWindowExA(0, pagetest::kBoxClass, "host", WS_POPUP | WS_CLIPCHILDREN, 0, 0,
                               480, 240, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(top_, nullptr);
        // Hidden, as the program keeps it.
        browser_ = container_.Create(top_, WS_CHILD | WS_CLIPSIBLINGS | WS_TABSTOP, 0, 0, 0, 424,
                                     224, 0x16010012);
        ASSERT_NE(browser_, nullptr);
    }
    void TearDown() override {
        page_.reset();
        if (top_ != nullptr) {
            DestroyWindow(top_);
        }
        OleUninitialize();
    }

    // Starts loading the resolver's start page; returns at once.
    void Open(const char* address = kResolver) {
        rh::HtmlViewerProperties properties;
        properties.address = address;
        ASSERT_TRUE(container_.Embed(properties)) << "is the stand-in browser registered?";
    }
    // Attaches until the shown page's address contains `part`.
    bool AttachWhenShown(const char* part) {
        return PumpUntil([&] {
            return page().AttachToBrowser(browser_) && Contains(Url(page().document), part);
        });
    }

    PageAutomation& page() { return *page_; }

    std::unique_ptr<PageAutomation> page_;
    rh::BrowserContainer container_;
    HWND top_ = nullptr;
    HWND browser_ = nullptr;
};

TEST_F(BrowserPage, AttachesOnceTheBrowserShowsItsFirstPage) {
    Open();
    // Navigation has only been asked for: no document window yet.
    EXPECT_FALSE(page().AttachToBrowser(browser_));
    EXPECT_EQ(rh::WindowHandleValue(page().windowHandle), rh::WindowHandleValue(browser_));
    EXPECT_TRUE(rh::IsEmptyObject(page().document));

    ASSERT_TRUE(AttachWhenShown("resolver.reelhawk.test"));
    EXPECT_EQ(Url(page().document), kResolver);

    // The document window lies several levels below the browser component.
    HWND documentWindow = page().FindDocumentWindow(browser_);
    ASSERT_NE(documentWindow, nullptr);
    EXPECT_NE(rh::WindowHandleValue(GetParent(documentWindow)), rh::WindowHandleValue(browser_));
    char className[64] = {};
    GetClassNameA(documentWindow, className, sizeof className);
    EXPECT_STREQ(className, "Internet Explorer_Server");

    // Given that window itself, the same document comes back.
    PageAutomation direct;
    EXPECT_TRUE(direct.AttachToBrowser(documentWindow));
    EXPECT_EQ(direct.document.Get(), page().document.Get());
}

TEST_F(BrowserPage, TheStartPagesFieldAndButtonAreTheFirstOnes) {
    Open();
    ASSERT_TRUE(AttachWhenShown("resolver.reelhawk.test"));

    // The hidden token and the note's text area are passed over.
    const rh::ComObject field = page().FindTextInput("1");
    EXPECT_EQ(rh::ReadTextProperty(field, "name"), "url");
    EXPECT_TRUE(rh::IsEmptyObject(page().FindTextInput("2")));
    EXPECT_TRUE(rh::IsEmptyObject(page().FindTextInput("note")));
    // The field is also found by its title, a Chinese text.
    EXPECT_EQ(page().FindTextInput("视频页面地址").Get(), field.Get());

    EXPECT_EQ(rh::ReadTextProperty(page().FindButton("1"), "value"), "开始解析");
    EXPECT_EQ(rh::ReadTextProperty(page().FindButton("2"), "type"), "reset");
    EXPECT_TRUE(rh::IsEmptyObject(page().FindButton("3")));
    EXPECT_EQ(page().CountLinks(), 2);
}

TEST_F(BrowserPage, FillingAndPressingResolvesAndAttachingAgainTakesTheNewPage) {
    Open();
    ASSERT_TRUE(AttachWhenShown("resolver.reelhawk.test"));
    rh::ComObject startPage = page().document;

    ASSERT_TRUE(page().SetElementValue("1", "http://v.youku.com/v_show/id_XNjA1.html"));
    EXPECT_TRUE(page().ClickElement("1"));
    // The click only starts the navigation; the held document is still the start page.
    EXPECT_EQ(page().document.Get(), startPage.Get());

    ASSERT_TRUE(AttachWhenShown("resolve.html"));
    const Text url = Url(page().document);
    EXPECT_TRUE(Contains(url, "token=demo-2026")) << url;
    EXPECT_TRUE(Contains(url, "url=http%3A%2F%2Fv.youku.com%2Fv_show%2Fid_XNjA1.html")) << url;
    EXPECT_NE(page().document.Get(), startPage.Get());

    // The page object let go of the start page: ours is the last reference.
    EXPECT_EQ(startPage.Detach()->Release(), 0u);
}

TEST_F(BrowserPage, TheResultPagesLinksWithoutTheFramesOnes) {
    Open("http://resolver.reelhawk.test/resolve.html?url=x");
    ASSERT_TRUE(AttachWhenShown("resolve.html"));

    // Two navigation links, six file links, the help and the back link; the inline frame's
    // page (and its fallback markup) adds none.
    const int links = page().CountLinks();
    EXPECT_EQ(links, 10);
    int videos = 0;
    for (int i = 1; i <= links; ++i) {
        const Text text = page().GetLinkInnerText(rh::IntegerToText(i));
        EXPECT_FALSE(text.empty()) << i;
        EXPECT_FALSE(Contains(text, "promo") || Contains(text, "fallback")) << text;
        if (Contains(text, ".flv") || Contains(text, ".mp4") || Contains(text, ".m3u8")) {
            ++videos;
            const Text markup = page().GetLinkOuterHtml(rh::IntegerToText(i));
            EXPECT_TRUE(Contains(markup, "href=\"http://media.reelhawk.test/")) << markup;
        }
    }
    EXPECT_EQ(videos, 6);
    EXPECT_EQ(page().GetLinkInnerText("1"), "首页");
    EXPECT_EQ(page().GetLinkInnerText("3"), "part1.flv");
    EXPECT_TRUE(rh::IsEmptyObject(page().FindLink("fallback.mp4")));
    EXPECT_TRUE(rh::IsEmptyObject(page().FindLink("http://media.reelhawk.test/ad/promo.mp4")));
    // The same address twice: the skip count reaches the second one.
    const Text first = page().GetLinkOuterHtml("http://media.reelhawk.test/v/part1.flv");
    const Text second = page().GetLinkOuterHtml("http://media.reelhawk.test/v/part1.flv", 1);
    EXPECT_TRUE(Contains(first, ">part1.flv</a>")) << first;
    EXPECT_FALSE(second.empty());
    EXPECT_NE(second, first);

    EXPECT_EQ(page().CountLinks(1), 10);
    EXPECT_EQ(page().GetLinkInnerText("1"), "首页链1");
    EXPECT_EQ(page().GetLinkInnerText("10"), "再解析一个链10");
}

// A harvest gives back everything it took: the automation objects in this process and, on
// Chromium, the remote objects Chromium made for them, as Chromium itself counts them.
TEST_F(BrowserPage, AHarvestLeavesNothingHeldInTheBrowser) {
    Open("http://resolver.reelhawk.test/resolve.html?url=x");
    ASSERT_TRUE(AttachWhenShown("resolve.html"));
    const LONG objectsAtStart = LiveAutomationObjects();
    const LONG heldAtStart = ChromiumHeldObjects();
    if (UnderChromium()) {
        ASSERT_GE(heldAtStart, 1);  // at least the document the page object holds
    } else {
        EXPECT_EQ(heldAtStart, -1);  // no Chromium behind the control
    }

    for (int round = 0; round < 3; ++round) {
        const std::vector<Text> markup = VideoLinkMarkup(page());
        ASSERT_EQ(markup.size(), 6u) << "round " << round;
        EXPECT_TRUE(Contains(markup.front(), "part1.flv")) << markup.front();
        EXPECT_EQ(LiveAutomationObjects(), objectsAtStart) << "round " << round;
        EXPECT_EQ(ChromiumHeldObjects(), heldAtStart) << "round " << round;
    }
}

// A page whose own scripts make reading its links throw (a getter that throws for some links):
// those links read as empty and are passed over, the others are taken, and what the throwing
// left behind in Chromium (the thrown error, as a result and as the exception) is given back.
// The document model runs no scripts, so there every link reads as written.
TEST_F(BrowserPage, LinksWhoseReadingThrowsArePassedOverAndLeaveNothingBehind) {
    e2e::WebRoot web;
    const standin_test::ScopedEnvironment root("REELHAWK_STANDIN_WEBROOT", web.Path().c_str());
    ASSERT_TRUE(web.Put("traps.reelhawk.test", "index.html",
                        "<html><head><script>"
                        "for (const name of ['innerText', 'outerHTML']) {"
                        "  const own = Object.getOwnPropertyDescriptor(HTMLElement.prototype, name)"
                        "      || Object.getOwnPropertyDescriptor(Element.prototype, name);"
                        "  Object.defineProperty(HTMLElement.prototype, name, {get() {"
                        "    if (this.className === 'trap') { throw new Error('not for you'); }"
                        "    return own.get.call(this); }});"
                        "}</script></head><body>"
                        "<a href=\"http://cdn.reelhawk.test/a.mp4\">a.mp4</a>"
                        "<a class=\"trap\" href=\"http://cdn.reelhawk.test/b.mp4\">b.mp4</a>"
                        "<a href=\"http://cdn.reelhawk.test/c.flv\">c.flv</a>"
                        "<a class=\"trap\" href=\"http://cdn.reelhawk.test/d.m3u8\">d.m3u8</a>"
                        "</body></html>"));
    Open("http://traps.reelhawk.test/");
    ASSERT_TRUE(AttachWhenShown("traps.reelhawk.test"));
    const LONG heldAtStart = ChromiumHeldObjects();

    const std::vector<Text> markup = VideoLinkMarkup(page());
    if (UnderChromium()) {
        ASSERT_EQ(markup.size(), 2u);
        EXPECT_TRUE(Contains(markup[0], "a.mp4")) << markup[0];
        EXPECT_TRUE(Contains(markup[1], "c.flv")) << markup[1];
    } else {
        EXPECT_EQ(markup.size(), 4u);
    }
    EXPECT_EQ(ChromiumHeldObjects(), heldAtStart);
}

}  // namespace
