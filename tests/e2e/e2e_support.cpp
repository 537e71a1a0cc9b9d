#include "e2e_support.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include "runtime/window_handle.h"

namespace e2e {
namespace {

std::wstring Convert(UINT codePage, std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const int n =
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Convert(UINT codePage, std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

void RemoveTree(const std::string& folder) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..") {
                continue;
            }
            const std::string path = folder + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

void SendInputs(std::vector<INPUT>& inputs) {
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

INPUT MouseInput(DWORD flags, POINT screen) {
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    INPUT in{};
    in.type = INPUT_MOUSE;
    // Absolute coordinates run over 0..65535; rounded up so that they map back to the pixel.
    in.mi.dx = static_cast<LONG>((static_cast<long long>(screen.x) * 65536 + width - 1) / width);
    in.mi.dy = static_cast<LONG>((static_cast<long long>(screen.y) * 65536 + height - 1) / height);
    in.mi.dwFlags = flags | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE;
    return in;
}

INPUT KeyInput(WORD vk, WORD scan, DWORD flags) {
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.wScan = scan;
    in.ki.dwFlags = flags;
    return in;
}

}  // namespace

std::wstring AcpToWide(std::string_view text) {
    return Convert(CP_ACP, text);
}
std::string WideToAcp(std::wstring_view text) {
    return Convert(CP_ACP, text);
}
std::string WideToUtf8(std::wstring_view text) {
    return Convert(CP_UTF8, text);
}
std::wstring Utf8ToWide(std::string_view text) {
    return Convert(CP_UTF8, text);
}
std::string AcpToUtf8(std::string_view text) {
    return WideToUtf8(AcpToWide(text));
}
std::wstring GbkToWide(std::string_view text) {
    return Convert(kGbkCodePage, text);
}
std::string WideToGbk(std::wstring_view text) {
    return Convert(kGbkCodePage, text);
}
std::string GbkToUtf8(std::string_view text) {
    return WideToUtf8(GbkToWide(text));
}

std::string HostToWindowsPath(std::string_view path) {
    std::string out(path);
    if (!out.empty() && out.front() == '/') {
        out.insert(0, "Z:");
    }
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
}

std::string ModuleFolder() {
    char path[MAX_PATH * 2] = {};
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder = path;
    const std::size_t slash = folder.find_last_of("\\/");
    folder.resize(slash == std::string::npos ? 0 : slash + 1);
    return folder;
}

bool WriteWholeFile(const std::string& path, std::string_view bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        DWORD written = 0;
        ok = WriteFile(file, bytes.data() + done, chunk, &written, nullptr) && written == chunk;
        done += written;
    }
    CloseHandle(file);
    return ok;
}

std::string ReadWholeFile(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        bytes.append(buffer, got);
    }
    CloseHandle(file);
    return bytes;
}

std::vector<std::string> ReadLines(const std::string& path) {
    const std::string bytes = ReadWholeFile(path);
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos) {
            end = bytes.size();
        }
        std::string line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

bool MakeFolders(const std::string& path) {
    for (std::size_t pos = path.find('\\', 3); pos != std::string::npos;
         pos = path.find('\\', pos + 1)) {
        CreateDirectoryA(path.substr(0, pos).c_str(), nullptr);
    }
    CreateDirectoryA(path.c_str(), nullptr);
    return (GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

TempFolder::TempFolder(std::string_view prefix) {
    char temp[MAX_PATH] = {};
    GetTempPathA(sizeof temp, temp);
    std::string base = temp;
    if (!base.empty() && base.back() == '\\') {
        base.pop_back();
    }
    for (unsigned attempt = 0;; ++attempt) {
        path_ = base + "\\" + std::string(prefix) + "-" + std::to_string(GetCurrentProcessId()) +
                "-" + std::to_string(GetTickCount64()) + "-" + std::to_string(attempt);
        if (CreateDirectoryA(path_.c_str(), nullptr)) {
            break;
        }
    }
}

TempFolder::~TempFolder() {
    RemoveTree(path_);
}

bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs, DWORD stepMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (predicate()) {
            return true;
        }
        if (GetTickCount64() >= end) {
            return false;
        }
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        Sleep(stepMs);
    }
}

ChildProcess::~ChildProcess() {
    if (info_.hProcess != nullptr) {
        if (Running()) {
            TerminateProcess(info_.hProcess, 99);
            WaitForSingleObject(info_.hProcess, 10000);
        }
        CloseHandle(info_.hProcess);
        CloseHandle(info_.hThread);
    }
}

bool ChildProcess::Start(const std::string& exe, const std::string& arguments,
                         const std::vector<std::pair<std::string, std::string>>& environment) {
    // This process's environment with the given variables replaced or added.
    std::vector<std::wstring> variables;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* p = block; *p != L'\0'; p += std::wcslen(p) + 1) {
            variables.emplace_back(p);
        }
        FreeEnvironmentStringsW(block);
    }
    for (const auto& [name, value] : environment) {
        const std::wstring wideName = AcpToWide(name);
        std::erase_if(variables, [&](const std::wstring& v) {
            return v.size() > wideName.size() && v[wideName.size()] == L'=' &&
                   CompareStringOrdinal(v.data(), static_cast<int>(wideName.size()),
                                        wideName.data(), static_cast<int>(wideName.size()),
                                        TRUE) == CSTR_EQUAL;
        });
        variables.push_back(wideName + L"=" + AcpToWide(value));
    }
    std::wstring block;
    for (const std::wstring& v : variables) {
        block += v;
        block += L'\0';
    }
    block += L'\0';

    std::wstring commandLine = L"\"" + AcpToWide(exe) + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + AcpToWide(arguments);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    return CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                          CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr, &startup,
                          &info_) != FALSE;
}

bool ChildProcess::Running() const {
    return info_.hProcess != nullptr && WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT;
}

std::optional<DWORD> ChildProcess::WaitForExit(DWORD timeoutMs) {
    if (info_.hProcess == nullptr) {
        return std::nullopt;
    }
    if (!WaitUntil([this] { return !Running(); }, timeoutMs)) {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(info_.hProcess, &code);
    return code;
}

std::vector<HWND> ProcessWindows(DWORD processId, const char* className) {
    struct Search {
        DWORD processId;
        const char* className;
        std::vector<HWND> found;
    } search{processId, className, {}};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner != s->processId) {
                return TRUE;
            }
            char cls[256] = {};
            GetClassNameA(window, cls, sizeof cls);
            if (s->className == nullptr || lstrcmpiA(cls, s->className) == 0) {
                s->found.push_back(window);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForProcessWindow(DWORD processId, const char* className, const char* title,
                          DWORD timeoutMs) {
    HWND result = nullptr;
    WaitUntil(
        [&] {
            for (HWND w : ProcessWindows(processId, className)) {
                if (IsWindowVisible(w) && (title == nullptr || WindowText(w) == title)) {
                    result = w;
                    return true;
                }
            }
            return false;
        },
        timeoutMs, 50);
    return result;
}

HWND FindChildOfClass(HWND parent, const char* className) {
    return FindWindowExA(parent, nullptr, className, nullptr);
}

std::wstring WideWindowText(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) {
        return {};
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, 5000, &got)) {
        return {};
    }
    text.resize(std::min<std::size_t>(got, std::wcslen(text.c_str())));
    return text;
}

std::string WindowText(HWND window) {
    return WideToGbk(WideWindowText(window));
}

std::vector<std::string> ListItems(HWND list) {
    // Asked for in UTF-16, as the list keeps them, and converted to GBK: the bytes that were added.
    std::vector<std::string> items;
    const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
        if (length < 0) {
            items.emplace_back();
            continue;
        }
        std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
        const LRESULT got = SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i),
                                         reinterpret_cast<LPARAM>(text.data()));
        text.resize(got > 0 ? std::min<std::size_t>(static_cast<std::size_t>(got), text.size() - 1)
                            : 0);
        items.push_back(WideToGbk(text));
    }
    return items;
}

int ListSelection(HWND list) {
    return static_cast<int>(SendMessageA(list, LB_GETCURSEL, 0, 0));
}

bool BringToFront(HWND window) {
    return WaitUntil(
        [window] {
            if (rh::SameWindow(GetForegroundWindow(), window)) {
                return true;
            }
            SetForegroundWindow(window);
            return false;
        },
        5000, 50);
}

POINT CentreOf(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

POINT ListItemPoint(HWND list, int index) {
    RECT item{};
    SendMessageA(list, LB_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
    POINT p{(item.left + item.right) / 2, (item.top + item.bottom) / 2};
    ClientToScreen(list, &p);
    return p;
}

void MoveMouseTo(POINT screen) {
    std::vector<INPUT> inputs{MouseInput(0, screen)};
    SendInputs(inputs);
}

bool PointAt(HWND target, POINT screen) {
    MoveMouseTo(POINT{0, 0});
    const bool clear =
        WaitUntil([&] { return rh::SameWindow(WindowFromPoint(screen), target); }, 5000, 20);
    MoveMouseTo(screen);
    return clear;
}

void ClickAt(POINT screen) {
    std::vector<INPUT> inputs{MouseInput(0, screen), MouseInput(MOUSEEVENTF_LEFTDOWN, screen),
                              MouseInput(MOUSEEVENTF_LEFTUP, screen)};
    SendInputs(inputs);
}

void RightClickAt(POINT screen) {
    std::vector<INPUT> inputs{MouseInput(0, screen), MouseInput(MOUSEEVENTF_RIGHTDOWN, screen),
                              MouseInput(MOUSEEVENTF_RIGHTUP, screen)};
    SendInputs(inputs);
}

void DoubleClickAt(POINT screen) {
    std::vector<INPUT> inputs{MouseInput(0, screen), MouseInput(MOUSEEVENTF_LEFTDOWN, screen),
                              MouseInput(MOUSEEVENTF_LEFTUP, screen),
                              MouseInput(MOUSEEVENTF_LEFTDOWN, screen),
                              MouseInput(MOUSEEVENTF_LEFTUP, screen)};
    SendInputs(inputs);
}

void PressKey(WORD virtualKey) {
    const WORD scan = static_cast<WORD>(MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC));
    std::vector<INPUT> inputs{KeyInput(virtualKey, scan, 0),
                              KeyInput(virtualKey, scan, KEYEVENTF_KEYUP)};
    SendInputs(inputs);
}

void TypeText(std::wstring_view text) {
    std::vector<INPUT> inputs;
    for (wchar_t ch : text) {
        inputs.push_back(KeyInput(0, ch, KEYEVENTF_UNICODE));
        inputs.push_back(KeyInput(0, ch, KEYEVENTF_UNICODE | KEYEVENTF_KEYUP));
    }
    SendInputs(inputs);
}

namespace {

// The text of a clipboard format, up to its first zero unit; nullopt when it holds none or the
// clipboard cannot be opened.
template <class Char>
std::optional<std::basic_string<Char>> ClipboardUnits(UINT format) {
    std::optional<std::basic_string<Char>> text;
    if (!WaitUntil([] { return OpenClipboard(nullptr) != FALSE; }, 5000)) {
        return text;
    }
    if (HANDLE data = GetClipboardData(format)) {
        if (const auto* units = static_cast<const Char*>(GlobalLock(data))) {
            const std::basic_string_view<Char> all(units, GlobalSize(data) / sizeof(Char));
            text = std::basic_string<Char>(all.substr(0, all.find(Char())));
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

// Puts a copy of the bytes on the open clipboard; true when it took them.
bool SetBlock(UINT format, const void* bytes, std::size_t size) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (block == nullptr) {
        return false;
    }
    std::memcpy(GlobalLock(block), bytes, size);
    GlobalUnlock(block);
    if (SetClipboardData(format, block) == nullptr) {
        GlobalFree(block);
        return false;
    }
    return true;
}

bool SetTextBlock(UINT format, std::string_view text) {
    const std::string terminated(text);
    return SetBlock(format, terminated.c_str(), terminated.size() + 1);
}

UINT OtherProgramsFormat() {
    static const UINT format = RegisterClipboardFormatA("Reelhawk tests: another program's data");
    return format;
}

}  // namespace

std::optional<std::string> ClipboardText() {
    return ClipboardUnits<char>(CF_TEXT);
}

std::optional<std::wstring> ClipboardUnicodeText() {
    return ClipboardUnits<wchar_t>(CF_UNICODETEXT);
}

DWORD ClipboardSequence() {
    return GetClipboardSequenceNumber();
}

std::optional<std::string> ClipboardTextAfter(DWORD sequence, DWORD timeoutMs) {
    if (!WaitUntil([&] { return GetClipboardSequenceNumber() != sequence; }, timeoutMs)) {
        return std::nullopt;
    }
    return ClipboardText();
}

bool PutClipboardText(std::string_view text) {
    if (!WaitUntil([] { return OpenClipboard(nullptr) != FALSE; }, 5000)) {
        return false;
    }
    EmptyClipboard();
    const bool ok = SetTextBlock(CF_TEXT, text) && SetTextBlock(OtherProgramsFormat(), "data");
    CloseClipboard();
    return ok;
}

bool SetClipboardLocale(LCID locale) {
    if (!WaitUntil([] { return OpenClipboard(nullptr) != FALSE; }, 5000)) {
        return false;
    }
    const bool ok = SetBlock(CF_LOCALE, &locale, sizeof locale);
    CloseClipboard();
    return ok;
}

bool ClipboardHoldsOtherProgramsData() {
    return IsClipboardFormatAvailable(OtherProgramsFormat()) != FALSE;
}

}  // namespace e2e
