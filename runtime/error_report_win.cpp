#include <windows.h>

#include <string>

#include "runtime/error.h"
#include "runtime/error_report.h"
#include "runtime/wide_text.h"

namespace rh {

void ReportRuntimeError(std::string_view message, int code) {
    const std::string report = RuntimeErrorReportText(message, code);
    // Converted outside the runtime heap: running out of it may be what is being reported.
    std::wstring wide(WideFromTextInto(report, nullptr, 0), L'\0');
    WideFromTextInto(report, wide.data(), wide.size());
    MessageBoxW(nullptr, wide.c_str(), L"错误", MB_OK | MB_ICONERROR);
    // ExitProcess, not exit(): the program's end routine must not run after a runtime error.
    ExitProcess(static_cast<UINT>(-1));
}

}  // namespace rh
