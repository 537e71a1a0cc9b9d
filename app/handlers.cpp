#include "app/handlers.h"

#include <optional>

#include "app/components.h"
#include "app/cursor.h"
#include "app/form.h"
#include "app/globals.h"
#include "app/link_rules.h"
#include "app/list_commands.h"
#include "app/shell_services.h"
#include "app/status_tip.h"
#include "runtime/wide_text.h"

namespace rh {
namespace {

// The captions of 按钮1 are its mode: resolve next, or harvest next.
constexpr const char* kResolveCaption = "跳转";
constexpr const char* kHarvestCaption = "获取下载链接";

// Set while a press of the action button is being handled. Attaching to the browser lets waiting
// window events run, a second press among them; that press is dropped, so two jobs never
// interleave on the one page.
bool g_actionRunning = false;

// How many addresses the last harvest listed; none once the page or the mode has moved on.
std::optional<int> g_lastHarvestFound;

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
    const Text address = ReadWindowAddress(Component(kAddressEditId));
    page.SetElementValue("1", address, 0);
    page.ClickElement("1", 0);
    WriteWindowText(Component(kActionButtonId), kHarvestCaption);
}

// A link's markup, read for carving its address: a character GBK cannot hold is kept as a browser
// keeps it in an address (AddressTextFromWide), not made "?", which would start a query. The
// empty text when it cannot be read.
Text ReadMarkupForAddress(const ComObject& link) {
    AutomationResult result;
    InvokeByName(link, "outerHTML", InvokeMode::PropertyGet, {}, ResultType::Variant, result);
    Variant* markup = std::get_if<Variant>(&result);
    Variant text;
    if (markup == nullptr || FAILED(VariantChangeType(text.Get(), markup->Get(), 0, VT_BSTR)) ||
        V_BSTR(text.Get()) == nullptr) {
        return Text();
    }
    return AddressTextFromWide(V_BSTR(text.Get()), SysStringLen(V_BSTR(text.Get())));
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
        if (const std::optional<Text> address = ExtractLinkAddress(ReadMarkupForAddress(link))) {
            ListAddItem(list, *address);
        }
    }
    WriteWindowText(Component(kActionButtonId), kResolveCaption);
}

// The button's tip follows the hidden page and the button's mode.
void ShowPageStatus() {
    HWND button = Component(kActionButtonId);
    if (button == nullptr) {
        return;
    }
    PageStatus status = PageStatus::ReadyToResolve;
    if (BrowserComponentLoading(kMainWindowId, kBrowserId)) {
        status = PageStatus::Loading;
    } else if (CompareText(ReadWindowText(button), kResolveCaption) != 0) {
        status = PageStatus::ReadyToHarvest;
    }
    SetButtonTip(button, StatusTipText(status, g_lastHarvestFound));
}

// The one way the list's commands reach the clipboard, with the program's window as its owner.
void CopyText(HWND list, TextView text) {
    SetClipboardText(GetAncestor(list, GA_ROOT), text);
}

// The selected address to the clipboard, as it is handed on (no line breaks). False, leaving the
// clipboard and what the user had put there alone, when nothing is selected (an empty list, say).
bool CopySelectedAddress(HWND list) {
    const int selected = list != nullptr ? ListCurrentSelection(list) : -1;
    if (selected == -1) {
        return false;
    }
    CopyText(list, AddressToHandOn(ListItemText(list, selected)));
    return true;
}

// What a double-click does: copy the selected address, then open it when it is a web address.
void CopyAndOpenSelected(HWND list) {
    if (!CopySelectedAddress(list)) {
        return;
    }
    // Read again: the shell gets what is selected now. Only web addresses are handed to it.
    OpenWithShell(ListItemText(list, ListCurrentSelection(list)));
}

void CopyAllAddresses(HWND list) {
    if (SendMessageA(list, LB_GETCOUNT, 0, 0) > 0) {
        CopyText(list, ListItemsAsLines(list, false, true));
    }
}

// A right click picks the item under the pointer first, as lists elsewhere do, so the menu is
// about the item that was clicked.
void SelectItemAt(HWND list, std::int32_t x, std::int32_t y) {
    POINT at{x, y};
    ScreenToClient(list, &at);
    const LRESULT hit = SendMessageA(list, LB_ITEMFROMPOINT, 0, MAKELPARAM(at.x, at.y));
    if (HIWORD(hit) == 0) {  // on an item, not below the last one
        SendMessageA(list, LB_SETCURSEL, LOWORD(hit), 0);
    }
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
        g_lastHarvestFound.reset();
        Resolve(*g_pageAutomation);
    } else {
        Harvest(*g_pageAutomation);
        // Counted once the job is done, from what the list shows.
        if (HWND list = Component(kResultListId)) {
            const LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
            g_lastHarvestFound = count == LB_ERR ? 0 : static_cast<int>(count);
        }
    }
    ShowPageStatus();
}

void OnResultListDoubleClicked() {
    CopyAndOpenSelected(Component(kResultListId));
}

void OnResultListContextMenu(std::int32_t x, std::int32_t y, std::int32_t) {
    HWND list = Component(kResultListId);
    // Not in the middle of a press (its window walk lets events run): the menu's own message
    // loop, or the Save As dialog's, would hold the job until it closed.
    if (list == nullptr || g_actionRunning) {
        return;
    }
    if (x != -1 || y != -1) {
        SelectItemAt(list, x, y);
    }
    HWND window = GetAncestor(list, GA_ROOT);
    switch (ChooseListCommand(window, list, x, y)) {
        case ListCommand::Copy:
            CopySelectedAddress(list);
            break;
        case ListCommand::CopyAll:
            CopyAllAddresses(list);
            break;
        case ListCommand::Save:
            SaveListAs(window, list);
            break;
        case ListCommand::Open:
            CopyAndOpenSelected(list);
            break;
        case ListCommand::None:
            break;
    }
}

void OnResultListKeyDown(std::int32_t key, std::int32_t keyState) {
    constexpr std::int32_t kCtrl = 1;
    constexpr std::int32_t kShift = 2;
    constexpr std::int32_t kAlt = 4;
    if (key != 'C' || (keyState & (kCtrl | kAlt)) != kCtrl) {
        return;
    }
    HWND list = Component(kResultListId);
    if (list == nullptr) {
        return;
    }
    if ((keyState & kShift) != 0) {
        CopyAllAddresses(list);
    } else if (ListCurrentSelection(list) != -1) {
        CopySelectedAddress(list);
    }
}

void OnResolverPageStateChanged() {
    if (BrowserComponentLoading(kMainWindowId, kBrowserId)) {
        g_lastHarvestFound.reset();  // a new page: what the last harvest found is history
    }
    ShowPageStatus();
}

void OnResultListMouseMoved(std::int32_t, std::int32_t, std::int32_t) {
    HWND list = Component(kResultListId);
    if (list == nullptr || ListCurrentSelection(list) == -1) {
        return;
    }
    SetWindowTooltip(list, ListItemText(list, ListCurrentSelection(list)), false, false);
}

}  // namespace rh
