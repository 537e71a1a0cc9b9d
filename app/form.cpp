#include "app/form.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "app/browser_host.h"
#include "app/cursor.h"
#include "app/dpi.h"
#include "app/label.h"
#include "app/own_window.h"
#include "runtime/events.h"
#include "runtime/window_handle.h"
#include "runtime/memory.h"
#include "runtime/wide_text.h"

namespace rh {
namespace {

constexpr const wchar_t* kFormClassName = L"ReelhawkWindow";

HINSTANCE Instance() {
    return GetModuleHandleA(nullptr);
}

// The list's items are this much taller than the control's own (template pixels).
constexpr int kListItemExtraHeight = 3;

// A stored font record made into a font for this DPI (its sizes are template pixels): character
// set, precisions, quality and pitch are ours, not the record's. Null when the record is not a
// whole LOGFONTA.
HFONT MakeComponentFont(const FontRecord& record, UINT dpi) {
    if (record.bytes == nullptr || record.size != sizeof(LOGFONTA)) {
        return nullptr;
    }
    LOGFONTA stored;
    std::memcpy(&stored, record.bytes, sizeof(stored));
    LOGFONTW font{};
    font.lfHeight = ScaleToDpi(stored.lfHeight, dpi);
    font.lfWidth = ScaleToDpi(stored.lfWidth, dpi);
    font.lfEscapement = stored.lfEscapement;
    font.lfOrientation = stored.lfOrientation;
    font.lfWeight = stored.lfWeight;
    font.lfItalic = stored.lfItalic;
    font.lfUnderline = stored.lfUnderline;
    font.lfStrikeOut = stored.lfStrikeOut;
    font.lfCharSet = DEFAULT_CHARSET;
    font.lfOutPrecision = 0;
    font.lfClipPrecision = 0;
    font.lfQuality = PROOF_QUALITY;
    font.lfPitchAndFamily = 0;
    // The face name is GBK like every text of ours ("宋体"); a record without a terminator
    // stays in bounds, and a name too long for the field is cut.
    const TextView face(stored.lfFaceName, strnlen(stored.lfFaceName, LF_FACESIZE - 1));
    const WideText wideFace = WideFromText(face);
    wideFace.copy(font.lfFaceName, std::min<std::size_t>(wideFace.size(), LF_FACESIZE - 1));
    return CreateFontIndirectW(&font);
}

// Ctrl 1 + Shift 2 + Alt 4, as the keyboard stood when the message was sent.
std::int32_t MouseKeyState() {
    std::int32_t state = 0;
    if (GetKeyState(VK_CONTROL) < 0) {
        state |= 1;
    }
    if (GetKeyState(VK_SHIFT) < 0) {
        state |= 2;
    }
    if (GetKeyState(VK_MENU) < 0) {
        state |= 4;
    }
    return state;
}

struct Component {
    const ComponentRecord* record = nullptr;
    int index = 0;
    HWND window = nullptr;
    HFONT font = nullptr;        // ours; released after the window has gone
    HBRUSH backBrush = nullptr;  // ours: the background of edit and list boxes
    std::unique_ptr<LabelWindow> label;
    std::unique_ptr<BrowserContainer> browser;

    Component() = default;
    Component(const Component&) = delete;
    Component& operator=(const Component&) = delete;
    ~Component() {
        if (font != nullptr) {
            DeleteObject(font);
        }
        if (backBrush != nullptr) {
            DeleteObject(backBrush);
        }
    }

    template <class Handler>
    Handler BoundHandler(std::int32_t event) const {
        for (const EventBinding& b : record->events) {
            if (b.event == event) {
                const Handler* h = std::get_if<Handler>(&b.handler);
                return h != nullptr ? *h : nullptr;
            }
        }
        return nullptr;
    }

    bool IsTabCandidate() const {
        return (record->flags & kComponentFocusStop) != 0 && IsWindowVisible(window) &&
               IsWindowEnabled(window);
    }

    bool IsEnabledDefaultButton() const {
        // Only buttons: other controls' styles reuse the same low bits (LBS_NOTIFY is 1 too).
        if (record->type != ComponentType::Button || !IsWindowEnabled(window)) {
            return false;
        }
        const LONG_PTR style = GetWindowLongPtrA(window, GWL_STYLE);
        return (style & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
    }

    // Whether the component handles this key itself while it has the focus.
    bool ClaimsKey(WPARAM key) const {
        if (record->type == ComponentType::HtmlViewer) {
            return true;  // the browser does its own keyboard handling
        }
        if (record->type == ComponentType::EditBox && key == VK_RETURN) {
            const auto& edit = std::get<EditBoxProperties>(record->properties);
            return edit.multiLine && !edit.readOnly;
        }
        return false;
    }
};

class Form {
  public:
    explicit Form(const WindowTemplate& tpl) : tpl_(tpl) {}
    ~Form() {
        if (bigIcon_ != nullptr) {
            DestroyIcon(bigIcon_);
        }
        if (smallIcon_ != nullptr) {
            DestroyIcon(smallIcon_);
        }
        if (backBrush_ != nullptr) {
            DeleteObject(backBrush_);
        }
    }
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;

    HWND Window() const noexcept { return window_; }
    std::uint32_t Id() const noexcept { return tpl_.window.id; }
    UINT Dpi() const noexcept { return dpi_; }

    bool Create();
    HWND FindComponent(std::uint32_t id) const;
    const Component* FindComponentRecord(std::uint32_t id) const;
    bool Preprocess(MSG& message);
    LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  private:
    DWORD FrameStyle() const;
    DWORD FrameExStyle() const { return tpl_.window.toolWindow ? WS_EX_TOOLWINDOW : 0; }
    SIZE OuterSize() const;
    RECT ComponentRect(const ComponentRecord& record) const;
    bool CreateWindowFrame();
    void ApplyIcon();
    bool CreateComponent(const ComponentRecord& record, int index);
    HWND CreateComponentWindow(Component& c, DWORD style, DWORD exStyle);
    void FinishComponent(Component& c);
    void FitListItemHeight(const Component& c) const;
    void OnDpiChanged(UINT dpi, const RECT& suggested);
    void LayOutComponent(Component& c);

    const Component* ComponentOf(HWND window) const;
    const Component* ComponentContaining(HWND window) const;
    bool OnEnterKey(const MSG& message);
    bool OnEscapeKey(const MSG& message);
    bool OnTabKey(const MSG& message, bool backwards);
    bool OnContextMenuKey(const MSG& message);
    void RaiseKeyEvent(const MSG& message);
    void MoveFocus(const Component& from, bool backwards) const;
    void RaiseMouseEvent(const MSG& message, std::int32_t event);

    void OnCommand(WPARAM wParam, LPARAM lParam);
    LRESULT OnControlColour(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnEraseBackground(HWND window, HDC dc);
    HCURSOR StatusCursor() const;
    LRESULT OnSetCursor(HWND window, WPARAM wParam, LPARAM lParam);
    void OnBrowserStateChanged(HWND container);
    bool OnContextMenu(HWND target, LPARAM lParam);
    LRESULT OnNcDestroy();

    const WindowTemplate& tpl_;
    HWND window_ = nullptr;
    HFONT windowFont_ = nullptr;  // stock
    HICON bigIcon_ = nullptr;
    HICON smallIcon_ = nullptr;
    HBRUSH backBrush_ = nullptr;  // only for a colour other than button face
    UINT dpi_ = kTemplateDpi;     // the scale the window is laid out for
    std::vector<std::unique_ptr<Component>> components_;
};

// Template windows that were built completely; a window that failed half-way is never listed.
std::vector<std::unique_ptr<Form>>& LiveForms() {
    static std::vector<std::unique_ptr<Form>> forms;
    return forms;
}

Form* FormContaining(HWND window) {
    if (window == nullptr) {
        return nullptr;
    }
    HWND root = GetAncestor(window, GA_ROOT);
    for (const auto& form : LiveForms()) {
        if (form->Window() == root) {
            return form.get();
        }
    }
    return nullptr;
}

bool PreprocessTemplateMessage(MSG& message) {
    Form* form = FormContaining(message.hwnd);
    return form != nullptr && form->Preprocess(message);
}

bool g_classesRegistered = false;

bool RegisterWindowClasses() {
    if (g_classesRegistered) {
        return true;
    }
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = &ThunkWindowProc<Form>;
    wc.hInstance = Instance();
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = kFormClassName;
    const bool form = RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    g_classesRegistered = form && LabelWindow::RegisterWindowClass(Instance()) &&
                          BrowserContainer::RegisterWindowClass(Instance());
    return g_classesRegistered;
}

// ---------------------------------------------------------------------------------------------
// Building the window.

bool Form::Create() {
    if (!CreateWindowFrame()) {
        return false;
    }
    windowFont_ = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    SendMessageA(window_, WM_SETFONT, reinterpret_cast<WPARAM>(windowFont_), FALSE);
    ApplyIcon();
    components_.reserve(tpl_.components.size());
    int index = 0;
    for (const ComponentRecord& record : tpl_.components) {
        if (!CreateComponent(record, index++)) {
            return false;
        }
    }
    return true;
}

DWORD Form::FrameStyle() const {
    const WindowRecord& w = tpl_.window;
    DWORD style = WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    if (w.minimizeBox) {
        style |= WS_MINIMIZEBOX;
    }
    if (w.maximizeBox) {
        style |= WS_MAXIMIZEBOX;
    }
    if (w.resizable) {
        style |= WS_THICKFRAME;
    }
    return style;
}

// The template's outer size at the window's DPI: the client area it leaves at 96 DPI, scaled,
// inside the system's frame at this DPI (the caption does not grow by the same factor). Where the
// system cannot give the frame at 96 DPI, the whole outer size is scaled.
SIZE Form::OuterSize() const {
    const WindowRecord& w = tpl_.window;
    if (dpi_ == kTemplateDpi) {
        return {w.width, w.height};
    }
    RECT frameAtTemplate{};
    RECT frameHere{};
    if (FrameAroundClient(frameAtTemplate, FrameStyle(), FrameExStyle(), kTemplateDpi) &&
        FrameAroundClient(frameHere, FrameStyle(), FrameExStyle(), dpi_)) {
        const int clientWidth = w.width - (frameAtTemplate.right - frameAtTemplate.left);
        const int clientHeight = w.height - (frameAtTemplate.bottom - frameAtTemplate.top);
        return {ScaleToDpi(clientWidth, dpi_) + (frameHere.right - frameHere.left),
                ScaleToDpi(clientHeight, dpi_) + (frameHere.bottom - frameHere.top)};
    }
    return {ScaleToDpi(w.width, dpi_), ScaleToDpi(w.height, dpi_)};
}

RECT Form::ComponentRect(const ComponentRecord& record) const {
    const int left = ScaleToDpi(record.left, dpi_);
    const int top = ScaleToDpi(record.top, dpi_);
    return {left, top, left + ScaleToDpi(record.width, dpi_),
            top + ScaleToDpi(record.height, dpi_)};
}

bool Form::CreateWindowFrame() {
    const WindowRecord& w = tpl_.window;
    // Centred on the primary screen; the stored left and top are not used.
    int left = (GetSystemMetrics(SM_CXSCREEN) - w.width) / 2;
    int top = (GetSystemMetrics(SM_CYSCREEN) - w.height) / 2;
    const WideText title = WideFromText(w.title != nullptr ? w.title : "");
    window_ = CreateWindowExW(FrameExStyle(), kFormClassName, title.c_str(), FrameStyle(), left,
                              top, w.width, w.height, nullptr, nullptr, Instance(), this);
    if (window_ == nullptr) {
        return false;
    }
    // The scale of the screen it opened on; the components are made for it.
    dpi_ = WindowDpi(window_);
    const SIZE size = OuterSize();
    left = (GetSystemMetrics(SM_CXSCREEN) - size.cx) / 2;
    top = (GetSystemMetrics(SM_CYSCREEN) - size.cy) / 2;
    RECT outer{};
    GetWindowRect(window_, &outer);
    if (outer.left != left || outer.top != top || outer.right - outer.left != size.cx ||
        outer.bottom - outer.top != size.cy) {
        SetWindowPos(window_, nullptr, left, top, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (w.backColour != kButtonFaceColour) {
        backBrush_ = CreateSolidBrush(TemplateColour(w.backColour));
    }
    return true;
}

void Form::ApplyIcon() {
    const WORD id = tpl_.window.iconResource;
    if (id == 0) {
        return;
    }
    // Each size picked from the icon's own images rather than scaled from one of them.
    bigIcon_ = static_cast<HICON>(LoadImageA(Instance(), MAKEINTRESOURCEA(id), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXICON),
                                             GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
    smallIcon_ = static_cast<HICON>(LoadImageA(Instance(), MAKEINTRESOURCEA(id), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    if (bigIcon_ != nullptr) {
        SendMessageA(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_));
    }
    if (smallIcon_ != nullptr) {
        SendMessageA(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
    }
}

bool Form::CreateComponent(const ComponentRecord& record, int index) {
    auto component = std::make_unique<Component>();
    component->record = &record;
    component->index = index;
    Component& c = *component;
    components_.push_back(std::move(component));

    DWORD style = WS_CHILD | WS_CLIPSIBLINGS;
    if ((record.flags & kComponentDisabled) != 0) {
        style |= WS_DISABLED;
    }
    if ((record.flags & kComponentFocusStop) != 0) {
        style |= WS_TABSTOP;
    }
    DWORD exStyle = 0;
    switch (record.type) {
        case ComponentType::ListBox: {
            const auto& list = std::get<ListBoxProperties>(record.properties);
            style |= WS_VSCROLL | LBS_NOTIFY | LBS_USETABSTOPS | LBS_NOINTEGRALHEIGHT;
            if (list.sorted) {
                style |= LBS_SORT;
            }
            if (list.sunkenBorder) {
                exStyle |= WS_EX_CLIENTEDGE;
            }
            break;
        }
        case ComponentType::Button: {
            const auto& button = std::get<ButtonProperties>(record.properties);
            style |= (button.defaultButton ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) | BS_CENTER |
                     BS_VCENTER | BS_MULTILINE;
            break;
        }
        case ComponentType::EditBox: {
            const auto& edit = std::get<EditBoxProperties>(record.properties);
            style |= ES_LEFT;
            style |=
                edit.multiLine ? (ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN) : ES_AUTOHSCROLL;
            if (edit.readOnly) {
                style |= ES_READONLY;
            }
            if (!edit.hideSelection) {
                style |= ES_NOHIDESEL;
            }
            if (edit.sunkenBorder) {
                exStyle |= WS_EX_CLIENTEDGE;
            }
            break;
        }
        case ComponentType::Label:
        case ComponentType::HtmlViewer:
            break;
    }
    c.window = CreateComponentWindow(c, style, exStyle);
    if (c.window == nullptr) {
        return false;
    }
    c.font = MakeComponentFont(record.font, dpi_);
    HFONT font = c.font != nullptr ? c.font : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    SendMessageA(c.window, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    FinishComponent(c);
    if ((record.flags & kComponentVisible) != 0) {
        ShowWindow(c.window, SW_SHOWNA);
    }
    return true;
}

HWND Form::CreateComponentWindow(Component& c, DWORD style, DWORD exStyle) {
    const ComponentRecord& r = *c.record;
    const int controlId = c.index + 1;
    auto* menu = reinterpret_cast<HMENU>(static_cast<INT_PTR>(controlId));
    const RECT place = ComponentRect(r);
    const int x = place.left;
    const int y = place.top;
    const int width = place.right - place.left;
    const int height = place.bottom - place.top;
    switch (r.type) {
        case ComponentType::Label: {
            const auto& label = std::get<LabelProperties>(r.properties);
            c.label = std::make_unique<LabelWindow>(label.textColour, label.backColour);
            return c.label->Create(window_, label.caption != nullptr ? label.caption : "", style,
                                   exStyle, x, y, width, height, controlId);
        }
        case ComponentType::ListBox:
            return CreateWindowExW(exStyle, L"LISTBOX", L"", style, x, y, width, height, window_,
                                   menu, Instance(), nullptr);
        case ComponentType::Button: {
            const char* caption = std::get<ButtonProperties>(r.properties).caption;
            const WideText wide = WideFromText(caption != nullptr ? caption : "");
            return CreateWindowExW(exStyle, L"BUTTON", wide.c_str(), style, x, y, width, height,
                                   window_, menu, Instance(), nullptr);
        }
        case ComponentType::EditBox: {
            const char* text = std::get<EditBoxProperties>(r.properties).text;
            const WideText wide = WideFromText(text != nullptr ? text : "");
            return CreateWindowExW(exStyle, L"EDIT", wide.c_str(), style, x, y, width, height,
                                   window_, menu, Instance(), nullptr);
        }
        case ComponentType::HtmlViewer:
            c.browser = std::make_unique<BrowserContainer>();
            return c.browser->Create(window_, style, exStyle, x, y, width, height, controlId);
    }
    return nullptr;
}

void Form::FinishComponent(Component& c) {
    const ComponentRecord& r = *c.record;
    switch (r.type) {
        case ComponentType::ListBox: {
            const auto& list = std::get<ListBoxProperties>(r.properties);
            c.backBrush = CreateSolidBrush(TemplateColour(list.backColour));
            FitListItemHeight(c);
            break;
        }
        case ComponentType::EditBox: {
            const auto& edit = std::get<EditBoxProperties>(r.properties);
            c.backBrush = CreateSolidBrush(TemplateColour(edit.backColour));
            SendMessageA(c.window, EM_LIMITTEXT, edit.maxLength, 0);
            SendMessageA(c.window, EM_SETSEL, 0, 0);
            break;
        }
        case ComponentType::HtmlViewer:
            // A browser that cannot be made leaves the box empty: the page operations then find
            // no document, as when the page cannot be loaded.
            c.browser->Embed(std::get<HtmlViewerProperties>(r.properties));
            break;
        case ComponentType::Label:
        case ComponentType::Button:
            break;
    }
}

// The control's own item height for its font, and the template's few pixels more, scaled. The
// control works its own height out afresh whenever it is given a font.
void Form::FitListItemHeight(const Component& c) const {
    const LRESULT height = SendMessageW(c.window, LB_GETITEMHEIGHT, 0, 0);
    if (height != LB_ERR) {
        const int taller = static_cast<int>(height) + ScaleToDpi(kListItemExtraHeight, dpi_);
        SendMessageW(c.window, LB_SETITEMHEIGHT, 0, MAKELPARAM(taller, 0));
    }
}

// The window moved to a screen of another scale: it takes the rectangle the system suggests and
// lays the components out again for the new DPI, fonts and tips included.
void Form::OnDpiChanged(UINT dpi, const RECT& suggested) {
    if (dpi == 0) {
        return;
    }
    dpi_ = dpi;
    SetWindowPos(window_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    for (const auto& c : components_) {
        LayOutComponent(*c);
    }
    // The program's tips (the button's, the list's) are windows of this thread.
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND w, LPARAM newDpi) -> BOOL {
            wchar_t className[32] = {};
            GetClassNameW(w, className, static_cast<int>(std::size(className)));
            if (lstrcmpiW(className, TOOLTIPS_CLASSW) == 0) {
                FitTooltipToDpi(w, static_cast<UINT>(newDpi));
            }
            return TRUE;
        },
        static_cast<LPARAM>(dpi));
    InvalidateRect(window_, nullptr, TRUE);
}

void Form::LayOutComponent(Component& c) {
    const RECT place = ComponentRect(*c.record);
    SetWindowPos(c.window, nullptr, place.left, place.top, place.right - place.left,
                 place.bottom - place.top, SWP_NOZORDER | SWP_NOACTIVATE);
    // A component without a font record keeps the stock font.
    if (HFONT font = MakeComponentFont(c.record->font, dpi_)) {
        SendMessageW(c.window, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
        if (c.font != nullptr) {
            DeleteObject(c.font);
        }
        c.font = font;
    }
    if (c.record->type == ComponentType::ListBox) {
        FitListItemHeight(c);
    }
}

HWND Form::FindComponent(std::uint32_t id) const {
    const Component* c = FindComponentRecord(id);
    return c != nullptr ? c->window : nullptr;
}

const Component* Form::FindComponentRecord(std::uint32_t id) const {
    for (const auto& c : components_) {
        if (c->record->id == id) {
            return c.get();
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Keys and mouse, looked at before they are dispatched.

const Component* Form::ComponentOf(HWND window) const {
    for (const auto& c : components_) {
        if (SameWindow(c->window, window)) {
            return c.get();
        }
    }
    return nullptr;
}

const Component* Form::ComponentContaining(HWND window) const {
    for (const auto& c : components_) {
        if (SameWindow(c->window, window) || IsChild(c->window, window)) {
            return c.get();
        }
    }
    return nullptr;
}

bool Form::Preprocess(MSG& message) {
    switch (message.message) {
        case WM_KEYDOWN:
            switch (message.wParam) {
                case VK_RETURN:
                    return OnEnterKey(message);
                case VK_ESCAPE:
                    return OnEscapeKey(message);
                case VK_TAB:
                    return OnTabKey(message, GetKeyState(VK_SHIFT) < 0);
                case VK_APPS:
                case VK_F10:
                    if (OnContextMenuKey(message)) {
                        return true;
                    }
                    RaiseKeyEvent(message);
                    return false;
                default:
                    RaiseKeyEvent(message);
                    return false;
            }
        case WM_SYSKEYDOWN:
        case WM_KEYUP:
        case WM_SYSKEYUP:
            return OnContextMenuKey(message);
        case WM_LBUTTONDOWN:
            RaiseMouseEvent(message, kEventLeftButtonDown);
            return false;
        case WM_LBUTTONUP:
            RaiseMouseEvent(message, kEventLeftButtonUp);
            return false;
        case WM_LBUTTONDBLCLK:
            RaiseMouseEvent(message, kEventDoubleClick);
            return false;
        case WM_RBUTTONDOWN:
            RaiseMouseEvent(message, kEventRightButtonDown);
            return false;
        case WM_RBUTTONUP:
            RaiseMouseEvent(message, kEventRightButtonUp);
            return false;
        case WM_MOUSEMOVE:
            RaiseMouseEvent(message, kEventMouseMoved);
            return false;
        default:
            return false;
    }
}

bool Form::OnEnterKey(const MSG& message) {
    const Component* focused = ComponentContaining(message.hwnd);
    if (focused != nullptr && focused->ClaimsKey(VK_RETURN)) {
        return false;
    }
    if (tpl_.window.enterMovesFocus) {
        if (focused == nullptr) {
            return false;
        }
        MoveFocus(*focused, false);
        return true;
    }
    const Component* button = nullptr;
    if (focused != nullptr && focused->IsEnabledDefaultButton()) {
        button = focused;
    } else {
        for (const auto& c : components_) {
            if (c->IsEnabledDefaultButton()) {
                button = c.get();
                break;
            }
        }
    }
    if (button == nullptr) {
        return false;
    }
    if (PlainHandler handler = button->BoundHandler<PlainHandler>(kEventButtonClicked)) {
        handler();  // may destroy this window: nothing of it is touched afterwards
    }
    return true;
}

bool Form::OnEscapeKey(const MSG& message) {
    const Component* focused = ComponentContaining(message.hwnd);
    if (!tpl_.window.escapeCloses || (focused != nullptr && focused->ClaimsKey(VK_ESCAPE))) {
        return false;
    }
    SendMessageA(window_, WM_CLOSE, 0, 0);
    return true;
}

bool Form::OnTabKey(const MSG& message, bool backwards) {
    const Component* focused = ComponentContaining(message.hwnd);
    if (focused == nullptr || focused->ClaimsKey(VK_TAB)) {
        return false;
    }
    MoveFocus(*focused, backwards);
    return true;
}

// Order: ascending tab-order number, equal numbers in reverse creation order. Only components
// that are visible, enabled and focus stops take the focus; the order wraps around.
void Form::MoveFocus(const Component& from, bool backwards) const {
    // From the runtime heap: running out of memory here ends the program with its report
    // instead of throwing out of a window procedure.
    std::vector<const Component*, RuntimeAllocator<const Component*>> order;
    order.reserve(components_.size());
    for (const auto& c : components_) {
        order.push_back(c.get());
    }
    std::sort(order.begin(), order.end(), [](const Component* a, const Component* b) {
        if (a->record->tabOrder != b->record->tabOrder) {
            return a->record->tabOrder < b->record->tabOrder;
        }
        return a->index > b->index;
    });
    const auto n = static_cast<std::ptrdiff_t>(order.size());
    const std::ptrdiff_t at = std::find(order.begin(), order.end(), &from) - order.begin();
    for (std::ptrdiff_t step = 1; step <= n; ++step) {
        const std::ptrdiff_t i = ((backwards ? at - step : at + step) % n + n) % n;
        if (order[static_cast<std::size_t>(i)]->IsTabCandidate()) {
            SetFocus(order[static_cast<std::size_t>(i)]->window);
            return;
        }
    }
}

// The menu key and Shift+F10 ask the focused component for its context menu, as a right click
// does. Both the press and the release are taken, so the system does not make a second menu.
bool Form::OnContextMenuKey(const MSG& message) {
    const bool menuKey = message.wParam == VK_APPS;
    const bool shiftF10 = message.wParam == VK_F10 && GetKeyState(VK_SHIFT) < 0;
    if (!menuKey && !shiftF10) {
        return false;
    }
    const Component* c = ComponentOf(message.hwnd);
    if (c == nullptr || c->BoundHandler<MouseHandler>(kEventContextMenu) == nullptr) {
        return false;
    }
    if (message.message == WM_KEYDOWN || message.message == WM_SYSKEYDOWN) {
        c->BoundHandler<MouseHandler>(kEventContextMenu)(-1, -1, MouseKeyState());
    }
    return true;
}

void Form::RaiseKeyEvent(const MSG& message) {
    const Component* c = ComponentOf(message.hwnd);
    if (c == nullptr) {
        return;
    }
    if (KeyHandler handler = c->BoundHandler<KeyHandler>(kEventKeyDown)) {
        handler(static_cast<std::int32_t>(message.wParam), MouseKeyState());
    }
}

void Form::RaiseMouseEvent(const MSG& message, std::int32_t event) {
    const Component* c = ComponentOf(message.hwnd);
    if (c == nullptr) {
        return;
    }
    if (MouseHandler handler = c->BoundHandler<MouseHandler>(event)) {
        const auto packed = static_cast<std::uint32_t>(message.lParam);
        handler(static_cast<std::int32_t>(packed & 0xFFFF),
                static_cast<std::int32_t>((packed >> 16) & 0xFFFF), MouseKeyState());
    }
}

// ---------------------------------------------------------------------------------------------
// The window's own messages.

LRESULT Form::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            OnCommand(wParam, lParam);
            return 0;
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORSTATIC:
            return OnControlColour(window, message, wParam, lParam);
        case WM_SETFONT:
            windowFont_ = reinterpret_cast<HFONT>(wParam);
            return 0;
        case WM_GETFONT:
            return reinterpret_cast<LRESULT>(windowFont_);
        case WM_ERASEBKGND:
            return OnEraseBackground(window, reinterpret_cast<HDC>(wParam));
        case WM_SETCURSOR:
            return OnSetCursor(window, wParam, lParam);
        case WM_DPICHANGED:
            if (lParam != 0) {
                OnDpiChanged(LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
            }
            return 0;
        case WM_CONTEXTMENU:
            if (OnContextMenu(reinterpret_cast<HWND>(wParam), lParam)) {
                return 0;
            }
            return DefWindowProcW(window, message, wParam, lParam);
        case kBrowserStateChangedMessage:
            OnBrowserStateChanged(reinterpret_cast<HWND>(lParam));
            return 0;
        case WM_NCDESTROY:
            return OnNcDestroy();
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

void Form::OnCommand(WPARAM wParam, LPARAM lParam) {
    if (lParam == 0) {
        return;  // menus and accelerators: none here
    }
    const Component* c = ComponentOf(reinterpret_cast<HWND>(lParam));
    if (c == nullptr) {
        return;
    }
    std::int32_t event = 0;
    const UINT code = HIWORD(wParam);
    if (c->record->type == ComponentType::Button && code == BN_CLICKED) {
        event = kEventButtonClicked;
    } else if (c->record->type == ComponentType::ListBox && code == LBN_DBLCLK) {
        event = kEventListDoubleClicked;
    } else if (c->record->type == ComponentType::ListBox && code == LBN_SELCHANGE) {
        event = kEventListSelectionChanged;
    } else {
        return;
    }
    if (PlainHandler handler = c->BoundHandler<PlainHandler>(event)) {
        handler();
    }
}

LRESULT Form::OnControlColour(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const Component* c = ComponentOf(reinterpret_cast<HWND>(lParam));
    if (c != nullptr && c->backBrush != nullptr) {
        std::uint32_t text = 0;
        std::uint32_t back = 0;
        if (const auto* edit = std::get_if<EditBoxProperties>(&c->record->properties)) {
            text = edit->textColour;
            back = edit->backColour;
        } else if (const auto* list = std::get_if<ListBoxProperties>(&c->record->properties)) {
            text = list->textColour;
            back = list->backColour;
        }
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, TemplateColour(text));
        SetBkColor(dc, TemplateColour(back));
        return reinterpret_cast<LRESULT>(c->backBrush);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT Form::OnEraseBackground(HWND window, HDC dc) {
    if (backBrush_ == nullptr) {
        return DefWindowProcW(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    }
    RECT client{};
    GetClientRect(window, &client);
    FillRect(dc, &client, backBrush_);
    return 1;
}

// The pointer over the window's client area when no press is being handled: the "working in
// background" arrow while a browser component loads its page; null for each window's own class
// cursor.
HCURSOR Form::StatusCursor() const {
    for (const auto& c : components_) {
        if (c->browser != nullptr && c->browser->PageLoading()) {
            return LoadCursor(nullptr, IDC_APPSTARTING);
        }
    }
    return nullptr;
}

// Controls ask their parent first, so this covers the whole client area, controls included.
LRESULT Form::OnSetCursor(HWND window, WPARAM wParam, LPARAM lParam) {
    if (LOWORD(lParam) == HTCLIENT) {
        HCURSOR cursor = CursorNow();
        if (cursor == nullptr) {
            cursor = StatusCursor();
        }
        if (cursor != nullptr) {
            SetCursor(cursor);
            return TRUE;
        }
    }
    return DefWindowProcW(window, WM_SETCURSOR, wParam, lParam);
}

void Form::OnBrowserStateChanged(HWND container) {
    // The system asks for the cursor only when the pointer moves: one resting over the window is
    // given the cursor for the new state at once.
    ShowCursorNow();
    const Component* c = ComponentOf(container);
    if (c == nullptr || c->browser == nullptr) {
        return;
    }
    if (PlainHandler handler = c->BoundHandler<PlainHandler>(kEventPageStateChanged)) {
        handler();  // may destroy this window: nothing of it is touched afterwards
    }
}

// True when a component's handler took the request.
bool Form::OnContextMenu(HWND target, LPARAM lParam) {
    const Component* c = ComponentOf(target);
    if (c == nullptr) {
        return false;
    }
    MouseHandler handler = c->BoundHandler<MouseHandler>(kEventContextMenu);
    if (handler == nullptr) {
        return false;
    }
    // Signed: on a second screen left of or above the first, coordinates are negative.
    handler(static_cast<std::int16_t>(LOWORD(lParam)), static_cast<std::int16_t>(HIWORD(lParam)),
            MouseKeyState());
    return true;
}

LRESULT Form::OnNcDestroy() {
    window_ = nullptr;
    auto& forms = LiveForms();
    auto it = std::find_if(forms.begin(), forms.end(),
                           [this](const std::unique_ptr<Form>& f) { return f.get() == this; });
    if (it == forms.end()) {
        return 0;  // a window that failed while being built: its maker cleans up
    }
    std::unique_ptr<Form> self = std::move(*it);
    forms.erase(it);
    if (forms.empty()) {
        PostQuitMessage(0);
    }
    return 0;  // self, and with it this object, goes here
}

}  // namespace

HWND CreateTemplateWindow(const WindowTemplate& tpl) {
    if (!RegisterWindowClasses()) {
        return nullptr;
    }
    auto form = std::make_unique<Form>(tpl);
    if (!form->Create()) {
        if (form->Window() != nullptr) {
            DestroyWindow(form->Window());
        }
        return nullptr;
    }
    HWND window = form->Window();
    LiveForms().push_back(std::move(form));
    SetMessagePreprocessor(&PreprocessTemplateMessage);
    return window;
}

void ShowTemplateWindow(HWND window) {
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
}

HWND FindComponentWindow(std::uint32_t windowId, std::uint32_t componentId) {
    for (const auto& form : LiveForms()) {
        if (form->Id() == windowId) {
            if (HWND window = form->FindComponent(componentId)) {
                return window;
            }
        }
    }
    return nullptr;
}

UINT LayoutDpi(HWND window) {
    const Form* form = FormContaining(window);
    return form != nullptr ? form->Dpi() : WindowDpi(window);
}

bool BrowserComponentLoading(std::uint32_t windowId, std::uint32_t componentId) {
    for (const auto& form : LiveForms()) {
        if (form->Id() == windowId) {
            const Component* c = form->FindComponentRecord(componentId);
            return c != nullptr && c->browser != nullptr && c->browser->PageLoading();
        }
    }
    return false;
}

void ReleaseWindowMachinery() {
    if (!LiveForms().empty()) {
        return;
    }
    SetMessagePreprocessor(nullptr);
    if (g_classesRegistered) {
        UnregisterClassW(kFormClassName, Instance());
        LabelWindow::UnregisterWindowClass(Instance());
        BrowserContainer::UnregisterWindowClass(Instance());
        g_classesRegistered = false;
    }
}

}  // namespace rh
