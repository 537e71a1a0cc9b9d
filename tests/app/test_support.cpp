#include "tests/app/test_support.h"

#include <fstream>

#include "app/form.h"
#include "runtime/events.h"

namespace rh::test {

void Pump(DWORD milliseconds) {
    const ULONGLONG end = GetTickCount64() + milliseconds;
    do {
        ProcessPendingEvents();
        Sleep(5);
    } while (GetTickCount64() < end);
    ProcessPendingEvents();
}

bool PumpUntil(const std::function<bool()>& condition, DWORD milliseconds) {
    const ULONGLONG end = GetTickCount64() + milliseconds;
    for (;;) {
        ProcessPendingEvents();
        if (condition()) {
            return true;
        }
        if (GetTickCount64() >= end) {
            return false;
        }
        Sleep(10);
    }
}

bool TakeQuitMessage() {
    MSG message;
    return PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
}

TemplateWindow::TemplateWindow(const WindowTemplate& tpl)
    : tpl_(tpl),
      window_(LoadWindowTemplate(&tpl) != nullptr ? CreateTemplateWindow(tpl) : nullptr) {}

TemplateWindow::~TemplateWindow() {
    if (window_ != nullptr && IsWindow(window_)) {
        DestroyWindow(window_);
    }
    TakeQuitMessage();
}

HWND TemplateWindow::Component(std::uint32_t id) const {
    return FindComponentWindow(tpl_.window.id, id);
}

bool TemplateWindow::DestroyAndTakeQuit() {
    DestroyWindow(window_);
    window_ = nullptr;
    return TakeQuitMessage();
}

void SetKeysDown(std::initializer_list<int> keys) {
    BYTE state[256] = {};
    for (int key : keys) {
        state[key] = 0x80;
    }
    SetKeyboardState(state);
}

void ReleaseAllKeys() {
    BYTE state[256] = {};
    SetKeyboardState(state);
}

std::string WindowsPath(const std::string& path) {
    if (path.empty() || path[0] != '/') {
        return path;
    }
    std::string windows = "Z:" + path;
    for (char& c : windows) {
        if (c == '/') {
            c = '\\';
        }
    }
    return windows;
}

std::string TemporaryFile(const char* prefix) {
    char folder[MAX_PATH];
    char name[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    GetTempFileNameA(folder, prefix, 0, name);
    return name;
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

ChildProcess::ChildProcess(const std::string& commandLine, const char* folder) {
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder, &startup,
                        &process_)) {
        process_ = {};
    }
}

ChildProcess::~ChildProcess() {
    if (process_.hProcess != nullptr) {
        if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.hProcess, 99);
            WaitForSingleObject(process_.hProcess, 5000);
        }
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
    }
}

DWORD ChildProcess::Wait(DWORD milliseconds) {
    if (process_.hProcess == nullptr) {
        return STILL_ACTIVE;
    }
    if (WaitForSingleObject(process_.hProcess, milliseconds) != WAIT_OBJECT_0) {
        return STILL_ACTIVE;
    }
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
}

HWND ChildProcess::FindWindowOf(const char* className, const char* title) const {
    struct Search {
        DWORD process;
        const char* className;
        const char* title;
        HWND found;
    } search{process_.dwProcessId, className, title, nullptr};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner != s->process || ClassOf(window) != s->className) {
                return TRUE;
            }
            if (s->title != nullptr && TextOf(window) != s->title) {
                return TRUE;
            }
            s->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND ChildProcess::WaitForWindow(const char* className, const char* title, DWORD milliseconds) {
    const ULONGLONG end = GetTickCount64() + milliseconds;
    for (;;) {
        if (HWND window = FindWindowOf(className, title)) {
            return window;
        }
        if (GetTickCount64() >= end || WaitForSingleObject(process_.hProcess, 0) == WAIT_OBJECT_0) {
            return nullptr;
        }
        Sleep(50);
    }
}

std::vector<HWND> Descendants(HWND window) {
    std::vector<HWND> all;
    EnumChildWindows(
        window,
        [](HWND child, LPARAM data) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(data)->push_back(child);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&all));
    return all;
}

std::string ClassOf(HWND window) {
    char name[256] = {};
    GetClassNameA(window, name, sizeof(name));
    return name;
}

std::string TextOf(HWND window) {
    wchar_t text[1024] = {};
    // Through the message, so that it also reads windows of other processes; in UTF-16 and made
    // GBK here, so that it reads the same whatever the system's code page is.
    SendMessageTimeoutW(window, WM_GETTEXT, sizeof(text) / sizeof(text[0]),
                        reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, nullptr);
    const int length = static_cast<int>(wcsnlen(text, sizeof(text) / sizeof(text[0])));
    std::string gbk(static_cast<std::size_t>(length) * 2, '\0');
    const int got = WideCharToMultiByte(936, 0, text, length, gbk.data(),
                                        static_cast<int>(gbk.size()), nullptr, nullptr);
    gbk.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return gbk;
}

}  // namespace rh::test
