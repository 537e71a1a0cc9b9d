#pragma once
// What every automation object of this module shares, whichever engine answers its members:
// counting, IUnknown and the type-information half of IDispatch. Invoke counts the call, checks
// the interface id and keeps exceptions from leaving through COM; the members are the object's
// own Call, with the member ids of its type information.

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <string_view>
#include <utility>

namespace standin {

// A member's text as its result (when the caller wants one).
inline HRESULT ReturnText(VARIANT* result, std::wstring_view text) {
    if (result) {
        V_VT(result) = VT_BSTR;
        V_BSTR(result) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (!V_BSTR(result)) {
            V_VT(result) = VT_EMPTY;
            return E_OUTOFMEMORY;
        }
    }
    return S_OK;
}

// A member's object as its result; takes the reference. Null is a valid "nothing".
inline HRESULT ReturnObject(VARIANT* result, IDispatch* object) {
    if (result) {
        V_VT(result) = VT_DISPATCH;
        V_DISPATCH(result) = object;
    } else if (object) {
        object->Release();
    }
    return S_OK;
}

// Argument i in call order (the caller's first argument is i = 0) as the given type (VT_VARIANT:
// as it is), by-reference values read through. DISP_E_PARAMNOTOPTIONAL when it is missing,
// DISP_E_TYPEMISMATCH (and its position in argErr) when it does not convert.
inline HRESULT Argument(const DISPPARAMS* params, UINT i, VARTYPE type, VARIANT& out,
                        UINT* argErr) {
    VariantInit(&out);
    if (!params || i >= params->cArgs) {
        return DISP_E_PARAMNOTOPTIONAL;
    }
    UINT position = params->cArgs - 1 - i;
    VARIANT source;
    VariantInit(&source);
    HRESULT hr = VariantCopyInd(&source, &params->rgvarg[position]);
    if (SUCCEEDED(hr)) {
        hr = type == VT_VARIANT ? VariantCopy(&out, &source)
                                : VariantChangeType(&out, &source, 0, type);
    }
    VariantClear(&source);
    if (FAILED(hr)) {
        if (argErr) {
            *argErr = position;
        }
        return DISP_E_TYPEMISMATCH;
    }
    return S_OK;
}

// Argument i as a text, converted as Argument converts it.
inline HRESULT TextArgument(const DISPPARAMS* params, UINT i, std::wstring& out, UINT* argErr) {
    VARIANT text;
    HRESULT hr = Argument(params, i, VT_BSTR, text, argErr);
    if (SUCCEEDED(hr)) {
        BSTR value = V_BSTR(&text);
        out.assign(value ? value : L"", value ? SysStringLen(value) : 0);
        VariantClear(&text);
    }
    return hr;
}

// Automation objects alive in this module, the sum of their reference counts, and the calls made
// on them (IDispatch::Invoke) since the module was loaded.
struct AutomationCounts {
    volatile LONG objects = 0;
    volatile LONG references = 0;
    volatile LONG invokes = 0;
};
AutomationCounts& ModuleAutomationCounts();

// Interface is IDispatch or a dispatch interface deriving from it; Owner is what the object
// stands for and keeps alive (a model's document, a remote object of Chromium).
template <class Interface, class Owner>
class Automation : public Interface {
  public:
    Automation(Owner owner, ITypeInfo* typeInfo) : owner_(std::move(owner)), typeInfo_(typeInfo) {
        InterlockedIncrement(&ModuleAutomationCounts().objects);
        InterlockedIncrement(&ModuleAutomationCounts().references);
    }
    virtual ~Automation() { InterlockedDecrement(&ModuleAutomationCounts().objects); }
    Automation(const Automation&) = delete;
    Automation& operator=(const Automation&) = delete;

    const Owner& owner() const { return owner_; }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) {
            return E_POINTER;
        }
        *out = nullptr;
        if (void* self = Identify(iid)) {
            *out = self;  // not a COM reference: only used to recognise the module's own objects
            return S_OK;
        }
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || Answers(iid)) {
            *out = static_cast<Interface*>(this);
            this->AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        InterlockedIncrement(&ModuleAutomationCounts().references);
        return static_cast<ULONG>(InterlockedIncrement(&refs_));
    }
    STDMETHODIMP_(ULONG) Release() override {
        InterlockedDecrement(&ModuleAutomationCounts().references);
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }

    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) {
            return E_POINTER;
        }
        *count = typeInfo_ ? 1 : 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        if (!info) {
            return E_POINTER;
        }
        *info = nullptr;
        if (index != 0) {
            return DISP_E_BADINDEX;
        }
        if (!typeInfo_) {
            return E_OUTOFMEMORY;
        }
        typeInfo_->AddRef();
        *info = typeInfo_;
        return S_OK;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (!typeInfo_) {
            return E_OUTOFMEMORY;
        }
        return DispGetIDsOfNames(typeInfo_, names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* info, UINT* argErr) override {
        InterlockedIncrement(&ModuleAutomationCounts().invokes);
        if (!IsEqualIID(iid, IID_NULL)) {
            return DISP_E_UNKNOWNINTERFACE;
        }
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        if (!params) {
            params = &none;
        }
        if (result) {
            VariantInit(result);
        }
        try {
            return Call(id, flags, params, result, info, argErr);
        } catch (...) {  // nothing may leave through COM
            if (result) {
                VariantClear(result);
            }
            return E_OUTOFMEMORY;
        }
    }

  protected:
    ITypeInfo* typeInfo() const { return typeInfo_; }

    // Interfaces beyond IUnknown and IDispatch the object answers.
    virtual bool Answers(REFIID) const { return false; }
    // The object itself for a private interface id the module recognises its objects by.
    virtual void* Identify(REFIID) { return nullptr; }
    // A member, by its id in the type information; params is never null.
    virtual HRESULT Call(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                         EXCEPINFO* info, UINT* argErr) = 0;

  private:
    volatile LONG refs_ = 1;
    Owner owner_;
    ITypeInfo* typeInfo_;
};

}  // namespace standin
