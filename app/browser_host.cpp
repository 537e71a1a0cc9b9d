#include "app/browser_host.h"

#include <exdispid.h>
#include <ocidl.h>

#include <algorithm>

#include "app/own_window.h"
#include "app/window_template.h"
#include "runtime/wide_text.h"
#include "runtime/window_handle.h"

namespace rh {
namespace {

// The in-place frame: the top-level window that holds the container. It offers no menus, tool
// space or accelerators; the browser needs none of them here.
class BrowserFrame final : public IOleInPlaceFrame {
  public:
    explicit BrowserFrame(HWND frame) : frame_(frame) {}

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleWindow) ||
            IsEqualIID(iid, IID_IOleInPlaceUIWindow) || IsEqualIID(iid, IID_IOleInPlaceFrame)) {
            *out = static_cast<IOleInPlaceFrame*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    // IOleWindow
    STDMETHODIMP GetWindow(HWND* window) override {
        if (window == nullptr) {
            return E_POINTER;
        }
        *window = frame_;
        return S_OK;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    // IOleInPlaceUIWindow
    STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
    STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }

    // IOleInPlaceFrame
    STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
    STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
    STDMETHODIMP RemoveMenus(HMENU) override { return E_NOTIMPL; }
    STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
    STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
    STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

  private:
    ~BrowserFrame() = default;

    ULONG references_ = 1;
    HWND frame_;
};

}  // namespace

// The client site and in-place site of the browser control: it lives in the container window's
// client area and is always allowed to activate there.
class BrowserSite final : public IOleClientSite, public IOleInPlaceSite {
  public:
    BrowserSite(HWND container, HWND frame) : container_(container), frame_(frame) {}

    void SetInPlaceObject(IOleInPlaceObject* object) noexcept { inPlace_ = object; }
    // The container is going away: the control must not reach its window through us any more.
    void Detach() noexcept {
        container_ = nullptr;
        inPlace_ = nullptr;
    }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleClientSite)) {
            *out = static_cast<IOleClientSite*>(this);
        } else if (IsEqualIID(iid, IID_IOleWindow) || IsEqualIID(iid, IID_IOleInPlaceSite)) {
            *out = static_cast<IOleInPlaceSite*>(this);
        } else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    // IOleClientSite
    STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** moniker) override {
        if (moniker != nullptr) {
            *moniker = nullptr;
        }
        return E_NOTIMPL;
    }
    STDMETHODIMP GetContainer(IOleContainer** container) override {
        if (container != nullptr) {
            *container = nullptr;
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

    // IOleWindow
    STDMETHODIMP GetWindow(HWND* window) override {
        if (window == nullptr) {
            return E_POINTER;
        }
        *window = container_;
        return container_ != nullptr ? S_OK : E_FAIL;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    // IOleInPlaceSite
    STDMETHODIMP CanInPlaceActivate() override { return container_ != nullptr ? S_OK : S_FALSE; }
    STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnUIActivate() override { return S_OK; }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                  LPRECT position, LPRECT clip,
                                  LPOLEINPLACEFRAMEINFO info) override {
        if (frame == nullptr || document == nullptr || position == nullptr || clip == nullptr ||
            info == nullptr) {
            return E_POINTER;
        }
        *frame = new BrowserFrame(frame_);
        *document = nullptr;
        RECT client{};
        if (container_ != nullptr) {
            GetClientRect(container_, &client);
        }
        *position = client;
        *clip = client;
        // The caller fills in cb; keep it and describe a frame without accelerators.
        info->fMDIApp = FALSE;
        info->hwndFrame = frame_;
        info->haccel = nullptr;
        info->cAccelEntries = 0;
        return S_OK;
    }
    STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
    STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnInPlaceDeactivate() override { return S_OK; }
    STDMETHODIMP DiscardUndoState() override { return E_NOTIMPL; }
    STDMETHODIMP DeactivateAndUndo() override { return E_NOTIMPL; }
    STDMETHODIMP OnPosRectChange(LPCRECT position) override {
        if (position == nullptr) {
            return E_POINTER;
        }
        if (inPlace_ != nullptr) {
            inPlace_->SetObjectRects(position, position);
        }
        return S_OK;
    }

  private:
    ~BrowserSite() = default;

    ULONG references_ = 1;
    HWND container_;
    HWND frame_;
    IOleInPlaceObject* inPlace_ = nullptr;  // not counted: the container holds it
};

// Receives the browser control's DWebBrowserEvents2 and passes the ones that say whether the page
// is loading on to the container, while it is connected.
class BrowserEventSink final : public IDispatch {
  public:
    explicit BrowserEventSink(BrowserContainer* container) : container_(container) {}
    void Detach() noexcept { container_ = nullptr; }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
            IsEqualIID(iid, DIID_DWebBrowserEvents2)) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    // IDispatch: events arrive by DISPID only.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) {
            return E_POINTER;
        }
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info != nullptr) {
            *info = nullptr;
        }
        return E_NOTIMPL;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        if (container_ == nullptr || params == nullptr) {
            return S_OK;
        }
        // pDisp, the frame or window the event is about, is the first argument: the last one in
        // rgvarg.
        switch (member) {
            case DISPID_BEFORENAVIGATE2:
                container_->OnNavigationStarted(Browser(*params, 7));
                break;
            case DISPID_DOCUMENTCOMPLETE:
                container_->OnNavigationEnded(Browser(*params, 2));
                break;
            case DISPID_NAVIGATEERROR:
                container_->OnNavigationEnded(Browser(*params, 5));
                break;
            case DISPID_DOWNLOADCOMPLETE:
                container_->OnDownloadEnded();
                break;
            default:
                break;
        }
        return S_OK;
    }

  private:
    ~BrowserEventSink() = default;

    static IDispatch* Browser(const DISPPARAMS& params, UINT count) {
        if (params.cArgs != count || params.rgvarg == nullptr) {
            return nullptr;
        }
        const VARIANTARG& arg = params.rgvarg[count - 1];
        if (V_VT(&arg) == VT_DISPATCH) {
            return V_DISPATCH(&arg);
        }
        if (V_VT(&arg) == (VT_DISPATCH | VT_BYREF) && V_DISPATCHREF(&arg) != nullptr) {
            return *V_DISPATCHREF(&arg);
        }
        return nullptr;
    }

    ULONG references_ = 1;
    BrowserContainer* container_;
};

namespace {

template <class T>
void ReleaseAndClear(T*& p) noexcept {
    if (p != nullptr) {
        p->Release();
        p = nullptr;
    }
}

// A BSTR of an address (a text of ours, GBK); null for an empty one.
BSTR AddressToBstr(const char* address) {
    const WideText wide = WideFromText(address);
    if (wide.empty()) {
        return nullptr;
    }
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

}  // namespace

BrowserContainer::~BrowserContainer() {
    Release();
}

bool BrowserContainer::RegisterWindowClass(HINSTANCE instance) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = &ThunkWindowProc<BrowserContainer>;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = kClassName;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

void BrowserContainer::UnregisterWindowClass(HINSTANCE instance) {
    UnregisterClassW(kClassName, instance);
}

HWND BrowserContainer::Create(HWND parent, DWORD style, DWORD exStyle, int x, int y, int width,
                              int height, int controlId) {
    window_ = CreateWindowExW(exStyle, kClassName, L"", style, x, y, width, height, parent,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(controlId)),
                              GetModuleHandleA(nullptr), this);
    return window_;
}

bool BrowserContainer::Embed(const HtmlViewerProperties& properties) {
    if (window_ == nullptr || ole_ != nullptr) {
        return false;
    }
    if (FAILED(CoCreateInstance(CLSID_WebBrowser, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                reinterpret_cast<void**>(&ole_)))) {
        ole_ = nullptr;
        return false;
    }
    site_ = new BrowserSite(window_, GetAncestor(window_, GA_ROOT));
    ole_->SetClientSite(static_cast<IOleClientSite*>(site_));
    OleSetContainedObject(ole_, TRUE);

    RECT client{};
    GetClientRect(window_, &client);
    if (FAILED(ole_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, static_cast<IOleClientSite*>(site_),
                            0, window_, &client))) {
        Release();
        return false;
    }
    if (SUCCEEDED(
            ole_->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&inPlace_)))) {
        site_->SetInPlaceObject(inPlace_);
        HWND control = nullptr;
        if (SUCCEEDED(inPlace_->GetWindow(&control)) && control != nullptr &&
            SameWindow(GetParent(control), window_)) {
            SetWindowLongPtrA(control, GWLP_ID, kBrowserControlId);
        }
    } else {
        inPlace_ = nullptr;
    }
    if (FAILED(ole_->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(&browser_)))) {
        browser_ = nullptr;
        Release();
        return false;
    }

    ConnectEvents();
    browser_->put_Offline(properties.offline ? VARIANT_TRUE : VARIANT_FALSE);
    browser_->put_Silent(properties.silent ? VARIANT_TRUE : VARIANT_FALSE);
    VARIANT zoom;
    VariantInit(&zoom);
    zoom.vt = VT_I4;
    zoom.lVal = std::clamp<std::int32_t>(properties.fontSize, 0, 4);
    browser_->ExecWB(OLECMDID_ZOOM, OLECMDEXECOPT_DONTPROMPTUSER, &zoom, nullptr);

    if (properties.address != nullptr && properties.address[0] != '\0') {
        BSTR address = AddressToBstr(properties.address);
        if (address != nullptr) {
            VARIANT flags, none;
            VariantInit(&flags);
            VariantInit(&none);
            flags.vt = VT_I4;
            flags.lVal = 0;
            // Navigation goes on by itself; nothing here waits for the page.
            browser_->Navigate(address, &flags, &none, &none, &none);
            SysFreeString(address);
        }
    }
    return true;
}

void BrowserContainer::ConnectEvents() {
    IConnectionPointContainer* points = nullptr;
    if (FAILED(browser_->QueryInterface(IID_IConnectionPointContainer,
                                        reinterpret_cast<void**>(&points)))) {
        return;  // a control without events: the page simply never shows as loading
    }
    if (SUCCEEDED(points->FindConnectionPoint(DIID_DWebBrowserEvents2, &events_))) {
        sink_ = new BrowserEventSink(this);
        if (FAILED(events_->Advise(static_cast<IDispatch*>(sink_), &eventsCookie_))) {
            eventsCookie_ = 0;
            ReleaseAndClear(events_);
            sink_->Detach();
            ReleaseAndClear(sink_);
        }
    } else {
        events_ = nullptr;
    }
    points->Release();
}

// Events about frames inside the page carry the frame's own object, not the control's.
bool BrowserContainer::IsTopLevel(IDispatch* browser) const {
    if (browser == nullptr || browser_ == nullptr) {
        return false;
    }
    IUnknown* theirs = nullptr;
    IUnknown* ours = nullptr;
    const bool same =
        SUCCEEDED(browser->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&theirs))) &&
        SUCCEEDED(browser_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&ours))) &&
        theirs == ours;
    ReleaseAndClear(theirs);
    ReleaseAndClear(ours);
    return same;
}

void BrowserContainer::OnNavigationStarted(IDispatch* browser) {
    if (IsTopLevel(browser)) {
        SetLoading(true);
    }
}

void BrowserContainer::OnNavigationEnded(IDispatch* browser) {
    if (IsTopLevel(browser)) {
        SetLoading(false);
    }
}

// A navigation can end without a document and without an error: its answer is a file to
// download, or (on the real control) it was a "javascript:" or download link. The control then
// tells only DownloadComplete, which it also tells in every navigation that does load, before the
// document is complete: it is the end of loading only when the control itself says it is idle,
// neither busy nor short of a complete document.
void BrowserContainer::OnDownloadEnded() {
    if (browser_ == nullptr || !loading_) {
        return;
    }
    VARIANT_BOOL busy = VARIANT_TRUE;
    READYSTATE state = READYSTATE_UNINITIALIZED;
    if (SUCCEEDED(browser_->get_Busy(&busy)) && busy == VARIANT_FALSE &&
        SUCCEEDED(browser_->get_ReadyState(&state)) && state == READYSTATE_COMPLETE) {
        SetLoading(false);
    }
}

void BrowserContainer::SetLoading(bool loading) {
    if (loading == loading_) {
        return;
    }
    loading_ = loading;
    if (window_ != nullptr) {
        PostMessageA(GetParent(window_), kBrowserStateChangedMessage, 0,
                     reinterpret_cast<LPARAM>(window_));
    }
}

void BrowserContainer::Release() noexcept {
    if (events_ != nullptr) {
        if (eventsCookie_ != 0) {
            events_->Unadvise(eventsCookie_);
            eventsCookie_ = 0;
        }
        ReleaseAndClear(events_);
    }
    if (sink_ != nullptr) {
        sink_->Detach();
        ReleaseAndClear(sink_);
    }
    loading_ = false;
    if (site_ != nullptr) {
        site_->SetInPlaceObject(nullptr);
    }
    if (inPlace_ != nullptr) {
        inPlace_->InPlaceDeactivate();
    }
    ReleaseAndClear(inPlace_);
    ReleaseAndClear(browser_);
    if (ole_ != nullptr) {
        ole_->Close(OLECLOSE_NOSAVE);
        ole_->SetClientSite(nullptr);
    }
    ReleaseAndClear(ole_);
    if (site_ != nullptr) {
        site_->Detach();
        site_->Release();
        site_ = nullptr;
    }
}

LRESULT BrowserContainer::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_SIZE:
            OnSize();
            return 0;
        case WM_DESTROY:
            OnDestroy();
            return 0;
        case WM_NCDESTROY:
            window_ = nullptr;
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void BrowserContainer::OnSize() {
    if (inPlace_ != nullptr) {
        RECT client{};
        GetClientRect(window_, &client);
        inPlace_->SetObjectRects(&client, &client);
    }
}

void BrowserContainer::OnDestroy() {
    Release();
}

}  // namespace rh
