// The host build (portable parts under the sanitizers and fuzzers) has no message box: the report
// goes to standard error and the process ends the same way.
#include <cstdio>
#include <cstdlib>

#include "runtime/error.h"
#include "runtime/error_report.h"

namespace rh {

void ReportRuntimeError(std::string_view message, int code) {
    const std::string report = RuntimeErrorReportText(message, code);
    std::fwrite(report.data(), 1, report.size(), stderr);
    std::fflush(stderr);
    std::_Exit(-1);
}

}  // namespace rh
