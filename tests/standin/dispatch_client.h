#pragma once
// How the tests drive the stand-in's objects: the way an automation client does, by member name
// through the object's own type information (GetTypeInfo -> GetTypeComp -> ITypeComp::Bind ->
// Invoke), never through GetIDsOfNames.

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <utility>
#include <vector>

namespace standin_test {

// Owns one COM reference.
template <class T>
class Ref {
  public:
    Ref() = default;
    explicit Ref(T* p) : p_(p) {}  // adopts
    Ref(const Ref& other) : p_(other.p_) {
        if (p_)
            p_->AddRef();
    }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Reset(); }
    void Reset() {
        if (p_)
            std::exchange(p_, nullptr)->Release();
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T** out() {
        Reset();
        return &p_;
    }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    T* p_ = nullptr;
};

// VARIANT that clears itself.
struct Var {
    VARIANT v;
    Var() { VariantInit(&v); }
    explicit Var(const wchar_t* text) {
        VariantInit(&v);
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = SysAllocString(text);
    }
    explicit Var(double number) {
        VariantInit(&v);
        V_VT(&v) = VT_R8;
        V_R8(&v) = number;
    }
    static Var Int(LONG number) {
        Var var;
        V_VT(&var.v) = VT_I4;
        V_I4(&var.v) = number;
        return var;
    }
    Var(const Var&) = delete;
    Var& operator=(const Var&) = delete;
    Var(Var&& other) noexcept : v(other.v) { VariantInit(&other.v); }
    ~Var() { VariantClear(&v); }
};

struct Bound {
    HRESULT hr = E_FAIL;
    DISPID id = DISPID_UNKNOWN;
    WORD invokeKind = 0;
    short params = 0;
    VARTYPE returns = VT_EMPTY;
};

// Binds a member name with one lookup kind (INVOKE_PROPERTYGET, INVOKE_FUNC, INVOKE_PROPERTYPUT).
inline Bound BindMember(IDispatch* object, const wchar_t* name, WORD kind) {
    Bound bound;
    Ref<ITypeInfo> info;
    bound.hr = object->GetTypeInfo(0, GetUserDefaultLCID(), info.out());
    if (FAILED(bound.hr))
        return bound;
    Ref<ITypeComp> comp;
    bound.hr = info->GetTypeComp(comp.out());
    if (FAILED(bound.hr))
        return bound;
    ULONG hash = LHashValOfNameSys(SYS_WIN32, GetUserDefaultLCID(), name);
    Ref<ITypeInfo> boundInfo;
    DESCKIND desc = DESCKIND_NONE;
    BINDPTR ptr = {};
    bound.hr = comp->Bind(const_cast<LPOLESTR>(name), hash, kind, boundInfo.out(), &desc, &ptr);
    if (FAILED(bound.hr))
        return bound;
    if (desc == DESCKIND_FUNCDESC) {
        bound.id = ptr.lpfuncdesc->memid;
        bound.invokeKind = static_cast<WORD>(ptr.lpfuncdesc->invkind);
        bound.params = ptr.lpfuncdesc->cParams;
        bound.returns = ptr.lpfuncdesc->elemdescFunc.tdesc.vt;
        boundInfo->ReleaseFuncDesc(ptr.lpfuncdesc);
    } else if (desc == DESCKIND_VARDESC) {
        bound.id = ptr.lpvardesc->memid;
        bound.invokeKind = INVOKE_PROPERTYGET;
        boundInfo->ReleaseVarDesc(ptr.lpvardesc);
    } else {
        if (desc == DESCKIND_TYPECOMP && ptr.lptcomp)
            ptr.lptcomp->Release();
        bound.hr = DISP_E_MEMBERNOTFOUND;  // S_OK with nothing bound: no such member
    }
    return bound;
}

// Binds, then invokes with the flags the binding gave. Arguments in call order.
inline HRESULT InvokeMember(IDispatch* object, const wchar_t* name, WORD kind,
                            std::vector<VARIANT*> args, VARIANT* result) {
    Bound bound = BindMember(object, name, kind);
    if (FAILED(bound.hr))
        return bound.hr;
    std::vector<VARIANT> slots(args.size());
    for (size_t i = 0; i < args.size(); ++i) slots[args.size() - 1 - i] = *args[i];
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params = {slots.empty() ? nullptr : slots.data(), nullptr,
                         static_cast<UINT>(slots.size()), 0};
    if (bound.invokeKind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF)) {
        params.rgdispidNamedArgs = &put;
        params.cNamedArgs = 1;
    }
    UINT argErr = 0;
    return object->Invoke(bound.id, IID_NULL, GetUserDefaultLCID(), bound.invokeKind, &params,
                          result, nullptr, &argErr);
}

inline std::wstring GetText(IDispatch* object, const wchar_t* name) {
    Var result;
    if (FAILED(InvokeMember(object, name, INVOKE_PROPERTYGET, {}, &result.v)))
        return L"<failed>";
    if (FAILED(VariantChangeType(&result.v, &result.v, 0, VT_BSTR)))
        return L"<not text>";
    return V_BSTR(&result.v) ? std::wstring(V_BSTR(&result.v), SysStringLen(V_BSTR(&result.v)))
                             : std::wstring();
}

inline double GetNumber(IDispatch* object, const wchar_t* name) {
    Var result;
    if (FAILED(InvokeMember(object, name, INVOKE_PROPERTYGET, {}, &result.v)))
        return -1;
    if (FAILED(VariantChangeType(&result.v, &result.v, 0, VT_R8)))
        return -2;
    return V_R8(&result.v);
}

inline Ref<IDispatch> GetObject(IDispatch* object, const wchar_t* name) {
    Var result;
    if (FAILED(InvokeMember(object, name, INVOKE_PROPERTYGET, {}, &result.v)))
        return {};
    if (V_VT(&result.v) != VT_DISPATCH || !V_DISPATCH(&result.v))
        return {};
    return Ref<IDispatch>(std::exchange(V_DISPATCH(&result.v), nullptr));
}

inline Ref<IDispatch> CallObject(IDispatch* object, const wchar_t* name, Var arg) {
    Var result;
    if (FAILED(InvokeMember(object, name, INVOKE_FUNC, {&arg.v}, &result.v)))
        return {};
    if (V_VT(&result.v) != VT_DISPATCH || !V_DISPATCH(&result.v))
        return {};
    return Ref<IDispatch>(std::exchange(V_DISPATCH(&result.v), nullptr));
}

inline HRESULT PutText(IDispatch* object, const wchar_t* name, const wchar_t* value) {
    Var arg(value);
    return InvokeMember(object, name, INVOKE_PROPERTYPUT, {&arg.v}, nullptr);
}

inline HRESULT CallMethod(IDispatch* object, const wchar_t* name) {
    return InvokeMember(object, name, INVOKE_FUNC, {}, nullptr);
}

// body.all.tags(tag), as the page automation takes it.
inline Ref<IDispatch> TagsOf(IDispatch* document, const wchar_t* tag) {
    Ref<IDispatch> body = GetObject(document, L"body");
    if (!body)
        return {};
    Ref<IDispatch> all = GetObject(body.get(), L"all");
    if (!all)
        return {};
    return CallObject(all.get(), L"tags", Var(tag));
}

inline Ref<IDispatch> ItemOf(IDispatch* collection, double index) {
    return CallObject(collection, L"item", Var(index));
}

}  // namespace standin_test
