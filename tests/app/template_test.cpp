// The program's window template as data, the checks made when a template is loaded, and the
// end routine.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <functional>
#include <string>

#include "app/components.h"
#include "app/globals.h"
#include "app/handlers.h"
#include "app/main_window_template.h"
#include "app/program.h"
#include "app/window_template.h"
#include "tests/app/instrumented.h"

namespace rh {
namespace {

using test::TemplateCopy;

TEST(MainWindowTemplate, SixComponentsInCreationOrderWithTheirIdentifiers) {
    const WindowTemplate& tpl = MainWindowTemplate();
    ASSERT_EQ(LoadWindowTemplate(&tpl), &tpl);
    EXPECT_EQ(tpl.window.id, kMainWindowId);
    EXPECT_STREQ(tpl.window.title, "Reelhawk 1.0");
    EXPECT_EQ(tpl.window.width, 493);
    EXPECT_EQ(tpl.window.height, 231);
    const std::uint32_t ids[] = {kSupportedSitesLabelId, kResultListId,
                                 kActionButtonId,        kBrowserId,
                                 kAddressEditId,         kAddressLabelId};
    const char* names[] = {"标签2", "列表框1", "按钮1", "超文本浏览框1", "编辑框1", "标签1"};
    ASSERT_EQ(tpl.components.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(tpl.components[i].id, ids[i]) << i;
        EXPECT_STREQ(tpl.components[i].name, names[i]) << i;
        EXPECT_EQ(tpl.components[i].tabOrder, 0) << i;
    }
    EXPECT_EQ(ids[0], 0x16014CF1u);
    EXPECT_EQ(ids[3], 0x16010012u);
    EXPECT_EQ(kMainWindowId, 0x52010001u);
}

TEST(MainWindowTemplate, FontsAreWholeLogfontRecords) {
    for (const ComponentRecord& c : MainWindowTemplate().components) {
        if (c.type == ComponentType::HtmlViewer) {
            continue;
        }
        ASSERT_EQ(c.font.size, 60u) << c.name;
        LOGFONTA font;
        std::memcpy(&font, c.font.bytes, sizeof(font));
        EXPECT_EQ(font.lfHeight, -12) << c.name;
        EXPECT_EQ(font.lfWeight, 400) << c.name;
        EXPECT_FALSE(font.lfItalic || font.lfUnderline || font.lfStrikeOut) << c.name;
        const std::string face = font.lfFaceName;
        EXPECT_EQ(face, c.id == kAddressEditId ? "Dotum" : "宋体") << c.name;
    }
}

TEST(MainWindowTemplate, BindsTheThreeHandlers) {
    const WindowTemplate& tpl = MainWindowTemplate();
    int bindings = 0;
    for (const ComponentRecord& c : tpl.components) {
        for (const EventBinding& b : c.events) {
            ++bindings;
            if (c.id == kActionButtonId && b.event == 0) {
                EXPECT_EQ(std::get<PlainHandler>(b.handler), &OnActionButtonClicked);
            } else if (c.id == kResultListId && b.event == 1) {
                EXPECT_EQ(std::get<PlainHandler>(b.handler), &OnResultListDoubleClicked);
            } else if (c.id == kResultListId && b.event == -6) {
                EXPECT_EQ(std::get<MouseHandler>(b.handler), &OnResultListMouseMoved);
            } else {
                ADD_FAILURE() << c.name << " binds event " << b.event;
            }
        }
    }
    EXPECT_EQ(bindings, 3);
}

TEST(MainWindowTemplate, BrowserLoadsTheConfiguredResolver) {
    const WindowTemplate& tpl = MainWindowTemplate();
    const ComponentRecord& browser = tpl.components[3];
    const auto& html = std::get<HtmlViewerProperties>(browser.properties);
    EXPECT_STREQ(html.address, REELHAWK_RESOLVER_URL);
    EXPECT_STREQ(ResolverAddress(), REELHAWK_RESOLVER_URL);
    EXPECT_EQ(html.fontSize, 2);
    EXPECT_FALSE(html.offline);
    EXPECT_TRUE(html.silent);
    EXPECT_EQ(browser.flags & kComponentVisible, 0u);
}

// Each case breaks one thing of an otherwise good copy of the template.
struct Breakage {
    const char* what;
    std::function<void(TemplateCopy&)> apply;
};

void PlainNoop() {}
void MouseNoop(std::int32_t, std::int32_t, std::int32_t) {}

TEST(LoadWindowTemplate, RefusesWhatCannotBeBuilt) {
    const Breakage cases[] = {
        {"not a template", [](TemplateCopy& t) { t.Edit().format = 0x12345678; }},
        {"window without identifier", [](TemplateCopy& t) { t.Edit().window.id = 0; }},
        {"window without title", [](TemplateCopy& t) { t.Edit().window.title = nullptr; }},
        {"window of no size", [](TemplateCopy& t) { t.Edit().window.width = 0; }},
        {"repeated identifier",
         [](TemplateCopy& t) { t.Component(kAddressLabelId).id = kAddressEditId; }},
        {"identifier of the window",
         [](TemplateCopy& t) { t.Component(kAddressLabelId).id = kMainWindowId; }},
        {"component without identifier",
         [](TemplateCopy& t) { t.Component(kAddressLabelId).id = 0; }},
        {"type and properties disagree",
         [](TemplateCopy& t) { t.Component(kActionButtonId).type = ComponentType::EditBox; }},
        {"unknown type",
         [](TemplateCopy& t) {
             t.Component(kActionButtonId).type = static_cast<ComponentType>(9);
         }},
        {"unknown flag bit", [](TemplateCopy& t) { t.Component(kResultListId).flags |= 0x100; }},
        {"negative width", [](TemplateCopy& t) { t.Component(kResultListId).width = -1; }},
        {"font without bytes",
         [](TemplateCopy& t) {
             t.Component(kResultListId).font = FontRecord{nullptr, 60};
         }},
        {"event the button cannot raise",
         [](TemplateCopy& t) {
             t.SetEvents(kActionButtonId, {{1, &PlainNoop}});
         }},
        {"event a label cannot raise",
         [](TemplateCopy& t) {
             t.SetEvents(kAddressLabelId, {{0, &PlainNoop}});
         }},
        {"mouse event with a handler of no arguments",
         [](TemplateCopy& t) {
             t.SetEvents(kResultListId, {{-6, &PlainNoop}});
         }},
        {"click with a mouse handler",
         [](TemplateCopy& t) {
             t.SetEvents(kActionButtonId, {{0, &MouseNoop}});
         }},
        {"missing handler",
         [](TemplateCopy& t) {
             t.SetEvents(kActionButtonId, {{0, PlainHandler{nullptr}}});
         }},
        {"event bound twice",
         [](TemplateCopy& t) {
             t.SetEvents(kResultListId, {{1, &PlainNoop}, {1, &PlainNoop}});
         }},
    };
    for (const Breakage& c : cases) {
        TemplateCopy copy(MainWindowTemplate());
        ASSERT_NE(LoadWindowTemplate(&copy.Template()), nullptr) << "before: " << c.what;
        c.apply(copy);
        EXPECT_EQ(LoadWindowTemplate(&copy.Template()), nullptr) << c.what;
    }
    EXPECT_EQ(LoadWindowTemplate(nullptr), nullptr);
}

TEST(LoadWindowTemplate, AcceptsEveryEventTheMachineryRaises) {
    TemplateCopy copy(MainWindowTemplate());
    copy.SetEvents(kResultListId, {{0, &PlainNoop},
                                   {1, &PlainNoop},
                                   {-1, &MouseNoop},
                                   {-2, &MouseNoop},
                                   {-3, &MouseNoop},
                                   {-4, &MouseNoop},
                                   {-5, &MouseNoop},
                                   {-6, &MouseNoop}});
    copy.SetEvents(kAddressLabelId, {{-6, &MouseNoop}});
    copy.Component(kAddressLabelId).font = FontRecord{};  // no font: the stock one
    EXPECT_NE(LoadWindowTemplate(&copy.Template()), nullptr);
    copy.SetEvents(kAddressLabelId, {{-7, &PlainNoop}});  // got focus: not raised here
    EXPECT_EQ(LoadWindowTemplate(&copy.Template()), nullptr);
}

int g_endRuns = 0;
void CountEndRun() {
    ++g_endRuns;
}

TEST(EndRoutine, RunsOnceHoweverOftenItIsAskedFor) {
    g_endRuns = 0;
    RunEndRoutine();  // nothing registered: nothing runs
    RegisterEndRoutine(&CountEndRun);
    RunEndRoutine();
    RunEndRoutine();
    EXPECT_EQ(g_endRuns, 1);
}

TEST(EndRoutine, DestroysThePageAutomationObject) {
    ASSERT_EQ(g_pageAutomation, nullptr);
    CreateProgramGlobals();
    EXPECT_NE(g_pageAutomation, nullptr);
    RunEndRoutine();
    EXPECT_EQ(g_pageAutomation, nullptr);
}

}  // namespace
}  // namespace rh
