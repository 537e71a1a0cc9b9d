#include "app/list_commands.h"

#include <commdlg.h>

#include <vector>

#include "app/components.h"
#include "app/shell_services.h"

namespace rh {
namespace {

constexpr TextView kLineEnd = "\r\n";

// The Save As dialog takes paths up to the system's longest.
constexpr DWORD kPathCapacity = 32768;

// Tries this many temporary names before giving up (another save may be under way beside us).
constexpr int kTemporaryNameAttempts = 100;

UINT CommandId(ListCommand command) {
    return static_cast<UINT>(command);
}

void AddItem(HMENU menu, ListCommand command, const wchar_t* text, bool enabled) {
    AppendMenuW(menu, MF_STRING | (enabled ? MF_ENABLED : MF_GRAYED), CommandId(command), text);
}

// The folder part of a path, with its trailing separator; empty for a bare file name.
std::wstring FolderOf(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring Hex(DWORD value) {
    wchar_t digits[9] = {};
    for (int i = 7; i >= 0; --i) {
        digits[i] = L"0123456789abcdef"[value & 0xF];
        value >>= 4;
    }
    return digits;
}

// The path in the form that has no length limit ("\\?\C:\…", "\\?\UNC\server\share\…");
// as it is when it has a form of that kind already or cannot be made absolute.
std::wstring WithoutLengthLimit(const std::wstring& path) {
    if (path.starts_with(L"\\\\?\\") || path.starts_with(L"\\\\.\\")) {
        return path;
    }
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) {
        return path;
    }
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) {
        return path;
    }
    full.resize(length);
    if (full.starts_with(L"\\\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

DWORD WriteAll(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr)) {
            return GetLastError();
        }
        if (written == 0) {
            return ERROR_WRITE_FAULT;
        }
        bytes.remove_prefix(written);
    }
    return FlushFileBuffers(file) ? 0 : GetLastError();
}

}  // namespace

Text ListItemsAsLines(HWND list, bool endEveryLine, bool handedOn) {
    const LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    Text lines;
    for (int i = 0; count != LB_ERR && i < count; ++i) {
        if (i > 0) {
            lines += kLineEnd;
        }
        const Text item = ListItemText(list, i);
        lines += handedOn ? AddressToHandOn(item) : item;
    }
    if (endEveryLine && count > 0) {
        lines += kLineEnd;
    }
    return lines;
}

HMENU MakeResultListMenu(HWND list) {
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr) {
        return nullptr;
    }
    const LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    const bool hasItems = count != LB_ERR && count > 0;
    const bool selected = hasItems && ListCurrentSelection(list) != -1;
    AddItem(menu, ListCommand::Copy, L"复制\tCtrl+C", selected);
    AddItem(menu, ListCommand::CopyAll, L"复制全部\tCtrl+Shift+C", hasItems);
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AddItem(menu, ListCommand::Save, L"保存列表…", hasItems);
    AddItem(menu, ListCommand::Open, L"打开", selected);
    return menu;
}

ListCommand ChooseListCommand(HWND owner, HWND list, int x, int y) {
    if (x == -1 && y == -1) {
        RECT place{};
        const int selection = ListCurrentSelection(list);
        if (selection == -1 || SendMessageA(list, LB_GETITEMRECT, static_cast<WPARAM>(selection),
                                            reinterpret_cast<LPARAM>(&place)) == LB_ERR) {
            place = RECT{};
        }
        POINT corner{place.left, place.bottom};
        ClientToScreen(list, &corner);
        x = corner.x;
        y = corner.y;
    }
    HMENU menu = MakeResultListMenu(list);
    if (menu == nullptr) {
        return ListCommand::None;
    }
    const BOOL chosen =
        TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, x, y, 0, owner, nullptr);
    DestroyMenu(menu);
    return static_cast<ListCommand>(chosen);
}

std::wstring TemporaryPathFor(const std::wstring& path, int attempt) {
    return WithoutLengthLimit(FolderOf(path) + L"~rh" + Hex(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(attempt) + L".tmp");
}

DWORD WriteFileReplacing(const std::wstring& path, std::string_view bytes) {
    std::wstring temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        temporary = TemporaryPathFor(path, attempt);
        file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            break;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            return error;
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        return ERROR_FILE_EXISTS;
    }
    DWORD error = WriteAll(file, bytes);
    if (!CloseHandle(file) && error == 0) {
        error = GetLastError();
    }
    if (error == 0 && !MoveFileExW(temporary.c_str(), path.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
    }
    if (error != 0) {
        DeleteFileW(temporary.c_str());
    }
    return error;
}

std::wstring ErrorDescription(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring description = length > 0 && text != nullptr ? std::wstring(text, length) : L"";
    if (text != nullptr) {
        LocalFree(text);
    }
    while (!description.empty() && (description.back() == L'\r' || description.back() == L'\n' ||
                                    description.back() == L' ')) {
        description.pop_back();
    }
    const std::wstring code = L"错误代码 " + std::to_wstring(error);
    return description.empty() ? code : description + L"（" + code + L"）";
}

bool SaveListAs(HWND owner, HWND list) {
    std::vector<wchar_t> path(kPathCapacity, L'\0');
    constexpr wchar_t kDefaultName[] = L"下载地址.txt";
    std::copy(std::begin(kDefaultName), std::end(kDefaultName), path.begin());
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = L"文本文件 (*.txt)\0*.txt\0所有文件 (*.*)\0*.*\0";
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = path.data();
    dialog.nMaxFile = kPathCapacity;
    dialog.lpstrDefExt = L"txt";
    // The dialog does not try the folder itself: our own save reports a failure with its reason.
    dialog.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY |
                   OFN_NOCHANGEDIR | OFN_NOTESTFILECREATE;
    if (!GetSaveFileNameW(&dialog)) {
        return false;  // cancelled (or the dialog could not be shown: nothing was written)
    }
    const std::wstring target(path.data());
    // Each item as it is handed on elsewhere: a line break inside one must not make it two lines.
    const Text lines = ListItemsAsLines(list, true, true);
    const DWORD error = WriteFileReplacing(target, TextView(lines.data(), lines.size()));
    if (error != 0) {
        const std::wstring message =
            L"无法保存列表到文件：\n" + target + L"\n\n" + ErrorDescription(error);
        MessageBoxW(owner, message.c_str(), L"保存列表", MB_OK | MB_ICONERROR);
        return false;
    }
    return true;
}

}  // namespace rh
