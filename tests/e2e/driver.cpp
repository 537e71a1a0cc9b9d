// Drives a running Reelhawk window as a person would, with real keyboard and mouse input.
//
//   reelhawk_driver harvest <video-page address>
//       Finds the window titled "Reelhawk 1.0", waits for the resolving page, clicks into the
//       address box, types the address, presses Enter, waits for the resolver's answer, clicks
//       the button, waits for the list and prints its items, one per line (UTF-8). Then selects
//       the first item and rests the mouse on the list, so the tip shows it. Exit code 0 when
//       the list holds at least one address.
//   reelhawk_driver open <n>
//       Double-clicks the list's item n (from 0), as a person does to open an address, and
//       prints what the shell was asked to open (UTF-8) once the file named by
//       REELHAWK_SHELL_RECORD (the tests' shell recorder) has it. Exit code 0 when it has.
//   reelhawk_driver close
//       Presses Esc in the window.
//
// When REELHAWK_STANDIN_LOG names the stand-in browser's log, the waits watch it for the pages
// to arrive; otherwise they wait as long as a person would.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

constexpr DWORD kPageTimeoutMs = 20000;

void Say(const std::string& text) {
    std::fprintf(stderr, "[driver] %s\n", text.c_str());
}

std::string LogPath() {
    char path[MAX_PATH * 2] = {};
    const DWORD got = GetEnvironmentVariableA("REELHAWK_STANDIN_LOG", path, sizeof path);
    return got > 0 && got < sizeof path ? e2e::HostToWindowsPath(path) : std::string();
}

// Waits for a "Loaded" line of the stand-in's log after the first `after` lines; returns the
// number of lines then. Without a log, waits a few seconds.
std::size_t WaitForPage(const std::string& log, std::size_t after, const char* what) {
    if (log.empty()) {
        Sleep(3000);
        return 0;
    }
    std::size_t lines = after;
    const bool loaded = e2e::WaitUntil(
        [&] {
            const auto all = e2e::ReadLines(log);
            for (std::size_t i = after; i < all.size(); ++i) {
                if (all[i].rfind("Loaded ", 0) == 0) {
                    lines = all.size();
                    return true;
                }
            }
            return false;
        },
        kPageTimeoutMs, 100);
    Say(std::string(loaded ? "page arrived: " : "no page arrived in time: ") + what);
    return lines;
}

HWND FindProgramWindow() {
    HWND window = nullptr;
    e2e::WaitUntil(
        [&] {
            window = FindWindowA(nullptr, e2e::kWindowTitle);
            return window != nullptr && IsWindowVisible(window);
        },
        kPageTimeoutMs, 100);
    return window;
}

int Harvest(const std::string& address) {
    HWND window = FindProgramWindow();
    if (window == nullptr) {
        Say("no window titled Reelhawk 1.0");
        return 1;
    }
    HWND edit = e2e::FindChildOfClass(window, "Edit");
    HWND button = e2e::FindChildOfClass(window, "Button");
    HWND list = e2e::FindChildOfClass(window, "ListBox");
    if (edit == nullptr || button == nullptr || list == nullptr) {
        Say("the window lacks its address box, button or list");
        return 1;
    }
    const std::string log = LogPath();
    std::size_t seen = WaitForPage(log, 0, "the resolving page");

    e2e::BringToFront(window);
    SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));  // an earlier address
    e2e::ClickAt(e2e::CentreOf(edit));
    Sleep(200);
    e2e::TypeText(e2e::AcpToWide(address));
    Sleep(200);
    e2e::PressKey(VK_RETURN);
    Say("typed the address and pressed Enter; the button now reads " +
        e2e::GbkToUtf8(e2e::WindowText(button)));
    WaitForPage(log, seen, "the resolver's answer");
    Sleep(500);

    e2e::ClickAt(e2e::CentreOf(button));
    e2e::WaitUntil([&] { return e2e::WindowText(button) == "跳转"; }, kPageTimeoutMs, 100);
    const auto items = e2e::ListItems(list);
    Say("pressed the button; " + std::to_string(items.size()) + " addresses listed");
    for (const std::string& item : items) {
        std::printf("%s\n", e2e::GbkToUtf8(item).c_str());
    }
    std::fflush(stdout);

    if (!items.empty()) {
        e2e::ClickAt(e2e::ListItemPoint(list, 0));
        POINT rest = e2e::ListItemPoint(list, static_cast<int>(items.size()) > 1 ? 1 : 0);
        rest.x += 40;
        e2e::MoveMouseTo(rest);
        rest.x += 2;
        e2e::MoveMouseTo(rest);
        Sleep(1500);  // the tip shows after the pointer has rested a moment
    }
    return items.empty() ? 1 : 0;
}

std::string ShellRecordPath() {
    char path[MAX_PATH * 2] = {};
    const DWORD got = GetEnvironmentVariableA("REELHAWK_SHELL_RECORD", path, sizeof path);
    return got > 0 && got < sizeof path ? e2e::HostToWindowsPath(path) : std::string();
}

int Open(int index) {
    HWND window = FindProgramWindow();
    HWND list = window ? e2e::FindChildOfClass(window, "ListBox") : nullptr;
    if (list == nullptr || index < 0 || index >= static_cast<int>(e2e::ListItems(list).size())) {
        Say("no such item in the list");
        return 1;
    }
    const std::string record = ShellRecordPath();
    const std::size_t before = record.empty() ? 0 : e2e::ReadLines(record).size();
    e2e::BringToFront(window);
    SendMessageA(list, LB_SETTOPINDEX, static_cast<WPARAM>(index), 0);
    const POINT point = e2e::ListItemPoint(list, index);
    e2e::PointAt(list, point);
    e2e::DoubleClickAt(point);
    Say("double-clicked item " + std::to_string(index));
    if (record.empty()) {
        return 0;
    }
    std::vector<std::string> lines;
    const bool opened = e2e::WaitUntil(
        [&] {
            lines = e2e::ReadLines(record);
            return lines.size() > before;
        },
        10000, 100);
    for (std::size_t i = before; i < lines.size(); ++i) {
        std::printf("%s\n", e2e::GbkToUtf8(lines[i]).c_str());
    }
    std::fflush(stdout);
    if (!opened) {
        Say("the shell was asked to open nothing");
    }
    return opened ? 0 : 1;
}

int Close() {
    HWND window = FindProgramWindow();
    if (window == nullptr) {
        Say("no window titled Reelhawk 1.0");
        return 1;
    }
    e2e::BringToFront(window);
    e2e::PressKey(VK_ESCAPE);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "harvest" && argc == 3) {
        return Harvest(argv[2]);
    }
    if (command == "open" && argc == 3) {
        return Open(std::atoi(argv[2]));
    }
    if (command == "close" && argc == 2) {
        return Close();
    }
    std::fprintf(stderr, "usage: reelhawk_driver harvest <address> | open <n> | close\n");
    return 2;
}
