#include "runtime/error.h"

#include <string>

#include "runtime/error_report.h"

namespace rh {
namespace {

constexpr const char* kMessages[] = {
    "数组成员引用下标超出定义范围",
    "未得到所需要的数值型数据",
    "引用数组成员时维数不为1且不等于该数组目前所具有的维数",
    "数组成员引用下标必须大于等于1",
    "数据或数组类型不匹配",
    "调用DLL命令后发现堆栈错误",
    "子语句参数未返回数据或者返回了非系统基本类型或数组型数据",
    "被比较数据只能使用等于或不等于命令比较",
    "“多项选择”命令的索引值参数小于零或超出了所提供参数表范围",
    "“重定义数组”命令的数组维定义参数值必须大于零或单维时大于等于零",
    "所提供参数的数据类型不符合要求",
};

}  // namespace

std::string RuntimeErrorReportText(std::string_view message, int code) {
    // Built with std::string on purpose: the report must not depend on the runtime heap, which
    // may be what just failed.
    std::string report = "运行时出错!\r\n\r\n";
    if (code != 0) {
        report += "错误代码：";
        report += std::to_string(code);
        report += "\r\n\r\n";
    }
    if (!message.empty()) {
        report += "错误信息：";
        report += message;
        report += "\r\n";
    }
    return report;
}

void RaiseRuntimeError(int code) {
    constexpr int count = static_cast<int>(sizeof(kMessages) / sizeof(kMessages[0]));
    std::string_view message = (code >= 1 && code <= count) ? kMessages[code - 1] : "";
    ReportRuntimeError(message, code);
}

}  // namespace rh
