#include "tests/app/standin_check.h"

#include <windows.h>

#include "tests/app/test_support.h"

namespace rh::test {

bool StandInRegistered() {
    char value[1024] = {};
    DWORD size = sizeof(value);
    const LSTATUS status = RegGetValueA(
        HKEY_LOCAL_MACHINE,
        "Software\\Classes\\CLSID\\{8856F961-340A-11D0-A96B-00C04FD705A2}\\InprocServer32", nullptr,
        RRF_RT_REG_SZ, nullptr, value, &size);
    return status == ERROR_SUCCESS &&
           std::string(value).find("reelhawk_standin") != std::string::npos;
}

std::vector<std::string> LogLinesStartingWith(const std::string& path,
                                              const std::vector<std::string>& words) {
    std::vector<std::string> kept;
    for (const std::string& line : ReadLines(path)) {
        for (const std::string& word : words) {
            if (line == word || line.rfind(word + " ", 0) == 0) {
                kept.push_back(line);
                break;
            }
        }
    }
    return kept;
}

}  // namespace rh::test
