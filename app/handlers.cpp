#include "app/handlers.h"

#include "app/components.h"
#include "app/cursor.h"
#include "app/globals.h"
#include "app/link_rules.h"
#include "app/shell_services.h"

namespace rh {
namespace {

// The captions of 按钮1 are its mode: resolve next, or harvest next.
constexpr const char* kResolveCaption = "跳转";
constexpr const char* kHarvestCaption = "获取下载链接";

// Set while a press of the action button is being handled. Attaching to the browser lets waiting
// window events run, a second press among them; that press is dropped, so two jobs never
// interleave on the one page.
bool g_actionRunning = false;

class ActionGuard {
  public:
    ActionGuard() { g_actionRunning = true; }
    ~ActionGuard() { g_actionRunning = false; }
    ActionGuard(const ActionGuard&) = delete;
    ActionGuard& operator=(const ActionGuard&) = delete;
};

// Stops a list from redrawing itself, scroll bar included, after every item added: with thousands
// of items that costs far more than reading the page. It is drawn once, when the pause ends.
class ListRedrawPause {
  public:
    explicit ListRedrawPause(HWND list) : list_(list) {
        SendMessage(list_, WM_SETREDRAW, FALSE, 0);
    }
    ~ListRedrawPause() {
        SendMessage(list_, WM_SETREDRAW, TRUE, 0);
        InvalidateRect(list_, nullptr, TRUE);
    }
    ListRedrawPause(const ListRedrawPause&) = delete;
    ListRedrawPause& operator=(const ListRedrawPause&) = delete;

  private:
    HWND list_;
};

HWND Component(std::uint32_t componentId) {
    return ComponentWindowHandle(kMainWindowId, componentId);
}

// Attaches the page object to the hidden browser. Waiting events run meanwhile, and one of them
// may have closed the window (Esc, the close box): false then, and the job must stop without
// touching the window again. The page object itself lives until the message loop has ended.
bool AttachStillOpen(PageAutomation& page) {
    page.AttachToBrowser(Component(kBrowserId));
    return Component(kActionButtonId) != nullptr;
}

void Resolve(PageAutomation& page) {
    if (!AttachStillOpen(page)) {
        return;
    }
    const Text address = ReadWindowText(Component(kAddressEditId));
    page.SetElementValue("1", address, 0);
    page.ClickElement("1", 0);
    WriteWindowText(Component(kActionButtonId), kHarvestCaption);
}

void Harvest(PageAutomation& page) {
    ListClear(Component(kResultListId));
    if (!AttachStillOpen(page)) {
        return;
    }
    HWND list = Component(kResultListId);
    // Every link once, by its place on the page. Looking links up by their number instead would
    // let a link whose text is a number (a pager's "2") stand in for the link at that place, and
    // would walk all the links before it on every lookup.
    const LinkCollection links(page);
    const ListRedrawPause pause(list);
    for (int i = 1; i <= links.Size(); ++i) {
        const ComObject link = links.Item(i);
        if (!IsVideoLink(ReadTextProperty(link, "innerText"))) {
            continue;
        }
        // Markup the address cannot be carved out of is passed over; it never ends the program.
        if (const std::optional<Text> address =
                ExtractLinkAddress(ReadTextProperty(link, "outerHTML"))) {
            ListAddItem(list, *address);
        }
    }
    WriteWindowText(Component(kActionButtonId), kResolveCaption);
}

}  // namespace

void OnActionButtonClicked() {
    if (g_actionRunning || !g_pageAutomation) {
        return;
    }
    ActionGuard guard;
    const PressCursorScope waitCursor;
    HWND button = Component(kActionButtonId);
    if (button == nullptr) {
        return;
    }
    if (CompareText(ReadWindowText(button), kResolveCaption) == 0) {
        Resolve(*g_pageAutomation);
    } else {
        Harvest(*g_pageAutomation);
    }
}

void OnResultListDoubleClicked() {
    HWND list = Component(kResultListId);
    const int selected = list != nullptr ? ListCurrentSelection(list) : -1;
    // Nothing selected (an empty list, say): nothing to copy, and what the user had put on the
    // clipboard stays there.
    if (selected == -1) {
        return;
    }
    SetClipboardText(GetAncestor(list, GA_ROOT), AddressToHandOn(ListItemText(list, selected)));
    // Read again: the shell gets what is selected now. Only web addresses are handed to it.
    OpenWithShell(ListItemText(list, ListCurrentSelection(list)));
}

void OnResultListMouseMoved(std::int32_t, std::int32_t, std::int32_t) {
    HWND list = Component(kResultListId);
    if (list == nullptr || ListCurrentSelection(list) == -1) {
        return;
    }
    SetWindowTooltip(list, ListItemText(list, ListCurrentSelection(list)), false, false);
}

}  // namespace rh
