#include <gtest/gtest.h>

#include "runtime/error_report.h"

namespace rh {
namespace {

TEST(ErrorReportText, CodeAndMessageEachOnTheirOwnLines) {
    EXPECT_EQ(RuntimeErrorReportText("数组成员引用下标超出定义范围", 1),
              "运行时出错!\r\n\r\n错误代码：1\r\n\r\n错误信息：数组成员引用下标超出定义范围\r\n");
}

TEST(ErrorReportText, CodeZeroAndEmptyMessageAreLeftOut) {
    EXPECT_EQ(RuntimeErrorReportText("分配 40 字节内存失败!", 0),
              "运行时出错!\r\n\r\n错误信息：分配 40 字节内存失败!\r\n");
    EXPECT_EQ(RuntimeErrorReportText("", 7), "运行时出错!\r\n\r\n错误代码：7\r\n\r\n");
}

}  // namespace
}  // namespace rh
