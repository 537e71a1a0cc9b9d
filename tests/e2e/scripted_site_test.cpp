// The second demo resolver, which needs a real engine: its button runs a script that sends the
// request, and its result list is built by script a moment after the page has loaded. Shown to
// the real program through the stand-in browser with Chromium behind it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "program_run.h"
#include "test_pages.h"

namespace e2e {
namespace {

// The scripted site's pages, served as the program's resolving site.
bool PutScriptedSite(WebRoot& web) {
    for (const char* page : {"index.html", "result.html", "help.html"}) {
        std::string bytes =
            ReadWholeFile(DemoSite() + "\\scripted.reelhawk.test\\" + std::string(page));
        if (bytes.empty() || !web.Put(kResolverHost, page, bytes)) {
            return false;
        }
    }
    return true;
}

TEST(ScriptedSiteTest, TheListTheResultPageBuildsIsHarvestedExactly) {
    if (!UnderChromium()) {
        GTEST_SKIP() << "the document model runs no page scripts; this site needs Chromium";
    }
    WebRoot web;
    ASSERT_TRUE(PutScriptedSite(web));
    ProgramRun run(web.Path());
    ASSERT_EQ(run.Start(), "");

    // The button is no submit button: its script navigates, so no form is sent.
    ASSERT_TRUE(run.ResolveAndWait(L"http://video.example.test/watch?v=rh42"));
    EXPECT_TRUE(run.LogLines("Submit").empty());
    const auto loaded = run.LogLines("Loaded");
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_NE(loaded[1].find("/result.html?u=http%3A%2F%2Fvideo.example.test%2Fwatch%3Fv%3Drh42"),
              std::string::npos)
        << loaded[1];

    // A person who presses too early sees an empty list and presses again (the result page has
    // no form, so the press between only turns the button back); the list is there in time.
    std::vector<std::string> items;
    ASSERT_TRUE(WaitUntil(
        [&] {
            if (!run.HarvestAndWait()) {
                return false;
            }
            items = run.Items();
            if (items.empty()) {
                run.ClickButton();
                WaitUntil([&] { return run.Caption() == kHarvestCaption; }, 5000);
            }
            return !items.empty();
        },
        20000, 0));
    EXPECT_EQ(items, (std::vector<std::string>{"http://media.reelhawk.test/s/part1.flv",
                                               "http://media.reelhawk.test/s/part2.flv",
                                               "http://media.reelhawk.test/s/full.mp4",
                                               "http://media.reelhawk.test/s/index.m3u8"}));
    EXPECT_EQ(run.CloseWithEsc(), std::optional<DWORD>(0));
}

}  // namespace
}  // namespace e2e
