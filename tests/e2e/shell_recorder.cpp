// Stands in for the program the shell starts for web addresses. The test prefix registers it as
// the "open" command of http and https; each start appends one line to the file named by
// REELHAWK_SHELL_RECORD: its arguments in GBK (the program's own code page), separated by single
// spaces (an empty line when it was started without any). Started as a plain program, for instance
// because the shell was handed its path, it records that start as well.
#include <windows.h>
#include <shellapi.h>

#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    wchar_t recordPath[MAX_PATH * 2];
    const DWORD got = GetEnvironmentVariableW(L"REELHAWK_SHELL_RECORD", recordPath,
                                              sizeof recordPath / sizeof recordPath[0]);
    if (got == 0 || got >= sizeof recordPath / sizeof recordPath[0]) {
        return 2;
    }
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring joined;
    for (int i = 1; args != nullptr && i < count; ++i) {
        if (i > 1) {
            joined += L' ';
        }
        joined += args[i];
    }
    LocalFree(args);

    std::string line;
    if (!joined.empty()) {
        const int bytes = WideCharToMultiByte(
            936, 0, joined.data(), static_cast<int>(joined.size()), nullptr, 0, nullptr, nullptr);
        line.resize(static_cast<std::size_t>(bytes));
        WideCharToMultiByte(936, 0, joined.data(), static_cast<int>(joined.size()), line.data(),
                            bytes, nullptr, nullptr);
    }
    line += '\n';

    // Appends survive other starts writing at the same time: each line is one write at the end.
    for (int attempt = 0; attempt < 100; ++attempt) {
        HANDLE file = CreateFileW(recordPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            const BOOL ok =
                WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            CloseHandle(file);
            return ok && written == line.size() ? 0 : 1;
        }
        Sleep(20);
    }
    return 1;
}
