// The whole chain on this machine: the real reelhawk.exe goes to its built-in resolving page, which
// the stand-in browser takes from our resolver service, which resolves pages of the sample video
// site with yt-dlp. chain.sh starts the site and the service and says where they are:
//   REELHAWK_CHAIN_SITE     the sample site's address, ending in "/"
//   REELHAWK_CHAIN_DIR      a folder with expect-<page>: the files the page shows, one per line
//   REELHAWK_CHAIN_OPENED   where to write the address the shell was asked to open (chain.sh
//                           fetches it and compares the bytes with the sample file)
//   REELHAWK_CHAIN_STOP     a file that, once written, makes chain.sh kill the service; it is
//                           deleted when the service has gone
// An address opened on another page is written to opened-<page> in REELHAWK_CHAIN_DIR: chain.sh
// fetches it too (a merged file must hold picture and sound).
#include <gtest/gtest.h>

#include <windows.h>

#include "program_run.h"

namespace e2e {
namespace {

std::string Setting(const char* name) {
    char value[MAX_PATH * 2] = {};
    const DWORD got = GetEnvironmentVariableA(name, value, sizeof value);
    return got > 0 && got < sizeof value ? value : std::string();
}

std::string HostFile(const char* setting, const std::string& name = {}) {
    const std::string folder = Setting(setting);
    return folder.empty() ? folder : HostToWindowsPath(name.empty() ? folder : folder + "/" + name);
}

// "没有找到下载地址", the button's tip after a harvest that listed nothing, in GBK.
const std::string kNothingFoundTip = WideToGbk(L"\u6ca1\u6709\u627e\u5230\u4e0b\u8f7d\u5730\u5740");

class ChainTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(Setting("REELHAWK_CHAIN_SITE").empty())
            << "run by chain.sh, which starts the sample site and the resolver service";
        ASSERT_FALSE(Setting("REELHAWK_STANDIN_UPSTREAM").empty());
    }

    static std::wstring PageAddress(const std::string& page) {
        return Utf8ToWide(Setting("REELHAWK_CHAIN_SITE") + page);
    }

    // The addresses of the files the sample page shows, in page order.
    static std::vector<std::string> Expected(const std::string& page) {
        std::vector<std::string> files;
        for (const std::string& path :
             ReadLines(HostFile("REELHAWK_CHAIN_DIR", "expect-" + page))) {
            files.push_back(Setting("REELHAWK_CHAIN_SITE") + path.substr(1));
        }
        return files;
    }

    // Starts the program; its resolving page must have come from the service.
    static void StartOnTheService(ProgramRun& run) {
        ASSERT_EQ(run.Start(), "");
        ASSERT_FALSE(run.LogLines("Upstream").empty())
            << "the resolving page was not the service's";
    }

    // Types the page's address, presses Enter, waits for the service's answer, presses the
    // button: the list.
    static std::vector<std::string> Harvest(ProgramRun& run, const std::string& page) {
        EXPECT_TRUE(run.ResolveAndWait(PageAddress(page), 60000)) << page << ": no answer";
        EXPECT_TRUE(run.HarvestAndWait()) << page;
        return run.Items();
    }

    static void ExpectNothingListedAndTheTipSaysSo(ProgramRun& run, const char* when) {
        EXPECT_TRUE(run.Items().empty()) << when;
        EXPECT_EQ(WaitForButtonTip(run, [](const std::string& t) { return t == kNothingFoundTip; }),
                  kNothingFoundTip)
            << when;
        EXPECT_TRUE(ProcessWindows(run.ProcessId(), "#32770").empty()) << when << ": a dialog";
        EXPECT_TRUE(run.Running()) << when;
    }
};

TEST_F(ChainTest, AOneVideoPageListsExactlyItsFileAndADoubleClickOpensIt) {
    ProgramRun run;
    StartOnTheService(run);
    const std::vector<std::string> items = Harvest(run, "one.html");
    ASSERT_EQ(items, Expected("one.html"));
    run.DoubleClickItem(0);
    ASSERT_TRUE(WaitUntil([&] { return !run.ShellRequests().empty(); }, 10000));
    EXPECT_EQ(run.ShellRequests(), std::vector<std::string>{items[0]});
    EXPECT_TRUE(WriteWholeFile(HostFile("REELHAWK_CHAIN_OPENED"), run.ShellRequests()[0]));
    EXPECT_EQ(run.CloseWithEsc(), 0u);
}

TEST_F(ChainTest, TwoVideosComeInPageOrderAndAnHlsStreamAsItsPlaylist) {
    ProgramRun run;
    StartOnTheService(run);
    EXPECT_EQ(Harvest(run, "two.html"), Expected("two.html"));
    const std::vector<std::string> hls = Harvest(run, "hls.html");
    EXPECT_EQ(hls, Expected("hls.html"));
    ASSERT_EQ(hls.size(), 1u);
    EXPECT_TRUE(hls[0].ends_with(".m3u8"));
    EXPECT_EQ(run.CloseWithEsc(), 0u);
}

// A file whose host wants the site's Referer comes through the service's own address; a video
// whose picture and sound come apart is listed merged, first. Each is opened.
TEST_F(ChainTest, AProtectedFileComesThroughTheServiceAndPictureAndSoundMergedFirst) {
    ProgramRun run;
    StartOnTheService(run);
    const struct {
        std::string page;
        std::size_t listed;  // the picture's own file after the merged one
        const char* path;    // of the first address
        const char* ends;
    } cases[] = {{"hotlink.html", 1, "/t/", ".mp4"}, {"dash.html", 2, "/m/", "merged.mp4"}};
    std::size_t opened = 0;
    for (const auto& c : cases) {
        const std::vector<std::string> items = Harvest(run, c.page);
        ASSERT_EQ(items.size(), c.listed) << c.page;
        EXPECT_NE(items[0].find(c.path), std::string::npos) << items[0];
        EXPECT_TRUE(items[0].ends_with(c.ends)) << items[0];
        run.DoubleClickItem(0);
        ASSERT_TRUE(WaitUntil([&] { return run.ShellRequests().size() > opened; }, 10000));
        opened = run.ShellRequests().size();
        EXPECT_EQ(run.ShellRequests().back(), items[0]);
        EXPECT_TRUE(WriteWholeFile(HostFile("REELHAWK_CHAIN_DIR", "opened-" + c.page),
                                   run.ShellRequests().back()));
        // chain.sh fetches it while the service runs.
        const std::string checked = HostFile("REELHAWK_CHAIN_DIR", "checked-" + c.page);
        EXPECT_TRUE(WaitUntil(
            [&] { return GetFileAttributesA(checked.c_str()) != INVALID_FILE_ATTRIBUTES; }, 45000,
            100))
            << "chain.sh did not fetch " << items[0];
    }
    EXPECT_EQ(run.CloseWithEsc(), 0u);
}

TEST_F(ChainTest, NoVideoAndNoServiceListNothingAndTheTipSaysSo) {
    ASSERT_TRUE(Expected("none.html").empty());
    ProgramRun run;
    StartOnTheService(run);
    Harvest(run, "none.html");
    ExpectNothingListedAndTheTipSaysSo(run, "a page without video");

    // The service goes away before the next press.
    const std::string stop = HostFile("REELHAWK_CHAIN_STOP");
    ASSERT_TRUE(WriteWholeFile(stop, "stop"));
    ASSERT_TRUE(WaitUntil(
        [&] { return GetFileAttributesA(stop.c_str()) == INVALID_FILE_ATTRIBUTES; }, 45000, 100))
        << "the service was not stopped";
    const std::size_t answers = run.LogLines("Loaded").size() + run.LogLines("NotFound").size();
    run.TypeAddressAndPressEnter(PageAddress("one.html"));
    // The browser gives up on the page (or shows its own error page).
    EXPECT_TRUE(WaitUntil(
        [&] { return run.LogLines("Loaded").size() + run.LogLines("NotFound").size() > answers; },
        30000, 100));
    EXPECT_TRUE(run.HarvestAndWait());
    ExpectNothingListedAndTheTipSaysSo(run, "without the service");
    EXPECT_EQ(run.CloseWithEsc(), 0u);
}

}  // namespace
}  // namespace e2e
