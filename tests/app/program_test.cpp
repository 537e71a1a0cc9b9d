// Start and end of real processes: reelhawk.exe itself, and a program built the same way whose
// template or window is made to fail.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/browser_host.h"
#include "tests/app/standin_check.h"
#include "tests/app/test_support.h"
#include "runtime/window_handle.h"

namespace rh {
namespace {

using test::ChildProcess;

constexpr DWORD kRuntimeErrorExit = 0xFFFFFFFF;

std::string Quoted(const std::string& s) {
    return "\"" + s + "\"";
}

std::string ReelhawkExe() {
    return test::WindowsPath(REELHAWK_EXE);
}
std::string ChildExe() {
    return test::WindowsPath(PROGRAM_CHILD_EXE);
}

// The runtime error box of a process: its text, after which OK is pressed. Empty if none came.
std::string AnswerErrorBox(ChildProcess& child) {
    HWND box = child.WaitForWindow("#32770", "错误", 20000);
    if (box == nullptr) {
        return "";
    }
    std::string text;
    for (HWND w : test::Descendants(box)) {
        if (test::ClassOf(w) == "Static" && test::TextOf(w).find("运行时出错!") == 0) {
            text = test::TextOf(w);
        }
    }
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    return text;
}

TEST(ReelhawkExe, OpensCentredLoadsTheResolverAndClosesOnEscape) {
    const std::string log = test::TemporaryFile("rhp");
    SetEnvironmentVariableA("REELHAWK_STANDIN_LOG", log.c_str());
    ChildProcess program(Quoted(ReelhawkExe()));
    ASSERT_TRUE(program.Started()) << ReelhawkExe();
    HWND window = program.WaitForWindow("ReelhawkWindow", "Reelhawk 1.0");
    ASSERT_NE(window, nullptr);

    RECT r{};
    GetWindowRect(window, &r);
    const int cx = GetSystemMetrics(SM_CXSCREEN), cy = GetSystemMetrics(SM_CYSCREEN);
    EXPECT_EQ(r.left, (cx - 493) / 2);
    EXPECT_EQ(r.top, (cy - 231) / 2);
    EXPECT_EQ(r.right - r.left, 493);
    EXPECT_EQ(r.bottom - r.top, 231);
    if (cx == 1024 && cy == 768) {
        EXPECT_EQ(r.left, 265);
        EXPECT_EQ(r.top, 268);
    }
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_TRUE(GetWindowLongPtrA(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    std::vector<HWND> boxes;
    for (HWND w : test::Descendants(window)) {
        if (test::ClassOf(w) == "ReelhawkBrowserBox") {
            boxes.push_back(w);
        }
    }
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_FALSE(IsWindowVisible(boxes[0]));
    EXPECT_EQ(rh::WindowHandleValue(GetParent(boxes[0])), rh::WindowHandleValue(window));

    if (test::StandInRegistered()) {
        std::vector<std::string> calls;
        const ULONGLONG end = GetTickCount64() + 20000;
        while (GetTickCount64() < end) {
            calls = test::LogLinesStartingWith(
                log, {"put_Offline", "put_Silent", "ExecWB", "Navigate", "Navigate2"});
            if (calls.size() >= 4) {
                break;
            }
            Sleep(50);
        }
        const std::vector<std::string> expected = {
            "put_Offline 0", "put_Silent -1", "ExecWB 19 2 VT_I4:2",
            std::string("Navigate ") + REELHAWK_RESOLVER_URL + " flags=0"};
        EXPECT_EQ(calls, expected);
        EXPECT_NE(GetDlgItem(boxes[0], kBrowserControlId), nullptr);
    } else {
        std::printf("[ note ] stand-in browser not registered: its call log is not checked\n");
    }

    PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 1);
    EXPECT_EQ(program.Wait(), 0u);
    if (test::StandInRegistered()) {
        const auto ending = test::LogLinesStartingWith(log, {"Close", "Destroy"});
        EXPECT_EQ(ending, (std::vector<std::string>{"Close", "Destroy"}));
    }
}

TEST(ReelhawkExe, CarriesItsIconAtThreeSizesOf32Bits) {
    HMODULE exe = LoadLibraryExA(ReelhawkExe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(exe, nullptr) << ReelhawkExe();
    HRSRC group = FindResourceA(exe, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(14));  // RT_GROUP_ICON
    ASSERT_NE(group, nullptr);
    const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(exe, group)));
    ASSERT_NE(data, nullptr);
    WORD count = 0;
    std::memcpy(&count, data + 4, 2);
    ASSERT_EQ(count, 3);
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        const BYTE* entry = data + 6 + 14 * i;  // GRPICONDIRENTRY
        WORD bits = 0, id = 0;
        std::memcpy(&bits, entry + 6, 2);
        std::memcpy(&id, entry + 12, 2);
        EXPECT_EQ(bits, 32);
        sizes.push_back(entry[0]);
        HRSRC image = FindResourceA(exe, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(3));  // RT_ICON
        ASSERT_NE(image, nullptr);
        BITMAPINFOHEADER header;
        std::memcpy(&header, LockResource(LoadResource(exe, image)), sizeof(header));
        EXPECT_EQ(header.biBitCount, 32);
        EXPECT_EQ(header.biWidth, entry[0]);
        EXPECT_EQ(header.biHeight, 2 * entry[0]);
    }
    EXPECT_EQ(sizes, (std::vector<int>{32, 24, 16}));
    FreeLibrary(exe);
}

TEST(ProgramLifetime, EndRoutineRunsOnceAfterTheWindowIsGone) {
    const std::string results = test::TemporaryFile("rhc");
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);  // started elsewhere: start-up moves to its own folder
    ChildProcess child(Quoted(ChildExe()) + " ok " + Quoted(results), temp);
    HWND window = child.WaitForWindow("ReelhawkWindow", "program child");
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(test::ReadLines(results), std::vector<std::string>{"globals in-program-folder"});
    HWND edit = FindWindowExA(window, nullptr, "Edit", nullptr);
    ASSERT_NE(edit, nullptr);
    PostMessageA(edit, WM_KEYDOWN, VK_ESCAPE, 1);
    EXPECT_EQ(child.Wait(), 0u);
    EXPECT_EQ(test::ReadLines(results),
              (std::vector<std::string>{"globals in-program-folder", "end window-gone"}));
}

TEST(ProgramLifetime, AnUnreadableTemplateIsAFatalErrorBeforeAnythingElse) {
    const std::string results = test::TemporaryFile("rhc");
    ChildProcess child(Quoted(ChildExe()) + " bad-template " + Quoted(results));
    const std::string text = AnswerErrorBox(child);
    EXPECT_EQ(text.find("运行时出错!"), 0u) << text;
    EXPECT_NE(text.find("错误信息：载入窗口模板数据段出错!"), std::string::npos) << text;
    EXPECT_EQ(text.find("错误代码"), std::string::npos) << "code 0 is not shown";
    EXPECT_EQ(child.Wait(), kRuntimeErrorExit);
    EXPECT_TRUE(test::ReadLines(results).empty()) << "no globals, no end routine";
}

TEST(ProgramLifetime, AWindowThatCannotBeMadeIsAFatalErrorWithoutTheEndRoutine) {
    const std::string results = test::TemporaryFile("rhc");
    ChildProcess child(Quoted(ChildExe()) + " no-window " + Quoted(results));
    const std::string text = AnswerErrorBox(child);
    EXPECT_NE(text.find("错误信息：载入启动窗口失败"), std::string::npos) << text;
    EXPECT_EQ(child.Wait(), kRuntimeErrorExit);
    EXPECT_EQ(test::ReadLines(results), std::vector<std::string>{"globals in-program-folder"});
}

TEST(ProgramLifetime, AComponentThatCannotBeMadeTakesTheHalfBuiltWindowDown) {
    const std::string results = test::TemporaryFile("rhc");
    ChildProcess child(Quoted(ChildExe()) + " no-component " + Quoted(results));
    HWND box = child.WaitForWindow("#32770", "错误", 20000);
    ASSERT_NE(box, nullptr) << "the box stays up (no quit message cut it short)";
    EXPECT_EQ(child.FindWindowOf("ReelhawkWindow"), nullptr);
    const std::string text = AnswerErrorBox(child);
    EXPECT_NE(text.find("错误信息：载入启动窗口失败"), std::string::npos) << text;
    EXPECT_EQ(child.Wait(), kRuntimeErrorExit);
    EXPECT_EQ(test::ReadLines(results), std::vector<std::string>{"globals in-program-folder"});
}

}  // namespace
}  // namespace rh

namespace rh {
namespace {

// A string of the version resource's first translation; empty when missing.
std::wstring VersionString(const std::vector<char>& block, const wchar_t* name) {
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translations = nullptr;
    UINT size = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translations), &size) ||
        size < sizeof(Translation)) {
        return {};
    }
    wchar_t path[128];
    swprintf(path, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translations[0].language,
             translations[0].codePage, name);
    wchar_t* value = nullptr;
    if (!VerQueryValueW(block.data(), path, reinterpret_cast<void**>(&value), &size) ||
        value == nullptr) {
        return {};
    }
    return std::wstring(value, size > 0 ? size - 1 : 0);
}

// What Explorer's properties of reelhawk.exe show, read back as Explorer reads it.
TEST(ProgramFile, VersionResourceReadsBackWithProductVersionAndDescription) {
    const std::string narrow = ReelhawkExe();
    std::wstring exe(narrow.size() + 1, L'\0');
    exe.resize(static_cast<std::size_t>(MultiByteToWideChar(
                   CP_ACP, 0, narrow.c_str(), -1, exe.data(), static_cast<int>(exe.size()))) -
               1);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    ASSERT_GT(size, 0u) << "reelhawk.exe has no version resource";
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize));
    ASSERT_EQ(fixed->dwSignature, VS_FFI_SIGNATURE);
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(0, 1));  // 1.0
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(0, 1));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    EXPECT_EQ(VersionString(block, L"ProductName"), L"Reelhawk");
    EXPECT_EQ(VersionString(block, L"ProductVersion"), L"1.0");
    EXPECT_EQ(VersionString(block, L"FileVersion"), L"1.0");
    EXPECT_EQ(VersionString(block, L"OriginalFilename"), L"reelhawk.exe");
    EXPECT_FALSE(VersionString(block, L"FileDescription").empty());
    EXPECT_NE(VersionString(block, L"LegalCopyright").find(L"Copyright"), std::wstring::npos);

    // The icon is still there beside it.
    HMODULE image = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    EXPECT_NE(FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14)),
              nullptr);  // RT_GROUP_ICON
    FreeLibrary(image);
}

}  // namespace
}  // namespace rh
