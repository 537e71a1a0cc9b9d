#include "standin/browser_events.h"

#include <exdisp.h>
#include <exdispid.h>
#include <olectl.h>

#include "standin/call_log.h"

namespace standin {
namespace {

// A VARIANT holding a BSTR, handed to sinks by reference as the real control does.
class BstrVariant {
  public:
    explicit BstrVariant(const std::wstring& text) {
        VariantInit(&value_);
        V_VT(&value_) = VT_BSTR;
        V_BSTR(&value_) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    ~BstrVariant() { VariantClear(&value_); }
    BstrVariant(const BstrVariant&) = delete;
    BstrVariant& operator=(const BstrVariant&) = delete;
    VARIANT* get() { return &value_; }

  private:
    VARIANT value_;
};

void ByRef(VARIANTARG& arg, VARIANT* value) {
    VariantInit(&arg);
    V_VT(&arg) = VT_VARIANT | VT_BYREF;
    V_VARIANTREF(&arg) = value;
}

void Dispatch(VARIANTARG& arg, IDispatch* object) {
    VariantInit(&arg);
    V_VT(&arg) = VT_DISPATCH;
    V_DISPATCH(&arg) = object;  // borrowed for the call, as the control does
}

}  // namespace

BrowserEvents::~BrowserEvents() {
    Disconnect();
}

void BrowserEvents::Disconnect() {
    std::vector<Sink> sinks;
    sinks.swap(sinks_);
    for (const Sink& s : sinks) {
        s.sink->Release();
    }
}

STDMETHODIMP BrowserEvents::QueryInterface(REFIID iid, void** out) {
    if (!out) {
        return E_POINTER;
    }
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnectionPoint)) {
        *out = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP BrowserEvents::GetConnectionInterface(IID* iid) {
    if (!iid) {
        return E_POINTER;
    }
    *iid = DIID_DWebBrowserEvents2;
    return S_OK;
}

STDMETHODIMP BrowserEvents::GetConnectionPointContainer(IConnectionPointContainer** out) {
    if (!out) {
        return E_POINTER;
    }
    *out = container_;
    if (!container_) {
        return E_UNEXPECTED;
    }
    container_->AddRef();
    return S_OK;
}

STDMETHODIMP BrowserEvents::Advise(IUnknown* sink, DWORD* cookie) {
    if (!sink || !cookie) {
        return E_POINTER;
    }
    *cookie = 0;
    IDispatch* dispatch = nullptr;
    // The real control takes the events interface or, failing that, plain IDispatch.
    if (FAILED(
            sink->QueryInterface(DIID_DWebBrowserEvents2, reinterpret_cast<void**>(&dispatch))) &&
        FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
        return CONNECT_E_CANNOTCONNECT;
    }
    try {
        sinks_.push_back(Sink{nextCookie_, dispatch});
    } catch (...) {
        dispatch->Release();
        return E_OUTOFMEMORY;
    }
    *cookie = nextCookie_++;
    LogLine(L"Advise DWebBrowserEvents2");
    return S_OK;
}

STDMETHODIMP BrowserEvents::Unadvise(DWORD cookie) {
    for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
        if (it->cookie == cookie) {
            IDispatch* sink = it->sink;
            sinks_.erase(it);
            sink->Release();
            LogLine(L"Unadvise DWebBrowserEvents2");
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}

STDMETHODIMP BrowserEvents::EnumConnections(IEnumConnections** out) {
    if (out) {
        *out = nullptr;
    }
    return E_NOTIMPL;
}

void BrowserEvents::Fire(DISPID member, const wchar_t* name, const std::wstring& detail,
                         DISPPARAMS& params) {
    if (sinks_.empty()) {
        return;  // nobody listens: nothing happened that a host could see
    }
    LogLine(std::wstring(L"Event ") + name + (detail.empty() ? L"" : L" " + LogEscape(detail)));
    std::vector<IDispatch*> sinks;
    try {
        sinks.reserve(sinks_.size());
    } catch (...) {
        return;
    }
    for (const Sink& s : sinks_) {
        s.sink->AddRef();
        sinks.push_back(s.sink);
    }
    for (IDispatch* sink : sinks) {
        sink->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                     nullptr, nullptr);
        sink->Release();
    }
}

bool BrowserEvents::BeforeNavigate2(IDispatch* browser, const std::wstring& url) {
    BstrVariant address(url);
    VARIANT flags, frame, postData, headers;
    VariantInit(&flags);
    V_VT(&flags) = VT_I4;
    V_I4(&flags) = 0;
    VariantInit(&frame);
    VariantInit(&postData);
    VariantInit(&headers);
    VARIANT_BOOL cancel = VARIANT_FALSE;
    // Arguments go last to first.
    VARIANTARG args[7];
    VariantInit(&args[0]);
    V_VT(&args[0]) = VT_BOOL | VT_BYREF;
    V_BOOLREF(&args[0]) = &cancel;
    ByRef(args[1], &headers);
    ByRef(args[2], &postData);
    ByRef(args[3], &frame);
    ByRef(args[4], &flags);
    ByRef(args[5], address.get());
    Dispatch(args[6], browser);
    DISPPARAMS params = {args, nullptr, 7, 0};
    Fire(DISPID_BEFORENAVIGATE2, L"BeforeNavigate2", url, params);
    VariantClear(&headers);  // a sink may have put something in them
    VariantClear(&postData);
    VariantClear(&frame);
    VariantClear(&flags);
    return cancel != VARIANT_FALSE;
}

void BrowserEvents::DownloadBegin() {
    DISPPARAMS params = {nullptr, nullptr, 0, 0};
    Fire(DISPID_DOWNLOADBEGIN, L"DownloadBegin", {}, params);
}

void BrowserEvents::DownloadComplete() {
    DISPPARAMS params = {nullptr, nullptr, 0, 0};
    Fire(DISPID_DOWNLOADCOMPLETE, L"DownloadComplete", {}, params);
}

// NavigateComplete2 and DocumentComplete: (pDisp, URL).
void BrowserEvents::FireWithAddress(DISPID member, const wchar_t* name, IDispatch* browser,
                                    const std::wstring& url) {
    BstrVariant address(url);
    VARIANTARG args[2];
    ByRef(args[0], address.get());
    Dispatch(args[1], browser);
    DISPPARAMS params = {args, nullptr, 2, 0};
    Fire(member, name, url, params);
}

void BrowserEvents::NavigateComplete2(IDispatch* browser, const std::wstring& url) {
    FireWithAddress(DISPID_NAVIGATECOMPLETE2, L"NavigateComplete2", browser, url);
}

void BrowserEvents::DocumentComplete(IDispatch* browser, const std::wstring& url) {
    FireWithAddress(DISPID_DOCUMENTCOMPLETE, L"DocumentComplete", browser, url);
}

void BrowserEvents::NavigateError(IDispatch* browser, const std::wstring& url, LONG status) {
    BstrVariant address(url);
    VARIANT frame, code;
    VariantInit(&frame);
    VariantInit(&code);
    V_VT(&code) = VT_I4;
    V_I4(&code) = status;
    VARIANT_BOOL cancel = VARIANT_FALSE;
    VARIANTARG args[5];
    VariantInit(&args[0]);
    V_VT(&args[0]) = VT_BOOL | VT_BYREF;
    V_BOOLREF(&args[0]) = &cancel;
    ByRef(args[1], &code);
    ByRef(args[2], &frame);
    ByRef(args[3], address.get());
    Dispatch(args[4], browser);
    DISPPARAMS params = {args, nullptr, 5, 0};
    Fire(DISPID_NAVIGATEERROR, L"NavigateError", url, params);
    VariantClear(&frame);
    VariantClear(&code);
}

}  // namespace standin
