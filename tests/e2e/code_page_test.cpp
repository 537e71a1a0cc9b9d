// The program on any system code page (ctest runs this under 936, 1252 and 65001): its own texts
// show and read back as written, what a person types reaches the page whole, and Chinese text
// from a page is listed and shown in the tip as the page has it.
#include <gtest/gtest.h>

#include <set>

#include "program_run.h"
#include "test_pages.h"

namespace e2e {
namespace {

std::set<std::wstring> LabelTexts(HWND window) {
    std::set<std::wstring> texts;
    for (HWND child = FindWindowExW(window, nullptr, L"ReelhawkLabel", nullptr); child != nullptr;
         child = FindWindowExW(window, child, L"ReelhawkLabel", nullptr)) {
        texts.insert(WideWindowText(child));
    }
    return texts;
}

// The text of the process's visible tip once one shows, with the pointer resting at `over`.
std::wstring ShownTip(DWORD processId, POINT over) {
    std::wstring tip;
    WaitUntil(
        [&] {
            for (HWND t : ProcessWindows(processId, "Tooltips_class32")) {
                if (IsWindowVisible(t)) {
                    tip = WideWindowText(t);
                    return !tip.empty();
                }
            }
            MoveMouseTo(over);  // kept resting there, as a hand does
            return false;
        },
        10000, 200);
    return tip;
}

TEST(SystemCodePageTest, TextsShowAsWrittenAndChineseGoesBothWaysWhole) {
    const std::wstring first = L"http://media.reelhawk.test/\u89c6\u9891/\u7b2c\u4e00\u96c6.mp4";
    const std::wstring second = L"http://media.reelhawk.test/\u8282\u76ee/\u9884\u544a.flv";
    WebRoot web;
    ASSERT_TRUE(
        web.PutStartPage(GbkPage(ResolverForm("http://resolver.reelhawk.test/answer.html"))));
    ASSERT_TRUE(web.Put(kResolverHost, "answer.html",
                        GbkPage(Link(WideToGbk(first), "第一集.mp4") + "<p>说明</p>" +
                                Link(WideToGbk(second), "预告.flv"))));

    ProgramRun run(web.Path());
    ASSERT_EQ(run.Start(), "");
    EXPECT_EQ(WideWindowText(run.Window()), L"Reelhawk 1.0");
    EXPECT_EQ(WideWindowText(run.Button()), L"\u8df3\u8f6c");  // 跳转
    EXPECT_EQ(
        LabelTexts(run.Window()),
        (std::set<std::wstring>{L"\u7f51\u7ad9\u5730\u5740\uff1a",  // 网站地址：
                                L"\u652f\u6301\u4f18\u9177\u3001\u571f\u8c46\u3001\u9177"
                                L"6\u3001youtube\u7b49\u7f51\u7ad9\u7684\u8f6c\u6362\u3002"}));

    // Typed with Chinese in it: the box and the page's field get it whole.
    const std::wstring address = L"http://v.example.test/\u89c6\u9891?\u6807\u9898=\u7b2c\u4e00";
    ASSERT_TRUE(run.ResolveAndWait(address));
    EXPECT_EQ(WideWindowText(run.Edit()), address);
    const auto values = run.LogLines("Value");
    ASSERT_EQ(values.size(), 1u);
    const std::string typed = WideToUtf8(address);
    EXPECT_TRUE(values[0].size() > typed.size() &&
                values[0].compare(values[0].size() - typed.size(), typed.size(), typed) == 0)
        << values[0];
    EXPECT_EQ(WideWindowText(run.Button()),
              L"\u83b7\u53d6\u4e0b\u8f7d\u94fe\u63a5");  // 获取下载链接

    // The page's Chinese addresses are listed as the page has them, and the tip shows them.
    ASSERT_TRUE(run.HarvestAndWait());
    EXPECT_EQ(run.Items(), (std::vector<std::string>{WideToGbk(first), WideToGbk(second)}));
    EXPECT_EQ(WideWindowText(run.Button()), L"\u8df3\u8f6c");
    run.SelectItem(1);
    ASSERT_EQ(ListSelection(run.List()), 1);
    DWORD processId = 0;
    GetWindowThreadProcessId(run.Window(), &processId);
    POINT over = ListItemPoint(run.List(), 0);
    MoveMouseTo(over);
    over.x += 3;
    MoveMouseTo(over);
    EXPECT_EQ(ShownTip(processId, over), second);
    EXPECT_EQ(run.CloseWithEsc(), std::optional<DWORD>(0));
}

}  // namespace
}  // namespace e2e
