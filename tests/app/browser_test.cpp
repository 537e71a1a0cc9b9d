// The hidden browser: what the host hands the browser control, and that it lets go of it again.
#include <gtest/gtest.h>
#include <windows.h>

#include "app/components.h"
#include "app/main_window_template.h"
#include "tests/app/standin_check.h"
#include "tests/app/test_support.h"

namespace rh {
namespace {

class BrowserBoxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::StandInRegistered()) {
            GTEST_SKIP() << "the stand-in browser control is not registered in this prefix";
        }
        log_ = test::TemporaryFile("rhb");
        SetEnvironmentVariableA("REELHAWK_STANDIN_LOG", log_.c_str());
    }
    std::string log_;
};

TEST_F(BrowserBoxTest, SettingsComeBeforeNavigationToTheResolver) {
    test::TemplateWindow window(MainWindowTemplate());
    ASSERT_NE(window.Window(), nullptr);
    // Nothing waited for the page: the window exists while navigation is still on its way, and
    // the calls were all made while the window was being built.
    const auto calls = test::LogLinesStartingWith(
        log_, {"put_Offline", "put_Silent", "ExecWB", "Navigate", "Navigate2"});
    const std::vector<std::string> expected = {
        "put_Offline 0",
        "put_Silent -1",
        "ExecWB 19 2 VT_I4:2",
        std::string("Navigate ") + REELHAWK_RESOLVER_URL + " flags=0",
    };
    EXPECT_EQ(calls, expected);
    // Activated in place inside the container before any of them.
    const auto all = test::ReadLines(log_);
    const auto at = [&](const std::string& prefix) {
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (all[i].rfind(prefix, 0) == 0) {
                return static_cast<int>(i);
            }
        }
        return -1;
    };
    EXPECT_GE(at("SetClientSite set"), 0);
    EXPECT_LT(at("SetClientSite set"), at("DoVerb -5"));
    EXPECT_LT(at("DoVerb -5"), at("put_Offline"));
}

TEST_F(BrowserBoxTest, TheResolverPageIsShownBelowTheContainer) {
    test::TemplateWindow window(MainWindowTemplate());
    HWND box = ComponentWindowHandle(kMainWindowId, kBrowserId);
    ASSERT_NE(box, nullptr);
    HWND server = nullptr;
    EXPECT_TRUE(test::PumpUntil([&] {
        for (HWND w : test::Descendants(box)) {
            if (test::ClassOf(w) == "Internet Explorer_Server") {
                server = w;
            }
        }
        return server != nullptr &&
               !test::LogLinesStartingWith(log_, {"Loaded", "NotFound"}).empty();
    }));
    EXPECT_FALSE(IsWindowVisible(box));
    // The demo resolver is served locally; another address may not be, but it is asked for.
    const auto loaded = test::LogLinesStartingWith(log_, {"Loaded", "NotFound"});
    ASSERT_FALSE(loaded.empty());
    const std::string url = REELHAWK_RESOLVER_URL;
    if (url == "http://resolver.reelhawk.test/") {
        EXPECT_EQ(loaded.front(), "Loaded " + url);
    } else {
        EXPECT_NE(loaded.front().find(" " + url), std::string::npos) << loaded.front();
    }
}

TEST_F(BrowserBoxTest, TheControlIsClosedAndReleasedWithTheWindow) {
    {
        test::TemplateWindow window(MainWindowTemplate());
        ASSERT_NE(window.Window(), nullptr);
        EXPECT_TRUE(test::LogLinesStartingWith(log_, {"Close", "Destroy"}).empty());
        EXPECT_TRUE(window.DestroyAndTakeQuit());
    }
    const auto ending = test::LogLinesStartingWith(
        log_, {"InPlaceDeactivate", "Close", "SetClientSite", "Destroy"});
    const std::vector<std::string> expected = {"SetClientSite set", "InPlaceDeactivate", "Close",
                                               "SetClientSite null", "Destroy"};
    EXPECT_EQ(ending, expected);
}

}  // namespace
}  // namespace rh
