// The runtime error report: the one way this program shows an error. It ends the process.
#pragma once

#include <string_view>

namespace rh {

// Runtime error codes the program's own logic can raise.
inline constexpr int kErrorIndexAboveCount = 1;
inline constexpr int kErrorIndexBelowOne = 4;

// Shows the message of code 1–11 and ends the process with exit code −1.
[[noreturn]] void RaiseRuntimeError(int code);
// Shows "运行时出错!" with the code (when not 0) and the message (when not empty) in a message box
// captioned "错误", then ends the process with exit code −1 without running the program's end
// routine.
[[noreturn]] void ReportRuntimeError(std::string_view message, int code);

}  // namespace rh
