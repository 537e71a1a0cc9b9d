// The guard itself: a test that shows a box nobody answers fails at once and names the box; a
// test that expects its box is left alone.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "dialog_guard.h"

namespace {

constexpr wchar_t kProbeCaption[] = L"错误";
constexpr wchar_t kProbeMessage[] = L"运行时出错!\n探针消息";

// The guard reports in UTF-8; narrow literals here are in the program's code page.
std::string Utf8(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

HWND FindProbeBox() {
    return FindWindowW(L"#32770", kProbeCaption);
}

// Runs in a child process only (disabled in the normal run): shows a box and waits for a click.
TEST(DialogGuardProbe, DISABLED_ShowsAMessageBoxNobodyAnswers) {
    MessageBoxW(nullptr, kProbeMessage, kProbeCaption, MB_OK | MB_ICONERROR);
    FAIL() << "the message box was answered";
}

struct ChildRun {
    DWORD exitCode = STILL_ACTIVE;
    std::string output;
};

// This program once more, running only the probe, with its standard output read back.
ChildRun RunProbe(DWORD timeoutMs) {
    ChildRun run;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        return run;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring command = std::wstring(L"\"") + exe +
                           L"\" --gtest_filter=DialogGuardProbe.* --gtest_also_run_disabled_tests";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION child{};
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &child);
    CloseHandle(writeEnd);
    if (started) {
        // Read on a thread of its own, so a child that never ends cannot stop the time-out.
        std::thread reader([&] {
            char buffer[4096];
            DWORD got = 0;
            while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
                run.output.append(buffer, got);
            }
        });
        if (WaitForSingleObject(child.hProcess, timeoutMs) != WAIT_OBJECT_0) {
            TerminateProcess(child.hProcess, 99);
            WaitForSingleObject(child.hProcess, 10000);
        } else {
            GetExitCodeProcess(child.hProcess, &run.exitCode);
        }
        reader.join();
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
    }
    CloseHandle(readEnd);
    return run;
}

TEST(DialogGuard, EndsATestThatShowsAnUnexpectedBoxAndNamesIt) {
    // A minute is far more than the guard needs and far less than ctest's time-out.
    const ChildRun run = RunProbe(60000);
    ASSERT_NE(run.exitCode, static_cast<DWORD>(STILL_ACTIVE))
        << "the probe still waited for a click after a minute:\n"
        << run.output;
    EXPECT_NE(run.exitCode, 0u);
    EXPECT_NE(run.output.find("DialogGuardProbe.DISABLED_ShowsAMessageBoxNobodyAnswers"),
              std::string::npos)
        << run.output;
    // Caption and message, in UTF-8 for the log.
    EXPECT_NE(run.output.find(Utf8(u8"\"错误\"")), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(Utf8(u8"探针消息")), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("the message box was answered"), std::string::npos) << run.output;
}

TEST(DialogGuard, LeavesABoxTheTestExpectsAlone) {
    rh::test::ExpectDialogs expected;
    std::thread shows([] { MessageBoxW(nullptr, kProbeMessage, kProbeCaption, MB_OK); });
    HWND box = nullptr;
    for (int i = 0; i < 500 && box == nullptr; ++i) {
        Sleep(20);
        box = FindProbeBox();
    }
    ASSERT_NE(box, nullptr);
    // Several of the guard's looks go by while the box is up; the process is still here after.
    Sleep(1000);
    EXPECT_TRUE(IsWindow(box));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    shows.join();
}

}  // namespace
