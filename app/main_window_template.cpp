// The main window: an address box with its label, the action button, the result list, a label that
// names the supported sites, and the hidden browser that keeps the resolving page loaded.
#include "app/main_window_template.h"

#include <windows.h>

#include "app/components.h"
#include "app/handlers.h"
#include "app/resources.h"

#ifndef REELHAWK_RESOLVER_URL
#error "REELHAWK_RESOLVER_URL must name the resolving page (set by the build)"
#endif

namespace rh {
namespace {

static_assert(sizeof(LOGFONTA) == 60, "fonts are stored as 60-byte LOGFONTA records");

constexpr LOGFONTA kSongTi12 = {-12,
                                0,
                                0,
                                0,
                                FW_NORMAL,
                                0,
                                0,
                                0,
                                GB2312_CHARSET,
                                OUT_DEFAULT_PRECIS,
                                CLIP_DEFAULT_PRECIS,
                                DEFAULT_QUALITY,
                                DEFAULT_PITCH | FF_DONTCARE,
                                "宋体"};
constexpr LOGFONTA kDotum12 = {-12,
                               0,
                               0,
                               0,
                               FW_NORMAL,
                               0,
                               0,
                               0,
                               GB2312_CHARSET,
                               OUT_DEFAULT_PRECIS,
                               CLIP_DEFAULT_PRECIS,
                               DEFAULT_QUALITY,
                               DEFAULT_PITCH | FF_DONTCARE,
                               "Dotum"};
constexpr FontRecord kSongTi{&kSongTi12, sizeof(kSongTi12)};
constexpr FontRecord kDotum{&kDotum12, sizeof(kDotum12)};

constexpr std::uint32_t kShownStop = kComponentVisible | kComponentFocusStop;

constexpr EventBinding kButtonEvents[] = {
    {kEventButtonClicked, &OnActionButtonClicked},
};
constexpr EventBinding kListEvents[] = {
    {kEventListDoubleClicked, &OnResultListDoubleClicked},
    {kEventMouseMoved, &OnResultListMouseMoved},
    {kEventContextMenu, &OnResultListContextMenu},
    {kEventKeyDown, &OnResultListKeyDown},
};
constexpr EventBinding kBrowserEvents[] = {
    {kEventPageStateChanged, &OnResolverPageStateChanged},
};

constexpr ComponentRecord kComponents[] = {
    {kSupportedSitesLabelId,
     "标签2",
     ComponentType::Label,
     40,
     184,
     328,
     16,
     kComponentVisible,
     0,
     kSongTi,
     {},
     LabelProperties{"支持优酷、土豆、酷6、youtube等网站的转换。"}},
    {kResultListId, "列表框1", ComponentType::ListBox, 5, 40, 475, 136, kShownStop, 0, kSongTi,
     kListEvents, ListBoxProperties{}},
    {kActionButtonId, "按钮1", ComponentType::Button, 304, 10, 88, 24, kShownStop, 0, kSongTi,
     kButtonEvents, ButtonProperties{"跳转", true}},
    {kBrowserId,
     "超文本浏览框1",
     ComponentType::HtmlViewer,
     416,
     0,
     424,
     224,
     kComponentFocusStop,
     0,
     {},
     kBrowserEvents,
     HtmlViewerProperties{REELHAWK_RESOLVER_URL, 2, false, true}},
    {kAddressEditId,
     "编辑框1",
     ComponentType::EditBox,
     72,
     8,
     224,
     24,
     kShownStop,
     0,
     kDotum,
     {},
     EditBoxProperties{"", true, false, false, true, 0, RGB(0, 0, 255), RGB(255, 255, 255)}},
    {kAddressLabelId,
     "标签1",
     ComponentType::Label,
     8,
     8,
     64,
     24,
     kComponentVisible,
     0,
     kSongTi,
     {},
     LabelProperties{"网站地址："}},
};

constexpr WindowTemplate kMainWindow = {
    kWindowTemplateFormat,
    {kMainWindowId, "启动窗口", "Reelhawk 1.0", 50, 50, 493, 231, /*toolWindow=*/true,
     /*minimizeBox=*/false, /*maximizeBox=*/false, /*resizable=*/false, /*escapeCloses=*/true,
     /*enterMovesFocus=*/false, kButtonFaceColour, kAppIconResource},
    kComponents,
};

}  // namespace

const WindowTemplate& MainWindowTemplate() {
    return kMainWindow;
}

const char* ResolverAddress() {
    return REELHAWK_RESOLVER_URL;
}

}  // namespace rh
