#include "standin/browser.h"

#include <exdisp.h>
#include <mshtml.h>
#include <ocidl.h>
#include <oleacc.h>
#include <oleauto.h>

#include <memory>
#include <optional>
#include <string>

#include "standin/browser_events.h"
#include "standin/call_log.h"
#include "standin/chromium.h"
#include "standin/document.h"
#include "standin/dom_objects.h"
#include "standin/upstream.h"
#include "standin/url.h"

namespace standin {
namespace {

HINSTANCE g_instance = nullptr;
volatile LONG g_liveBrowsers = 0;

constexpr wchar_t kEmbeddingClass[] = L"Shell Embedding";
constexpr wchar_t kViewClass[] = L"Shell DocObject View";
constexpr wchar_t kServerClass[] = L"Internet Explorer_Server";
constexpr wchar_t kNotifyClass[] = L"ReelhawkStandinNotify";

// Posted to the browser's own message window: load the navigation with this serial number.
constexpr UINT kLoadMessage = WM_APP + 1;
// Posted by Chromium's reader when the main frame has loaded a page.
constexpr UINT kChromiumLoadedMessage = WM_APP + 2;
// Posted by a page's fetch from a live server when its answer is in.
constexpr UINT kUpstreamMessage = WM_APP + 3;
// While a load is held back (see HoldFile), how often the hold is looked at again.
constexpr UINT kHoldTimer = 1;
constexpr UINT kHoldRecheckMs = 20;
// While a page Chromium has loaded is held back, how often the hold is looked at again.
constexpr UINT kChromiumHoldTimer = 2;

constexpr CLSID kClsidWebBrowser = {
    0x8856f961, 0x340a, 0x11d0, {0xa9, 0x6b, 0x00, 0xc0, 0x4f, 0xd7, 0x05, 0xa2}};

std::wstring BoolText(VARIANT_BOOL value) {
    return std::to_wstring(static_cast<int>(value));
}

// A VARIANT argument as the log shows it: VT_I4:2, VT_BSTR:text, VT_EMPTY, null.
std::wstring DescribeVariant(const VARIANT* value) {
    if (!value) {
        return L"null";
    }
    VARTYPE type = V_VT(value);
    if (type == VT_EMPTY) {
        return L"VT_EMPTY";
    }
    std::wstring name;
    switch (type & VT_TYPEMASK) {
        case VT_I2:
            name = L"VT_I2";
            break;
        case VT_I4:
            name = L"VT_I4";
            break;
        case VT_UI4:
            name = L"VT_UI4";
            break;
        case VT_INT:
            name = L"VT_INT";
            break;
        case VT_R8:
            name = L"VT_R8";
            break;
        case VT_BSTR:
            name = L"VT_BSTR";
            break;
        case VT_BOOL:
            name = L"VT_BOOL";
            break;
        case VT_ERROR:
            name = L"VT_ERROR";
            break;
        case VT_NULL:
            name = L"VT_NULL";
            break;
        default:
            name = L"VT_" + std::to_wstring(type & VT_TYPEMASK);
    }
    if (type & VT_BYREF) {
        name += L"|VT_BYREF";
    }
    if (type & VT_ARRAY) {
        return name + L"|VT_ARRAY";
    }
    VARIANT text;
    VariantInit(&text);
    std::wstring shown;
    if (SUCCEEDED(VariantChangeType(&text, const_cast<VARIANT*>(value), 0, VT_BSTR)) &&
        V_BSTR(&text)) {
        shown.assign(V_BSTR(&text), SysStringLen(V_BSTR(&text)));
    }
    VariantClear(&text);
    return name + L":" + LogEscape(shown);
}

// The optional Navigate arguments that were really given.
std::wstring DescribeNavigateOptions(const VARIANT* flags, const VARIANT* target,
                                     const VARIANT* postData, const VARIANT* headers) {
    LONG flagValue = 0;
    if (flags && V_VT(flags) != VT_EMPTY && V_VT(flags) != VT_ERROR) {
        VARIANT number;
        VariantInit(&number);
        if (SUCCEEDED(VariantChangeType(&number, const_cast<VARIANT*>(flags), 0, VT_I4))) {
            flagValue = V_I4(&number);
        }
    }
    std::wstring text = L" flags=" + std::to_wstring(flagValue);
    auto textOf = [](const VARIANT* value) -> std::wstring {
        if (!value || V_VT(value) == VT_EMPTY || V_VT(value) == VT_ERROR) {
            return {};
        }
        VARIANT converted;
        VariantInit(&converted);
        std::wstring result;
        if (SUCCEEDED(VariantChangeType(&converted, const_cast<VARIANT*>(value), 0, VT_BSTR)) &&
            V_BSTR(&converted)) {
            result.assign(V_BSTR(&converted), SysStringLen(V_BSTR(&converted)));
        }
        VariantClear(&converted);
        return result;
    };
    std::wstring targetText = textOf(target);
    if (!targetText.empty()) {
        text += L" target=" + LogEscape(targetText);
    }
    if (postData && V_VT(postData) != VT_EMPTY && V_VT(postData) != VT_ERROR) {
        const VARIANT* data = postData;
        if (V_VT(data) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(data)) {
            data = V_VARIANTREF(data);
        }
        LONG bytes = 0;
        if ((V_VT(data) & VT_ARRAY) && V_ARRAY(data)) {
            LONG lower = 0;
            LONG upper = -1;
            SafeArrayGetLBound(V_ARRAY(data), 1, &lower);
            SafeArrayGetUBound(V_ARRAY(data), 1, &upper);
            bytes = upper - lower + 1;
        }
        text += L" postdata=" + std::to_wstring(bytes);
    }
    std::wstring headerText = textOf(headers);
    if (!headerText.empty()) {
        text += L" headers=" + LogEscape(headerText);
    }
    return text;
}

// While the file named by REELHAWK_STANDIN_HOLD_FILE exists, pages are held back after their
// download has begun: tests can look at a host while its page is still loading, for as long as
// they need, and then let the page arrive by deleting the file.
bool LoadsHeldBack() {
    const std::wstring hold = EnvironmentValue(L"REELHAWK_STANDIN_HOLD_FILE");
    return !hold.empty() && GetFileAttributesW(hold.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class WebBrowser;

// What a page's clicks reach: the browser, for as long as it lives.
struct BrowserLink {
    WebBrowser* browser = nullptr;
};

class WebBrowser final : public IWebBrowser2,
                         public IOleObject,
                         public IOleInPlaceObject,
                         public IConnectionPointContainer {
  public:
    WebBrowser() : link_(std::make_shared<BrowserLink>()), events_(this) {
        link_->browser = this;
        InterlockedIncrement(&g_liveBrowsers);
        LogLine(L"Create");
    }

    ~WebBrowser() {
        LogLine(L"Destroy");
        link_->browser = nullptr;
        events_.Disconnect();
        chromium_.reset();
        DestroyWindows();
        if (notify_) {
            DestroyWindow(notify_);
        }
        if (inPlaceSite_) {
            inPlaceSite_->Release();
        }
        if (clientSite_) {
            clientSite_->Release();
        }
        if (adviseHolder_) {
            adviseHolder_->Release();
        }
        InterlockedDecrement(&g_liveBrowsers);
    }

    // ---- IUnknown ----
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) {
            return E_POINTER;
        }
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
            IsEqualIID(iid, IID_IWebBrowser) || IsEqualIID(iid, IID_IWebBrowserApp) ||
            IsEqualIID(iid, IID_IWebBrowser2)) {
            *out = static_cast<IWebBrowser2*>(this);
        } else if (IsEqualIID(iid, IID_IOleObject)) {
            *out = static_cast<IOleObject*>(this);
        } else if (IsEqualIID(iid, IID_IOleWindow) || IsEqualIID(iid, IID_IOleInPlaceObject)) {
            *out = static_cast<IOleInPlaceObject*>(this);
        } else if (IsEqualIID(iid, IID_IConnectionPointContainer)) {
            *out = static_cast<IConnectionPointContainer*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&refs_));
    }
    STDMETHODIMP_(ULONG) Release() override {
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }

    // ---- IDispatch: the control is driven through its vtable here ----
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) {
            return E_POINTER;
        }
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info) {
            *info = nullptr;
        }
        return NotImplemented(L"GetTypeInfo");
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return NotImplemented(L"GetIDsOfNames");
    }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        return NotImplemented(L"Invoke");
    }

    // ---- IWebBrowser ----
    STDMETHODIMP GoBack() override { return NotImplemented(L"GoBack"); }
    STDMETHODIMP GoForward() override { return NotImplemented(L"GoForward"); }
    STDMETHODIMP GoHome() override { return NotImplemented(L"GoHome"); }
    STDMETHODIMP GoSearch() override { return NotImplemented(L"GoSearch"); }
    STDMETHODIMP Navigate(BSTR url, VARIANT* flags, VARIANT* target, VARIANT* postData,
                          VARIANT* headers) override {
        try {
            std::wstring address = url ? std::wstring(url, SysStringLen(url)) : std::wstring();
            LogLine(L"Navigate " + LogEscape(address) +
                    DescribeNavigateOptions(flags, target, postData, headers));
            return StartNavigation(address);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    STDMETHODIMP Refresh() override {
        LogLine(L"Refresh");
        if (chromium_) {
            return chromium_->Url().empty() ? S_OK
                                            : StartNavigation(chromium_->Url(), /*announce=*/false);
        }
        return document_ ? StartNavigation(document_->Url(), /*announce=*/false) : S_OK;
    }
    STDMETHODIMP Refresh2(VARIANT*) override { return Refresh(); }
    STDMETHODIMP Stop() override {
        LogLine(L"Stop");
        ++serial_;  // a load still waiting in the queue is dropped
        StopLoading();
        if (chromium_) {
            chromium_->Stop();
        }
        return S_OK;
    }
    STDMETHODIMP get_Application(IDispatch** out) override {
        return NotImplementedOut(L"get_Application", out);
    }
    STDMETHODIMP get_Parent(IDispatch** out) override {
        return NotImplementedOut(L"get_Parent", out);
    }
    STDMETHODIMP get_Container(IDispatch** out) override {
        return NotImplementedOut(L"get_Container", out);
    }
    STDMETHODIMP get_Document(IDispatch** out) override {
        if (!out) {
            return E_POINTER;
        }
        *out = chromium_   ? chromium_->Document()
               : document_ ? GetDocumentObject(document_)
                           : nullptr;
        return *out ? S_OK : S_FALSE;
    }
    STDMETHODIMP get_TopLevelContainer(VARIANT_BOOL*) override {
        return NotImplemented(L"get_TopLevelContainer");
    }
    STDMETHODIMP get_Type(BSTR*) override { return NotImplemented(L"get_Type"); }
    STDMETHODIMP get_Left(LONG*) override { return NotImplemented(L"get_Left"); }
    STDMETHODIMP put_Left(LONG) override { return NotImplemented(L"put_Left"); }
    STDMETHODIMP get_Top(LONG*) override { return NotImplemented(L"get_Top"); }
    STDMETHODIMP put_Top(LONG) override { return NotImplemented(L"put_Top"); }
    STDMETHODIMP get_Width(LONG*) override { return NotImplemented(L"get_Width"); }
    STDMETHODIMP put_Width(LONG) override { return NotImplemented(L"put_Width"); }
    STDMETHODIMP get_Height(LONG*) override { return NotImplemented(L"get_Height"); }
    STDMETHODIMP put_Height(LONG) override { return NotImplemented(L"put_Height"); }
    STDMETHODIMP get_LocationName(BSTR* out) override {
        if (!out) {
            return E_POINTER;
        }
        std::wstring title = chromium_   ? chromium_->Title()
                             : document_ ? document_->Title()
                                         : std::wstring();
        *out = SysAllocStringLen(title.data(), static_cast<UINT>(title.size()));
        return S_OK;
    }
    STDMETHODIMP get_LocationURL(BSTR* out) override {
        if (!out) {
            return E_POINTER;
        }
        std::wstring url = chromium_   ? chromium_->Url()
                           : document_ ? document_->Url()
                                       : std::wstring();
        *out = SysAllocStringLen(url.data(), static_cast<UINT>(url.size()));
        return S_OK;
    }
    STDMETHODIMP get_Busy(VARIANT_BOOL* out) override {
        if (!out) {
            return E_POINTER;
        }
        *out = busy_ || (chromium_ && chromium_->Busy()) ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }

    // ---- IWebBrowserApp ----
    STDMETHODIMP Quit() override { return NotImplemented(L"Quit"); }
    STDMETHODIMP ClientToWindow(int*, int*) override { return NotImplemented(L"ClientToWindow"); }
    STDMETHODIMP PutProperty(BSTR, VARIANT) override { return NotImplemented(L"PutProperty"); }
    STDMETHODIMP GetProperty(BSTR, VARIANT*) override { return NotImplemented(L"GetProperty"); }
    STDMETHODIMP get_Name(BSTR*) override { return NotImplemented(L"get_Name"); }
    STDMETHODIMP get_HWND(SHANDLE_PTR*) override { return NotImplemented(L"get_HWND"); }
    STDMETHODIMP get_FullName(BSTR*) override { return NotImplemented(L"get_FullName"); }
    STDMETHODIMP get_Path(BSTR*) override { return NotImplemented(L"get_Path"); }
    STDMETHODIMP get_Visible(VARIANT_BOOL*) override { return NotImplemented(L"get_Visible"); }
    STDMETHODIMP put_Visible(VARIANT_BOOL) override { return NotImplemented(L"put_Visible"); }
    STDMETHODIMP get_StatusBar(VARIANT_BOOL*) override { return NotImplemented(L"get_StatusBar"); }
    STDMETHODIMP put_StatusBar(VARIANT_BOOL) override { return NotImplemented(L"put_StatusBar"); }
    STDMETHODIMP get_StatusText(BSTR*) override { return NotImplemented(L"get_StatusText"); }
    STDMETHODIMP put_StatusText(BSTR) override { return NotImplemented(L"put_StatusText"); }
    STDMETHODIMP get_ToolBar(int*) override { return NotImplemented(L"get_ToolBar"); }
    STDMETHODIMP put_ToolBar(int) override { return NotImplemented(L"put_ToolBar"); }
    STDMETHODIMP get_MenuBar(VARIANT_BOOL*) override { return NotImplemented(L"get_MenuBar"); }
    STDMETHODIMP put_MenuBar(VARIANT_BOOL) override { return NotImplemented(L"put_MenuBar"); }
    STDMETHODIMP get_FullScreen(VARIANT_BOOL*) override {
        return NotImplemented(L"get_FullScreen");
    }
    STDMETHODIMP put_FullScreen(VARIANT_BOOL) override { return NotImplemented(L"put_FullScreen"); }

    // ---- IWebBrowser2 ----
    STDMETHODIMP Navigate2(VARIANT* url, VARIANT* flags, VARIANT* target, VARIANT* postData,
                           VARIANT* headers) override {
        try {
            std::wstring address;
            if (url) {
                VARIANT text;
                VariantInit(&text);
                if (SUCCEEDED(VariantChangeType(&text, url, 0, VT_BSTR)) && V_BSTR(&text)) {
                    address.assign(V_BSTR(&text), SysStringLen(V_BSTR(&text)));
                }
                VariantClear(&text);
            }
            LogLine(L"Navigate2 " + LogEscape(address) +
                    DescribeNavigateOptions(flags, target, postData, headers));
            return StartNavigation(address);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    STDMETHODIMP QueryStatusWB(OLECMDID command, OLECMDF* status) override {
        if (!status) {
            return E_POINTER;
        }
        *status = command == OLECMDID_ZOOM
                      ? static_cast<OLECMDF>(OLECMDF_SUPPORTED | OLECMDF_ENABLED)
                      : static_cast<OLECMDF>(0);
        return S_OK;
    }
    STDMETHODIMP ExecWB(OLECMDID command, OLECMDEXECOPT option, VARIANT* in,
                        VARIANT* out) override {
        LogLine(L"ExecWB " + std::to_wstring(static_cast<int>(command)) + L" " +
                std::to_wstring(static_cast<int>(option)) + L" " + DescribeVariant(in));
        if (command != OLECMDID_ZOOM) {
            return OLECMDERR_E_NOTSUPPORTED;
        }
        // Zoom: the text size, 0 (smallest) to 4 (largest); without an argument it only reports.
        if (in && V_VT(in) != VT_EMPTY) {
            VARIANT level;
            VariantInit(&level);
            if (FAILED(VariantChangeType(&level, in, 0, VT_I4)) || V_I4(&level) < 0 ||
                V_I4(&level) > 4) {
                return E_INVALIDARG;
            }
            zoom_ = V_I4(&level);
            if (server_) {
                InvalidateRect(server_, nullptr, TRUE);
            }
        }
        if (out) {
            VariantClear(out);
            V_VT(out) = VT_I4;
            V_I4(out) = zoom_;
        }
        return S_OK;
    }
    STDMETHODIMP ShowBrowserBar(VARIANT*, VARIANT*, VARIANT*) override {
        return NotImplemented(L"ShowBrowserBar");
    }
    STDMETHODIMP get_ReadyState(READYSTATE* out) override {
        if (!out) {
            return E_POINTER;
        }
        *out = busy_ || (chromium_ && chromium_->Busy()) ? READYSTATE_LOADING : READYSTATE_COMPLETE;
        return S_OK;
    }
    STDMETHODIMP get_Offline(VARIANT_BOOL* out) override {
        if (!out) {
            return E_POINTER;
        }
        *out = offline_;
        return S_OK;
    }
    STDMETHODIMP put_Offline(VARIANT_BOOL value) override {
        LogLine(L"put_Offline " + BoolText(value));
        offline_ = value ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    STDMETHODIMP get_Silent(VARIANT_BOOL* out) override {
        if (!out) {
            return E_POINTER;
        }
        *out = silent_;
        return S_OK;
    }
    STDMETHODIMP put_Silent(VARIANT_BOOL value) override {
        LogLine(L"put_Silent " + BoolText(value));
        silent_ = value ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    STDMETHODIMP get_RegisterAsBrowser(VARIANT_BOOL*) override {
        return NotImplemented(L"get_RegisterAsBrowser");
    }
    STDMETHODIMP put_RegisterAsBrowser(VARIANT_BOOL) override {
        return NotImplemented(L"put_RegisterAsBrowser");
    }
    STDMETHODIMP get_RegisterAsDropTarget(VARIANT_BOOL*) override {
        return NotImplemented(L"get_RegisterAsDropTarget");
    }
    STDMETHODIMP put_RegisterAsDropTarget(VARIANT_BOOL) override {
        return NotImplemented(L"put_RegisterAsDropTarget");
    }
    STDMETHODIMP get_TheaterMode(VARIANT_BOOL*) override {
        return NotImplemented(L"get_TheaterMode");
    }
    STDMETHODIMP put_TheaterMode(VARIANT_BOOL) override {
        return NotImplemented(L"put_TheaterMode");
    }
    STDMETHODIMP get_AddressBar(VARIANT_BOOL*) override {
        return NotImplemented(L"get_AddressBar");
    }
    STDMETHODIMP put_AddressBar(VARIANT_BOOL) override { return NotImplemented(L"put_AddressBar"); }
    STDMETHODIMP get_Resizable(VARIANT_BOOL*) override { return NotImplemented(L"get_Resizable"); }
    STDMETHODIMP put_Resizable(VARIANT_BOOL) override { return NotImplemented(L"put_Resizable"); }

    // ---- IOleObject ----
    STDMETHODIMP SetClientSite(IOleClientSite* site) override {
        LogLine(std::wstring(L"SetClientSite ") + (site ? L"set" : L"null"));
        if (!site && embedding_) {
            InPlaceDeactivate();
        }
        if (site) {
            site->AddRef();
        }
        if (clientSite_) {
            clientSite_->Release();
        }
        clientSite_ = site;
        return S_OK;
    }
    STDMETHODIMP GetClientSite(IOleClientSite** site) override {
        if (!site) {
            return E_POINTER;
        }
        *site = clientSite_;
        if (clientSite_) {
            clientSite_->AddRef();
        }
        return S_OK;
    }
    STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    STDMETHODIMP Close(DWORD) override {
        LogLine(L"Close");
        ++serial_;
        StopLoading();
        events_.Disconnect();
        InPlaceDeactivate();
        if (adviseHolder_) {
            adviseHolder_->SendOnClose();
        }
        document_.reset();
        return S_OK;
    }
    STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** out) override {
        if (out) {
            *out = nullptr;
        }
        return E_NOTIMPL;
    }
    STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetClipboardData(DWORD, IDataObject** out) override {
        if (out) {
            *out = nullptr;
        }
        return E_NOTIMPL;
    }
    STDMETHODIMP DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND, LPCRECT) override {
        LogLine(L"DoVerb " + std::to_wstring(verb));
        if (site && site != clientSite_) {
            SetClientSite(site);
        }
        switch (verb) {
            case OLEIVERB_PRIMARY:
            case OLEIVERB_SHOW:
            case OLEIVERB_OPEN:
            case OLEIVERB_INPLACEACTIVATE:
            case OLEIVERB_UIACTIVATE: {
                HRESULT hr = ActivateInPlace();
                if (SUCCEEDED(hr) && verb != OLEIVERB_INPLACEACTIVATE) {
                    ShowWindow(embedding_, SW_SHOW);
                }
                return hr;
            }
            case OLEIVERB_HIDE:
                if (embedding_) {
                    ShowWindow(embedding_, SW_HIDE);
                }
                return S_OK;
            default:
                return OLEOBJ_S_INVALIDVERB;
        }
    }
    STDMETHODIMP EnumVerbs(IEnumOLEVERB** out) override {
        if (out) {
            *out = nullptr;
        }
        return E_NOTIMPL;
    }
    STDMETHODIMP Update() override { return S_OK; }
    STDMETHODIMP IsUpToDate() override { return S_OK; }
    STDMETHODIMP GetUserClassID(CLSID* clsid) override {
        if (!clsid) {
            return E_POINTER;
        }
        *clsid = kClsidWebBrowser;
        return S_OK;
    }
    STDMETHODIMP GetUserType(DWORD, LPOLESTR* out) override {
        if (out) {
            *out = nullptr;
        }
        return E_NOTIMPL;
    }
    STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override {
        if (aspect != DVASPECT_CONTENT || !size) {
            return E_INVALIDARG;
        }
        extent_ = *size;
        return S_OK;
    }
    STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override {
        if (aspect != DVASPECT_CONTENT || !size) {
            return E_INVALIDARG;
        }
        *size = extent_;
        return S_OK;
    }
    STDMETHODIMP Advise(IAdviseSink* sink, DWORD* cookie) override {
        if (!adviseHolder_ && FAILED(CreateOleAdviseHolder(&adviseHolder_))) {
            return E_OUTOFMEMORY;
        }
        return adviseHolder_->Advise(sink, cookie);
    }
    STDMETHODIMP Unadvise(DWORD cookie) override {
        return adviseHolder_ ? adviseHolder_->Unadvise(cookie) : OLE_E_NOCONNECTION;
    }
    STDMETHODIMP EnumAdvise(IEnumSTATDATA** out) override {
        if (out) {
            *out = nullptr;
        }
        return adviseHolder_ ? adviseHolder_->EnumAdvise(out) : E_FAIL;
    }
    STDMETHODIMP GetMiscStatus(DWORD, DWORD* status) override {
        if (!status) {
            return E_POINTER;
        }
        *status = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_INSIDEOUT |
                  OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE;
        return S_OK;
    }
    STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

    // ---- IOleWindow / IOleInPlaceObject ----
    STDMETHODIMP GetWindow(HWND* window) override {
        if (!window) {
            return E_POINTER;
        }
        *window = embedding_;
        return embedding_ ? S_OK : E_FAIL;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP InPlaceDeactivate() override {
        if (!embedding_ && !inPlaceSite_) {
            return S_OK;
        }
        LogLine(L"InPlaceDeactivate");
        DestroyWindows();
        if (inPlaceSite_) {
            IOleInPlaceSite* site = inPlaceSite_;
            inPlaceSite_ = nullptr;
            site->OnInPlaceDeactivate();
            site->Release();
        }
        return S_OK;
    }
    STDMETHODIMP UIDeactivate() override { return S_OK; }
    STDMETHODIMP SetObjectRects(LPCRECT position, LPCRECT) override {
        if (!position) {
            return E_INVALIDARG;
        }
        LogLine(L"SetObjectRects " + std::to_wstring(position->left) + L" " +
                std::to_wstring(position->top) + L" " + std::to_wstring(position->right) + L" " +
                std::to_wstring(position->bottom));
        position_ = *position;
        if (embedding_) {
            MoveWindow(embedding_, position->left, position->top, position->right - position->left,
                       position->bottom - position->top, TRUE);
        }
        return S_OK;
    }
    STDMETHODIMP ReactivateAndUndo() override { return E_NOTIMPL; }

    // ---- IConnectionPointContainer: DWebBrowserEvents2 only ----
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override {
        if (out) {
            *out = nullptr;
        }
        return NotImplemented(L"EnumConnectionPoints");
    }
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
        if (!out) {
            return E_POINTER;
        }
        *out = nullptr;
        if (!IsEqualIID(iid, DIID_DWebBrowserEvents2)) {
            return CONNECT_E_NOCONNECTION;
        }
        *out = &events_;
        events_.AddRef();
        return S_OK;
    }

    // ---- window procedures ----
    static LRESULT CALLBACK NotifyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<WebBrowser*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self && (message == kLoadMessage || message == kUpstreamMessage ||
                     (message == WM_TIMER && wParam == kHoldTimer))) {
            if (message == WM_TIMER) {
                KillTimer(window, kHoldTimer);
                wParam = self->serial_;
            }
            // Sinks may drop the last reference to the browser while it loads.
            self->AddRef();
            try {
                if (message == kUpstreamMessage) {
                    self->OnUpstreamAnswer(static_cast<unsigned>(wParam));
                } else {
                    self->OnLoad(static_cast<unsigned>(wParam));
                }
            } catch (...) {  // a page that cannot be held in memory is not shown
                LogLine(L"NotFound (out of memory)");
                self->StopLoading();
            }
            self->Release();
            return 0;
        }
        if (self && self->chromium_ &&
            (message == kChromiumLoadedMessage ||
             (message == WM_TIMER && wParam == kChromiumHoldTimer))) {
            if (message == WM_TIMER) {
                KillTimer(window, kChromiumHoldTimer);
            }
            self->AddRef();  // sinks may drop the last reference to the browser
            try {
                self->OnChromiumNotice(message == WM_TIMER ? kChromiumPageLoaded : wParam);
            } catch (...) {  // the page stays as it was
                self->StopLoading();
            }
            self->Release();
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    // "Shell Embedding" and "Shell DocObject View": each keeps its one child filling it.
    static LRESULT CALLBACK FrameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_SIZE) {
            HWND child = ::GetWindow(window, GW_CHILD);
            if (child) {
                MoveWindow(child, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
            }
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    static LRESULT CALLBACK ServerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<WebBrowser*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        static const UINT getObject = RegisterWindowMessageW(L"WM_HTML_GETOBJECT");
        try {
            if (self && message == getObject) {
                return self->OnGetObject(wParam);
            }
            if (self && message == WM_PAINT) {
                self->OnPaint(window);
                return 0;
            }
        } catch (...) {
            return 0;  // out of memory: no document, nothing painted
        }
        if (message == WM_NCDESTROY) {
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

  private:
    HRESULT NotImplemented(const wchar_t* member) {
        LogLine(std::wstring(member) + L" E_NOTIMPL");
        return E_NOTIMPL;
    }
    template <class T>
    HRESULT NotImplementedOut(const wchar_t* member, T** out) {
        if (out) {
            *out = nullptr;
        }
        return NotImplemented(member);
    }

    HRESULT ActivateInPlace() {
        if (embedding_) {
            return S_OK;
        }
        if (!clientSite_) {
            return E_UNEXPECTED;
        }
        IOleInPlaceSite* site = nullptr;
        if (FAILED(clientSite_->QueryInterface(IID_IOleInPlaceSite,
                                               reinterpret_cast<void**>(&site)))) {
            return E_NOINTERFACE;
        }
        if (site->CanInPlaceActivate() != S_OK) {
            site->Release();
            return E_FAIL;
        }
        site->OnInPlaceActivate();
        HWND parent = nullptr;
        site->GetWindow(&parent);
        IOleInPlaceFrame* frame = nullptr;
        IOleInPlaceUIWindow* uiWindow = nullptr;
        RECT position = {0, 0, 0, 0};
        RECT clip = {0, 0, 0, 0};
        OLEINPLACEFRAMEINFO frameInfo = {};
        frameInfo.cb = sizeof(frameInfo);
        site->GetWindowContext(&frame, &uiWindow, &position, &clip, &frameInfo);
        if (frame) {
            frame->Release();
        }
        if (uiWindow) {
            uiWindow->Release();
        }
        if (!parent || !IsWindow(parent)) {
            site->OnInPlaceDeactivate();
            site->Release();
            return E_FAIL;
        }
        inPlaceSite_ = site;
        position_ = position;
        embedding_ =
            CreateWindowExW(0, kEmbeddingClass, L"",
                            WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS | WS_TABSTOP,
                            position.left, position.top, position.right - position.left,
                            position.bottom - position.top, parent, nullptr, g_instance, this);
        if (!embedding_) {
            InPlaceDeactivate();
            return E_OUTOFMEMORY;
        }
        RECT client;
        GetClientRect(embedding_, &client);
        view_ = CreateWindowExW(0, kViewClass, L"",
                                WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0, 0,
                                client.right, client.bottom, embedding_, nullptr, g_instance, this);
        if (document_ || (chromium_ && chromium_->HasDocument())) {
            ShowDocument();
        }
        return S_OK;
    }

    void DestroyWindows() {
        if (embedding_) {
            HWND window = embedding_;
            embedding_ = view_ = server_ = nullptr;
            DestroyWindow(window);  // takes its children with it
        }
    }

    // The document window exists from the first shown page on; each page repaints it.
    void ShowDocument() {
        if (!view_) {
            return;
        }
        if (!server_) {
            RECT client;
            GetClientRect(view_, &client);
            server_ = CreateWindowExW(
                0, kServerClass, L"",
                WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS | WS_TABSTOP, 0, 0,
                client.right, client.bottom, view_, nullptr, g_instance, this);
        } else {
            InvalidateRect(server_, nullptr, TRUE);
        }
    }

    IDispatch* Self() { return static_cast<IWebBrowser2*>(this); }

    // The download of a navigation has begun (told once per navigation).
    void BeginDownload() {
        if (!downloading_) {
            downloading_ = true;
            events_.DownloadBegin();
        }
    }

    void OnChromiumNotice(WPARAM notice) {
        const unsigned serial = serial_;
        switch (notice) {
            case kChromiumPageNavigating: {
                // The page itself navigates (a form sent, a link, a script): announced as the
                // control announces the navigations it is asked for. A sink may cancel it.
                const std::wstring url = chromium_->NoticeUrl();
                const bool cancelled = events_.BeforeNavigate2(Self(), url);
                chromium_->AllowNavigation(!cancelled && refs_ != 1);
                if (refs_ == 1) {
                    return;  // the sinks let the browser go; only this call holds it now
                }
                if (cancelled) {
                    chromium_->Stop();
                    return;
                }
                pending_ = url;
                ++serial_;
                busy_ = true;
                return;
            }
            case kChromiumPageNotFound:
                // As with the model: an error instead of completion, the shown page stays.
                BeginDownload();
                if (serial == serial_) {
                    busy_ = false;
                    events_.NavigateError(Self(), chromium_->NoticeUrl(), 404);  // "not found"
                    StopLoading();
                }
                if (chromium_) {
                    chromium_->NoticeTaken();
                }
                return;
            case kChromiumPageDownload:
                // As the real control does when a navigation's answer is a file: its download
                // begins and ends, and the shown page stays (no NavigateComplete2, no
                // DocumentComplete). A download no navigation of ours asked for tells nothing.
                if (busy_) {
                    BeginDownload();
                    if (serial == serial_) {
                        StopLoading();
                    }
                }
                return;
            default:
                OnChromiumLoaded();
        }
    }

    // Chromium has loaded a page in the main frame: it becomes the document, with the events in
    // the real control's order, unless pages are held back (then once the hold is lifted).
    void OnChromiumLoaded() {
        if (LoadsHeldBack()) {
            if (!held_) {
                held_ = true;
                LogLine(L"Held " + LogEscape(pending_));
            }
            SetTimer(notify_, kChromiumHoldTimer, kHoldRecheckMs, nullptr);
            return;
        }
        held_ = false;
        const unsigned serial = serial_;
        BeginDownload();
        if (serial != serial_) {
            return;  // a sink navigated elsewhere or stopped
        }
        if (!chromium_ || !chromium_->OnLoaded()) {
            StopLoading();
            return;
        }
        const std::wstring shownUrl = chromium_->Url();
        events_.NavigateComplete2(Self(), shownUrl);
        ShowDocument();
        if (serial != serial_) {
            return;  // a sink navigated again: that navigation carries on
        }
        StopLoading();
        if (serial == serial_) {
            events_.DocumentComplete(Self(), shownUrl);
        }
    }

    // A navigation was dropped before its page arrived: the download it began ends.
    void StopLoading() {
        busy_ = false;
        if (downloading_) {
            downloading_ = false;
            events_.DownloadComplete();
        }
    }

    // announce: tell the sinks first, as the real control does for every navigation it is asked
    // for (not for a refresh); a sink may cancel it.
    HRESULT StartNavigation(const std::wstring& address, bool announce = true) {
        if (!notify_) {
            notify_ = CreateWindowExW(0, kNotifyClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      g_instance, this);
            if (!notify_) {
                return E_FAIL;
            }
        }
        const std::wstring target =
            address.empty() ? std::wstring(L"about:blank") : NormalizeAddress(address);
        if (announce) {
            AddRef();
            const bool cancelled = events_.BeforeNavigate2(Self(), target);
            const bool gone = refs_ == 1;
            Release();
            if (cancelled || gone) {
                return S_OK;
            }
        }
        pending_ = target;
        ++serial_;
        busy_ = true;
        if (ChromiumEngineChosen()) {
            if (!chromium_) {
                chromium_ = std::make_unique<ChromiumView>(kChromiumLoadedMessage);
            }
            chromium_->Navigate(pending_, notify_);
            return S_OK;
        }
        // Like a real browser, the page loads later, from the message loop.
        PostMessageW(notify_, kLoadMessage, serial_, 0);
        return S_OK;
    }

    void OnLoad(unsigned serial) {
        if (serial != serial_ || !busy_) {
            return;  // a later navigation or Stop replaced this one
        }
        if (!downloading_) {
            downloading_ = true;
            events_.DownloadBegin();
            if (serial != serial_ || !busy_) {
                return;  // a sink navigated elsewhere or stopped
            }
        }
        if (LoadsHeldBack()) {
            if (!held_) {
                held_ = true;
                LogLine(L"Held " + LogEscape(pending_));
            }
            SetTimer(notify_, kHoldTimer, kHoldRecheckMs, nullptr);
            return;
        }
        held_ = false;
        std::wstring url = pending_;
        std::shared_ptr<Document> page;
        if (std::optional<Upstream> upstream = UpstreamFor(url)) {
            // A live server's page comes over the network, off this thread.
            if (fetchSerial_ != serial) {
                fetchSerial_ = serial;
                fetched_ = std::make_shared<UpstreamAnswer>();
                StartUpstreamFetch(*upstream, url, notify_, kUpstreamMessage, serial, fetched_);
            }
            return;
        }
        if (url == L"about:blank") {
            page = Document::Create(url);
        } else {
            std::wstring file;
            std::string bytes;
            if (AddressToFile(url, EnvironmentValue(L"REELHAWK_STANDIN_WEBROOT"), file)) {
                DWORD attributes = GetFileAttributesW(file.c_str());
                if (attributes != INVALID_FILE_ATTRIBUTES &&
                    (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                    // A folder shows its index page, and relative links start inside it.
                    file += L"\\index.html";
                    UrlParts parts = SplitUrl(url);
                    if (parts.path.empty() || parts.path.back() != L'/') {
                        parts.path += L'/';
                        url = JoinUrl(parts);
                    }
                }
                if (ReadPageFile(file, bytes)) {
                    page = Document::Load(bytes, url);
                }
            }
        }
        Show(serial, url, std::move(page));
    }

    // The answer of a live server has come.
    void OnUpstreamAnswer(unsigned serial) {
        if (serial != serial_ || !busy_ || fetchSerial_ != serial || !fetched_) {
            return;  // a later navigation or Stop replaced this one
        }
        std::shared_ptr<UpstreamAnswer> answer = std::move(fetched_);
        std::shared_ptr<Document> page;
        if (answer->reached) {
            page = Document::Load(answer->body, answer->url);
        }
        Show(serial, answer->reached ? answer->url : pending_, std::move(page));
    }

    // The page has come (or not, when null): it becomes the shown document.
    void Show(unsigned serial, const std::wstring& url, std::shared_ptr<Document> page) {
        if (!page) {
            LogLine(L"NotFound " + LogEscape(url));
            busy_ = false;
            events_.NavigateError(Self(), url, 404);  // HTTP's "not found"
            StopLoading();
            return;  // the shown page stays
        }
        // Clicks on this page navigate this browser, while it lives and the page is still shown.
        std::weak_ptr<BrowserLink> link = link_;
        Document* shown = page.get();
        page->SetNavigationHandler([link, shown](const NavigationRequest& request) {
            auto target = link.lock();
            if (target && target->browser && target->browser->document_.get() == shown) {
                target->browser->StartNavigation(request.url);
            }
        });
        document_ = std::move(page);
        LogLine(L"Loaded " + LogEscape(document_->Url()));
        // The real control's order once the page has come: navigation complete (the new
        // document is in place), the download ends, the document is complete.
        const std::wstring shownUrl = document_->Url();
        events_.NavigateComplete2(Self(), shownUrl);
        ShowDocument();
        if (serial != serial_) {
            return;  // a sink navigated again: that navigation carries on
        }
        busy_ = false;
        downloading_ = false;
        events_.DownloadComplete();
        if (serial == serial_) {
            events_.DocumentComplete(Self(), shownUrl);
        }
    }

    LRESULT OnGetObject(WPARAM wParam) {
        IDispatch* object = chromium_   ? chromium_->Document()
                            : document_ ? GetDocumentObject(document_)
                                        : nullptr;
        if (!object) {
            return 0;
        }
        LRESULT result = LresultFromObject(IID_IHTMLDocument, wParam, object);
        object->Release();
        return result;
    }

    void OnPaint(HWND window) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT client;
        GetClientRect(window, &client);
        FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        if (document_ && document_->Body()) {
            // A plain rendering of the page's text, larger or smaller with the zoom level.
            static const int kHeights[] = {-10, -12, -14, -17, -21};
            HFONT font = CreateFontW(kHeights[zoom_], 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                     DEFAULT_CHARSET, 0, 0, PROOF_QUALITY, 0, L"SimSun");
            HGDIOBJ old = SelectObject(dc, font);
            std::wstring text = document_->Body()->InnerText();
            RECT area = client;
            InflateRect(&area, -6, -6);
            SetBkMode(dc, TRANSPARENT);
            DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &area,
                      DT_LEFT | DT_TOP | DT_WORDBREAK | DT_NOPREFIX);
            SelectObject(dc, old);
            DeleteObject(font);
        }
        EndPaint(window, &paint);
    }

    volatile LONG refs_ = 1;
    std::shared_ptr<BrowserLink> link_;
    IOleClientSite* clientSite_ = nullptr;
    IOleInPlaceSite* inPlaceSite_ = nullptr;
    IOleAdviseHolder* adviseHolder_ = nullptr;
    HWND embedding_ = nullptr;
    HWND view_ = nullptr;
    HWND server_ = nullptr;
    HWND notify_ = nullptr;
    RECT position_ = {0, 0, 0, 0};
    SIZEL extent_ = {0, 0};
    VARIANT_BOOL offline_ = VARIANT_FALSE;
    VARIANT_BOOL silent_ = VARIANT_FALSE;
    LONG zoom_ = 2;
    bool busy_ = false;
    bool downloading_ = false;  // DownloadBegin fired, DownloadComplete not yet
    bool held_ = false;
    unsigned serial_ = 0;
    std::wstring pending_;
    unsigned fetchSerial_ = 0;                // the navigation whose page a live server sends
    std::shared_ptr<UpstreamAnswer> fetched_;  // and where its answer goes
    std::shared_ptr<Document> document_;
    std::unique_ptr<ChromiumView> chromium_;  // when Chromium is the engine
    BrowserEvents events_;
};

bool RegisterWindowClasses() {
    static bool registered = false;
    if (registered) {
        return true;
    }
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.hInstance = g_instance;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));

    wc.lpfnWndProc = WebBrowser::FrameProc;
    wc.style = CS_DBLCLKS;
    wc.lpszClassName = kEmbeddingClass;
    RegisterClassExW(&wc);
    wc.lpszClassName = kViewClass;
    RegisterClassExW(&wc);

    wc.lpfnWndProc = WebBrowser::ServerProc;
    wc.style = CS_DBLCLKS | CS_HREDRAW | CS_VREDRAW;
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = kServerClass;
    RegisterClassExW(&wc);

    wc.lpfnWndProc = WebBrowser::NotifyProc;
    wc.style = 0;
    wc.hbrBackground = nullptr;
    wc.lpszClassName = kNotifyClass;
    RegisterClassExW(&wc);
    registered = true;
    return true;
}

}  // namespace

HRESULT CreateWebBrowser(REFIID riid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    RegisterWindowClasses();
    auto* browser = new (std::nothrow) WebBrowser();
    if (!browser) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = browser->QueryInterface(riid, object);
    browser->Release();
    return hr;
}

long LiveBrowserCount() {
    return g_liveBrowsers;
}

void SetModuleInstance(HINSTANCE instance) {
    g_instance = instance;
}

void UnregisterWindowClasses() {
    for (const wchar_t* name : {kEmbeddingClass, kViewClass, kServerClass, kNotifyClass}) {
        UnregisterClassW(name, g_instance);
    }
}

}  // namespace standin
