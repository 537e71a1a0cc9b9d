// The checks made when a template is loaded, and the end routine. (The program's own template is
// checked through the windows built from it.)
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>

#include "app/components.h"
#include "app/globals.h"
#include "app/main_window_template.h"
#include "app/program.h"
#include "app/window_template.h"
#include "tests/app/instrumented.h"

namespace rh {
namespace {

using test::TemplateCopy;

// Each case breaks one thing of an otherwise good copy of the template.
struct Breakage {
    const char* what;
    std::function<void(TemplateCopy&)> apply;
};

void PlainNoop() {}
void MouseNoop(std::int32_t, std::int32_t, std::int32_t) {}
void KeyNoop(std::int32_t, std::int32_t) {}

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
        {"key event with a mouse handler",
         [](TemplateCopy& t) {
             t.SetEvents(kResultListId, {{kEventKeyDown, &MouseNoop}});
         }},
        {"an event number lists do not have",
         [](TemplateCopy& t) {
             t.SetEvents(kResultListId, {{kEventContextMenu, &MouseNoop}, {2, &PlainNoop}});
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
                                   {-6, &MouseNoop},
                                   {kEventKeyDown, &KeyNoop},
                                   {kEventContextMenu, &MouseNoop}});
    copy.SetEvents(kAddressLabelId, {{-6, &MouseNoop}});
    copy.SetEvents(kBrowserId, {{kEventPageStateChanged, &PlainNoop}});
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
