#include "standin/call_log.h"

#include <windows.h>

#include "standin/document.h"
#include "standin/url.h"

namespace standin {

void LogLine(std::wstring_view line) {
    const std::wstring name = EnvironmentValue(L"REELHAWK_STANDIN_LOG");
    if (name.empty()) {
        return;
    }
    // The scripts give a Unix path; the file functions want the drive Wine shows it on.
    std::wstring path = HostPathToWindows(name);
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    std::string bytes = WideToUtf8(line);
    bytes += '\n';
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::wstring LogEscape(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        switch (c) {
            case L'\\':
                out += L"\\\\";
                break;
            case L'\r':
                out += L"\\r";
                break;
            case L'\n':
                out += L"\\n";
                break;
            case L'\t':
                out += L"\\t";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace standin
