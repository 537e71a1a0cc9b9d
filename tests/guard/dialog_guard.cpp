#include "dialog_guard.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>

namespace rh::test {
namespace {

constexpr UINT kExitCode = 3;
constexpr DWORD kLookEveryMs = 200;

std::atomic<int> g_expected{0};

std::string Utf8(const std::wstring& wide) {
    if (wide.empty()) {
        return {};
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::wstring TextOf(HWND window) {
    // The box belongs to a thread of this process that sits in the box's own message loop, so
    // it answers; the time-out only guards against a thread that stopped pumping.
    wchar_t buffer[4096] = {};
    DWORD_PTR got = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, ARRAYSIZE(buffer), reinterpret_cast<LPARAM>(buffer),
                        SMTO_ABORTIFHUNG, 2000, &got);
    return buffer;
}

BOOL CALLBACK FindOwnDialog(HWND window, LPARAM found) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t className[16] = {};
    GetClassNameW(window, className, ARRAYSIZE(className));
    if (process != GetCurrentProcessId() || !IsWindowVisible(window) ||
        lstrcmpW(className, L"#32770") != 0) {
        return TRUE;
    }
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

// The texts of the box's static controls: the message of a message box.
std::string DialogText(HWND box) {
    std::string text;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[16] = {};
        GetClassNameW(child, className, ARRAYSIZE(className));
        const std::string line = Utf8(TextOf(child));
        if (lstrcmpiW(className, L"Static") == 0 && !line.empty()) {
            text += (text.empty() ? "" : " | ") + line;
        }
    }
    return text;
}

[[noreturn]] void FailFor(HWND box) {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::fprintf(stdout,
                 "\n[  FAILED  ] %s%s%s: an unexpected dialog box \"%s\" appeared: %s\n"
                 "[  FAILED  ] ended at once instead of waiting for a click\n",
                 test ? test->test_suite_name() : "", test ? "." : "", test ? test->name() : "",
                 Utf8(TextOf(box)).c_str(), DialogText(box).c_str());
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), kExitCode);
    ExitProcess(kExitCode);
}

DWORD WINAPI Watch(void*) {
    for (;;) {
        Sleep(kLookEveryMs);
        if (g_expected.load() > 0) {
            continue;
        }
        HWND box = nullptr;
        EnumWindows(FindOwnDialog, reinterpret_cast<LPARAM>(&box));
        if (box != nullptr && g_expected.load() == 0) {
            FailFor(box);
        }
    }
}

// Started before main, so the guard covers every test of the program.
struct StartWatching {
    StartWatching() {
        if (HANDLE thread = CreateThread(nullptr, 0, Watch, nullptr, 0, nullptr)) {
            CloseHandle(thread);
        }
    }
} g_startWatching;

}  // namespace

ExpectDialogs::ExpectDialogs() {
    ++g_expected;
}

ExpectDialogs::~ExpectDialogs() {
    --g_expected;
}

}  // namespace rh::test
