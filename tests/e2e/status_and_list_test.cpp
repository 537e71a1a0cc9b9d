// The real reelhawk.exe under Wine: what its window says about the hidden page while it loads,
// and the result list's context menu (copy all, save) driven with real mouse and keys.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <functional>

#include "program_run.h"
#include "runtime/window_handle.h"
#include "test_pages.h"

namespace e2e {
namespace {

// A file whose presence makes the stand-in hold every page back after its download has begun.
class PageHold {
  public:
    explicit PageHold(const TempFolder& folder) : path_(folder.File("hold")) {}
    ~PageHold() { Release(); }
    const std::string& Path() const { return path_; }
    bool Engage() const { return WriteWholeFile(path_, "hold"); }
    void Release() const { DeleteFileA(path_.c_str()); }

  private:
    std::string path_;
};

// The cursor the system shows now: the foreground thread's (Wine gives it per thread input).
HCURSOR ShownCursor() {
    CURSORINFO info{};
    info.cbSize = sizeof info;
    return GetCursorInfo(&info) ? info.hCursor : nullptr;
}

class StatusAndListTest : public ::testing::Test {
  protected:
    // Resolves and harvests on the six-address web (made with SixAddressWeb into web_).
    void ListSixAddresses(ProgramRun& run, const wchar_t* videoPage);

    // What the window shows with the pointer on the button while its start page is held back,
    // and once the page has loaded.
    struct LoadStates {
        std::string loadingTip;
        HCURSOR loadingCursor = nullptr;
        std::string readyTip;
        HCURSOR readyCursor = nullptr;
    };
    // Starts the program with its start page held back, reads the loading state, lets the page
    // load and reads the ready state. Fails the test (fatally) where one of them is not seen.
    void WatchStartPageLoad(ProgramRun& run, PageHold& hold, LoadStates& states);

    TempFolder temp_{"reelhawk-status"};
    WebRoot web_;
    std::vector<std::string> addresses_;
};

TEST_F(StatusAndListTest, CursorAndButtonTipFollowThePageBeforeDuringAndAfterAResolve) {
    PageHold hold(temp_);
    ASSERT_TRUE(hold.Engage());
    ProgramRun run;
    // Start-up, page still loading: the busy-in-background cursor over the window and a tip
    // that says so; then the page arrives and the cursor goes back to the window's own, with
    // the pointer at rest.
    LoadStates states;
    ASSERT_NO_FATAL_FAILURE(WatchStartPageLoad(run, hold, states));
    const auto& [loadingTip, loadingCursor, readyTip, readyCursor] = states;
    EXPECT_EQ(run.Caption(), kResolveCaption);

    // A resolve whose answer is held back: loading again, the same cursor and tip as at start-up.
    ASSERT_TRUE(hold.Engage());
    run.TypeAddressAndPressEnter(L"http://video.example.test/v/status");
    ASSERT_TRUE(run.WaitForLogLines("Held", 1, 20000)) << "the answer was not held back";
    ASSERT_TRUE(WaitUntil([&] { return run.Caption() == kHarvestCaption; }, 5000));
    MoveMouseTo(CentreOf(run.Button()));
    EXPECT_EQ(WaitForButtonTip(run, [&](const std::string& t) { return t == loadingTip; }),
              loadingTip);
    EXPECT_TRUE(WaitUntil([&] { return ShownCursor() == loadingCursor; }, 5000));
    EXPECT_EQ(run.LogLines("Loaded").size(), 1u) << "the answer came although it was held";

    // The answer arrives: a tip of its own (the list can be fetched) and the normal cursor.
    hold.Release();
    ASSERT_TRUE(run.WaitForLogLines("Loaded", 1, 20000));
    EXPECT_TRUE(WaitUntil([&] { return ShownCursor() == readyCursor; }, 5000));
    const std::string fetchTip = WaitForButtonTip(
        run, [&](const std::string& t) { return t != loadingTip && t != readyTip; });
    EXPECT_NE(fetchTip, loadingTip);
    EXPECT_NE(fetchTip, readyTip);

    // After the harvest the tip gives the number of addresses listed.
    ASSERT_TRUE(run.HarvestAndWait());
    const std::string count = std::to_string(run.Items().size());
    ASSERT_FALSE(run.Items().empty());
    EXPECT_NE(WaitForButtonTip(
                  run, [&](const std::string& t) { return t.find(count) != std::string::npos; })
                  .find(count),
              std::string::npos);
    EXPECT_EQ(run.CloseWithEsc(), std::optional<DWORD>(0));
}

// A resolver that answers with a file to download, not a page: the navigation ends with neither
// a document nor an error, and the window must not go on saying that the page is loading.
TEST_F(StatusAndListTest, AnAnswerThatIsADownloadLeavesTheLoadingState) {
    if (!UnderChromium()) {
        GTEST_SKIP() << "the document model shows every answer as a page; Chromium downloads it";
    }
    ASSERT_TRUE(web_.PutStartPage(GbkPage(ResolverForm("answer.bin"))));
    ASSERT_TRUE(web_.Put(kResolverHost, "answer.bin", std::string("\x00\x01\x02 a file", 10)));
    PageHold hold(temp_);
    ASSERT_TRUE(hold.Engage());
    ProgramRun run(web_.Path());
    // What the window shows while a page loads, and once it has loaded.
    LoadStates states;
    ASSERT_NO_FATAL_FAILURE(WatchStartPageLoad(run, hold, states));
    const auto& [loadingTip, loadingCursor, readyTip, readyCursor] = states;

    // The form is sent and its answer downloaded; the resolving page stays shown.
    run.TypeAddressAndPressEnter(L"http://video.example.test/v/download");
    ASSERT_TRUE(run.WaitForLogLines("Download", 0, 20000)) << "the answer was not downloaded";
    ASSERT_TRUE(WaitUntil([&] { return run.Caption() == kHarvestCaption; }, 5000));
    MoveMouseTo(CentreOf(run.Button()));
    EXPECT_TRUE(WaitUntil([&] { return ShownCursor() == readyCursor; }, 5000))
        << "the cursor still says a page is loading";
    const std::string afterTip = WaitForButtonTip(
        run, [&](const std::string& t) { return t != loadingTip && t != readyTip; });
    EXPECT_NE(afterTip, loadingTip);
    EXPECT_NE(afterTip, readyTip) << "the tip does not say the list can be fetched";

    // A harvest (of the page still shown, which lists nothing) leaves it so.
    ASSERT_TRUE(run.HarvestAndWait());
    EXPECT_TRUE(run.Items().empty());
    EXPECT_NE(WaitForButtonTip(run, [&](const std::string& t) { return t != afterTip; }),
              loadingTip);
    EXPECT_TRUE(WaitUntil([&] { return ShownCursor() == readyCursor; }, 5000));
    EXPECT_EQ(run.LogLines("Loaded").size(), 1u);
    EXPECT_EQ(run.CloseWithEsc(), std::optional<DWORD>(0));
}

// A resolver whose answer lists six video addresses among ordinary links, and after them a
// seventh, `extra`, when one is given (its link's text names an .mp4 file).
std::string SixAddressWeb(WebRoot& web, std::vector<std::string>& addresses,
                          const std::string& extra = {}) {
    std::string links = Link("http://www.reelhawk.test/help.html", "help");
    for (int i = 1; i <= 6; ++i) {
        const std::string address =
            "http://media.reelhawk.test/part" + std::to_string(i) + (i % 2 ? ".flv" : ".mp4");
        addresses.push_back(address);
        links += Link(address, "part" + std::to_string(i) + (i % 2 ? ".flv" : ".mp4"));
    }
    if (!extra.empty()) {
        addresses.push_back(extra);
        links += Link(extra, "a.mp4");
    }
    if (!web.PutStartPage(GbkPage(ResolverForm("answer.html"))) ||
        !web.Put(kResolverHost, "answer.html", GbkPage(links))) {
        return "the test pages could not be written";
    }
    return {};
}

void StatusAndListTest::WatchStartPageLoad(ProgramRun& run, PageHold& hold, LoadStates& states) {
    run.SetEnvironment("REELHAWK_STANDIN_HOLD_FILE", hold.Path());
    ASSERT_EQ(run.Start(/*waitForPage=*/false), "");
    ASSERT_TRUE(run.WaitForLogLines("Held", 0, 20000)) << "the start page was not held back";
    ASSERT_TRUE(run.LogLines("Loaded").empty());

    ASSERT_TRUE(BringToFront(run.Window()));
    MoveMouseTo(CentreOf(run.Button()));
    states.loadingTip = WaitForButtonTip(run, [](const std::string&) { return true; });
    ASSERT_FALSE(states.loadingTip.empty()) << "the button shows no tip while the page loads";
    states.loadingCursor = ShownCursor();

    hold.Release();
    ASSERT_TRUE(run.WaitForLogLines("Loaded", 0, 20000));
    ASSERT_TRUE(WaitUntil([&] { return ShownCursor() != states.loadingCursor; }, 5000))
        << "the cursor stayed as it was while loading";
    states.readyCursor = ShownCursor();
    states.readyTip =
        WaitForButtonTip(run, [&](const std::string& t) { return t != states.loadingTip; });
    ASSERT_NE(states.readyTip, states.loadingTip);
}

void StatusAndListTest::ListSixAddresses(ProgramRun& run, const wchar_t* videoPage) {
    ASSERT_EQ(run.Start(), "");
    ASSERT_TRUE(run.ResolveAndWait(videoPage));
    ASSERT_TRUE(run.HarvestAndWait());
    ASSERT_EQ(run.Items(), addresses_);
}

// Opens the list's context menu with the right button on item `index` and picks the entry that
// `downs` presses of the Down key reach (separators are passed over by the menu itself).
void PickFromListMenu(ProgramRun& run, int index, int downs) {
    DWORD processId = 0;
    GetWindowThreadProcessId(run.Window(), &processId);
    ASSERT_TRUE(BringToFront(run.Window()));
    run.ScrollTo(index);
    RightClickAt(ListItemPoint(run.List(), index));
    ASSERT_NE(WaitForProcessWindow(processId, "#32768", nullptr, 5000), nullptr)
        << "no context menu appeared";
    for (int i = 0; i < downs; ++i) {
        PressKey(VK_DOWN);
    }
    PressKey(VK_RETURN);
}

TEST_F(StatusAndListTest, CopyAllFromTheMenuPutsEveryAddressOnItsOwnLine) {
    ASSERT_EQ(SixAddressWeb(web_, addresses_), "");
    ProgramRun run(web_.Path());
    ASSERT_NO_FATAL_FAILURE(ListSixAddresses(run, L"http://video.example.test/v/six"));
    ASSERT_TRUE(PutClipboardText("before copy all"));

    const DWORD before = ClipboardSequence();
    PickFromListMenu(run, 4, 2);  // 复制全部
    std::string expected;
    for (const std::string& a : addresses_) {
        expected += (expected.empty() ? "" : "\r\n") + a;
    }
    EXPECT_EQ(ClipboardTextAfter(before), std::optional<std::string>(expected));
    // The right click picked the item it was on; copy all left it so.
    EXPECT_EQ(ListSelection(run.List()), 4);
    EXPECT_TRUE(run.ShellRequests().empty());
    EXPECT_EQ(run.CloseWithEsc(), std::optional<DWORD>(0));
}

// Drives the Save As dialog: the file name typed, OK pressed, a question to replace a file
// answered yes.
bool SaveThroughDialog(DWORD processId, const std::string& path) {
    HWND dialog = WaitForProcessWindow(processId, "#32770", nullptr, 10000);
    if (dialog == nullptr) {
        return false;
    }
    // The file name box: the dialog's one edit box (inside the file name combo box).
    HWND name = nullptr;
    EnumChildWindows(
        dialog,
        [](HWND w, LPARAM found) -> BOOL {
            char className[16] = {};
            GetClassNameA(w, className, sizeof className);
            if (lstrcmpiA(className, "Edit") == 0 && IsWindowVisible(w)) {
                *reinterpret_cast<HWND*>(found) = w;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&name));
    if (name == nullptr) {
        return false;
    }
    SendMessageA(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    // The dialog goes, or asks whether to replace the file.
    return WaitUntil(
        [&] {
            if (!IsWindow(dialog) || !IsWindowVisible(dialog)) {
                return true;
            }
            for (HWND w : ProcessWindows(processId, "#32770")) {
                if (w != dialog && IsWindowVisible(w) && GetDlgItem(w, IDYES) != nullptr) {
                    PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED),
                                 reinterpret_cast<LPARAM>(GetDlgItem(w, IDYES)));
                }
            }
            return false;
        },
        10000, 50);
}

// A folder in which no file can be made or replaced (not even by root, who runs the tests here),
// through the Linux attribute "immutable"; undone at the end.
class LockedFolder {
  public:
    explicit LockedFolder(const std::string& windowsPath) : path_(windowsPath) {
        locked_ = Chattr("+i");
    }
    ~LockedFolder() {
        if (locked_) {
            Chattr("-i");
            // A probe made just as the folder became immutable could not be deleted then.
            DeleteFileA((path_ + "\\probe.tmp").c_str());
        }
    }
    bool Locked() const { return locked_; }

  private:
    bool Chattr(const char* change) const {
        // Wine tells where a Windows path lives on the Linux side, and starts a Linux program
        // given by its path.
        using UnixName = char* (*)(const wchar_t*);
        auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleA("kernel32"), "wine_get_unix_file_name")));
        if (unixName == nullptr) {
            return false;
        }
        char* folder = unixName(AcpToWide(path_).c_str());
        if (folder == nullptr) {
            return false;
        }
        const std::string arguments = std::string(change) + " " + folder;
        HeapFree(GetProcessHeap(), 0, folder);
        // Wine gives no handle to wait on for a Linux program: wait for its effect instead.
        ChildProcess chattr;
        if (!chattr.Start("Z:\\usr\\bin\\chattr", arguments, {})) {
            return false;
        }
        const bool lock = change[0] == '+';
        return WaitUntil([&] { return CanMakeFile() != lock; }, 10000);
    }

    bool CanMakeFile() const {
        const std::string probe = path_ + "\\probe.tmp";
        HANDLE file = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        CloseHandle(file);
        return true;
    }

    std::string path_;
    bool locked_ = false;
};

TEST_F(StatusAndListTest, SaveWritesTheListAndAFailedSaveLeavesTheOldFileAsItWas) {
    // The last item is a page's: its address holds a line break, and after it another address.
    ASSERT_EQ(
        SixAddressWeb(web_, addresses_,
                      "http://media.reelhawk.test/a.mp4\nhttp://evil.example.test/payload.exe"),
        "");
    ProgramRun run(web_.Path());
    ASSERT_NO_FATAL_FAILURE(ListSixAddresses(run, L"http://video.example.test/v/save"));
    DWORD processId = 0;
    GetWindowThreadProcessId(run.Window(), &processId);
    std::string lines;
    for (std::string a : addresses_) {
        std::erase(a, '\n');
        lines += a + "\r\n";
    }

    // Saved into a new file: the addresses, one per line, each as it is handed on (without line
    // breaks), so the file has as many lines as the list has items.
    const std::string target = temp_.File("addresses.txt");
    PickFromListMenu(run, 0, 3);  // 保存列表…
    ASSERT_TRUE(SaveThroughDialog(processId, target));
    EXPECT_TRUE(WaitUntil([&] { return ReadWholeFile(target) == lines; }, 5000))
        << ReadWholeFile(target);
    const std::string saved = ReadWholeFile(target);
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'),
              static_cast<std::ptrdiff_t>(run.Items().size()));

    // Into a folder where nothing can be written, over a file that is there: a message box
    // names the file, and the old file is untouched.
    const std::string lockedFolder = temp_.File("locked");
    ASSERT_TRUE(MakeFolders(lockedFolder));
    const std::string old = lockedFolder + "\\old.txt";
    ASSERT_TRUE(WriteWholeFile(old, "the old list\r\n"));
    {
        LockedFolder lock(lockedFolder);
        ASSERT_TRUE(lock.Locked()) << "could not make " << lockedFolder << " read-only";
        PickFromListMenu(run, 0, 3);
        ASSERT_TRUE(SaveThroughDialog(processId, old));
        HWND box = nullptr;
        ASSERT_TRUE(WaitUntil(
            [&] {
                for (HWND w : ProcessWindows(processId, "#32770")) {
                    if (IsWindowVisible(w) && GetDlgItem(w, 0xFFFF) != nullptr &&
                        WindowText(GetDlgItem(w, 0xFFFF)).find("old.txt") != std::string::npos) {
                        box = w;
                        return true;
                    }
                }
                return false;
            },
            10000))
            << "no message box named the file";
        EXPECT_NE(WindowText(GetDlgItem(box, 0xFFFF)).find(old), std::string::npos);
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        EXPECT_TRUE(WaitUntil([&] { return !IsWindow(box); }, 5000));
        EXPECT_EQ(ReadWholeFile(old), "the old list\r\n");
    }
    // Nothing was left behind in the folder.
    WIN32_FIND_DATAA found{};
    std::vector<std::string> files;
    HANDLE search = FindFirstFileA((lockedFolder + "\\*").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            files.push_back(found.cFileName);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    EXPECT_EQ(files, std::vector<std::string>{"old.txt"});
    EXPECT_EQ(run.CloseWithEsc(), std::optional<DWORD>(0));
}

}  // namespace
}  // namespace e2e
