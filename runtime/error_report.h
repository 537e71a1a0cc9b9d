// How the runtime error report is worded; shown by the platform's half of the report.
#pragma once

#include <string>
#include <string_view>

namespace rh {

std::string RuntimeErrorReportText(std::string_view message, int code);

}  // namespace rh
