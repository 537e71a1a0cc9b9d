// The runtime errors for real: a child process commits one, the test finds the message box it
// shows, reads it, presses OK and checks how the process ended.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr DWORD kPatienceMs = 60000;

std::string HelperPath() {
    char path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string self(path, n);
    return self.substr(0, self.find_last_of("\\/") + 1) + "reelhawk_fatal_helper.exe";
}

std::string MarkerPath(const char* name) {
    char dir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, dir);
    return std::string(dir) + "reelhawk_fatal_" + std::to_string(GetCurrentProcessId()) + "_" +
           name;
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ClassOf(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

// UTF-16 as GBK, the program's own code page, whatever the system's is.
std::string Gbk(const wchar_t* wide, std::size_t length) {
    if (length == 0) {
        return {};
    }
    const int n =
        WideCharToMultiByte(936, 0, wide, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    WideCharToMultiByte(936, 0, wide, static_cast<int>(length), text.data(), n, nullptr, nullptr);
    return text;
}

// The text of a window of another process, read in UTF-16 and given in GBK; WM_GETTEXT is
// carried across for us.
std::string TextOf(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) {
        return "<no answer>";
    }
    std::vector<wchar_t> buffer(length + 1);
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                        SMTO_ABORTIFHUNG, 5000, &copied);
    return Gbk(buffer.data(), std::min<std::size_t>(copied, buffer.size() - 1));
}

struct BoxSearch {
    DWORD processId;
    HWND box = nullptr;
};

BOOL CALLBACK FindBox(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<BoxSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && IsWindowVisible(window) && ClassOf(window) == "#32770") {
        search->box = window;
        return FALSE;
    }
    return TRUE;
}

struct BoxContents {
    std::vector<HWND> texts;    // static controls that show text
    std::vector<HWND> icons;    // static controls that show an icon
    std::vector<HWND> buttons;  // visible buttons
};

BOOL CALLBACK CollectControls(HWND child, LPARAM param) {
    auto* contents = reinterpret_cast<BoxContents*>(param);
    const std::string cls = ClassOf(child);
    const LONG style = GetWindowLongA(child, GWL_STYLE);
    if (lstrcmpiA(cls.c_str(), "Static") == 0) {
        if ((style & SS_TYPEMASK) == SS_ICON) {
            contents->icons.push_back(child);
        } else if (!TextOf(child).empty()) {
            contents->texts.push_back(child);
        }
    } else if (lstrcmpiA(cls.c_str(), "Button") == 0 && IsWindowVisible(child)) {
        contents->buttons.push_back(child);
    }
    return TRUE;
}

struct Outcome {
    bool boxShown = false;
    std::string caption;
    std::string text;
    int buttonCount = 0;
    int okButtonId = 0;
    int iconCount = 0;
    DWORD exitCode = 0;
    bool exited = false;
    bool exitRoutineRan = false;
};

// Starts the helper with the given arguments, reads its message box (if one comes), presses OK
// and waits for the process to end.
Outcome RunHelper(const std::string& arguments, const char* markerName) {
    Outcome outcome;
    const std::string marker = MarkerPath(markerName);
    DeleteFileA(marker.c_str());
    std::string commandLine = "\"" + HelperPath() + "\" " + arguments + " \"" + marker + "\"";

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        ADD_FAILURE() << "cannot start " << commandLine << ": error " << GetLastError();
        return outcome;
    }

    BoxSearch search{process.dwProcessId};
    const ULONGLONG deadline = GetTickCount64() + kPatienceMs;
    while (search.box == nullptr && GetTickCount64() < deadline) {
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
        if (search.box == nullptr && WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) {
            break;  // ended without a box
        }
    }

    if (search.box != nullptr) {
        outcome.boxShown = true;
        outcome.caption = TextOf(search.box);
        BoxContents contents;
        EnumChildWindows(search.box, CollectControls, reinterpret_cast<LPARAM>(&contents));
        if (contents.texts.size() == 1) {
            outcome.text = TextOf(contents.texts[0]);
        }
        outcome.iconCount = static_cast<int>(contents.icons.size());
        outcome.buttonCount = static_cast<int>(contents.buttons.size());
        if (!contents.buttons.empty()) {
            outcome.okButtonId = GetDlgCtrlID(contents.buttons[0]);
            DWORD_PTR ignored = 0;
            SendMessageTimeoutA(contents.buttons[0], BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000,
                                &ignored);
        }
    }

    if (WaitForSingleObject(process.hProcess, kPatienceMs) == WAIT_OBJECT_0) {
        outcome.exited = true;
        GetExitCodeProcess(process.hProcess, &outcome.exitCode);
    } else {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, kPatienceMs);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    outcome.exitRoutineRan = FileExists(marker);
    DeleteFileA(marker.c_str());
    return outcome;
}

void ExpectFatalReport(const Outcome& outcome, const std::string& expectedText) {
    ASSERT_TRUE(outcome.boxShown) << "no message box; exit code " << outcome.exitCode;
    EXPECT_EQ(outcome.caption, "错误");
    EXPECT_EQ(outcome.text, expectedText);
    EXPECT_EQ(outcome.iconCount, 1) << "the box shows the error icon";
    EXPECT_EQ(outcome.buttonCount, 1) << "the box has an OK button only";
    EXPECT_EQ(outcome.okButtonId, IDOK);
    ASSERT_TRUE(outcome.exited) << "still running after OK was pressed";
    EXPECT_EQ(outcome.exitCode, 0xFFFFFFFFu);
    EXPECT_FALSE(outcome.exitRoutineRan) << "the program's exit routine ran after the error";
}

TEST(FatalPath, MemberAboveTheCountIsError1) {
    ExpectFatalReport(RunHelper("index-above", "above"),
                      "运行时出错!\r\n\r\n错误代码：1\r\n\r\n"
                      "错误信息：数组成员引用下标超出定义范围\r\n");
}

TEST(FatalPath, MemberZeroIsError4) {
    ExpectFatalReport(RunHelper("index-below", "below"),
                      "运行时出错!\r\n\r\n错误代码：4\r\n\r\n"
                      "错误信息：数组成员引用下标必须大于等于1\r\n");
}

TEST(FatalPath, AllocationFailureHasNoCode) {
    // 2^62 bytes: more than any 64-bit Windows address space holds.
    ExpectFatalReport(RunHelper("alloc 4611686018427387904", "alloc"),
                      "运行时出错!\r\n\r\n错误信息：分配 4611686018427387904 字节内存失败!\r\n");
}

// The marker is what tells that the exit routine was skipped; make sure it is written when the
// helper ends normally.
TEST(FatalPath, HelperExitRoutineRunsOnANormalEnd) {
    const Outcome outcome = RunHelper("no-such-error", "normal");
    EXPECT_FALSE(outcome.boxShown);
    ASSERT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 2u);
    EXPECT_TRUE(outcome.exitRoutineRan);
}

}  // namespace
