#include <windows.h>

#include "runtime/error.h"
#include "runtime/error_report.h"

namespace rh {

void ReportRuntimeError(std::string_view message, int code) {
    const std::string report = RuntimeErrorReportText(message, code);
    MessageBoxA(nullptr, report.c_str(), "错误", MB_OK | MB_ICONERROR);
    // ExitProcess, not exit(): the program's end routine must not run after a runtime error.
    ExitProcess(static_cast<UINT>(-1));
}

}  // namespace rh
