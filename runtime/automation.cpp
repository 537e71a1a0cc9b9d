#include "runtime/automation.h"

#include <cstring>
#include <utility>
#include <vector>

#include "runtime/automation_convert.h"

namespace rh {

// ---------------------------------------------------------------------------------------------
// ComObject

ComObject ComObject::Adopt(IUnknown* owned) noexcept {
    ComObject object;
    object.unknown_ = owned;
    return object;
}

ComObject ComObject::Share(IUnknown* borrowed) noexcept {
    if (borrowed != nullptr) {
        borrowed->AddRef();
    }
    return Adopt(borrowed);
}

ComObject::ComObject(const ComObject& other) noexcept : unknown_(other.unknown_) {
    if (unknown_ != nullptr) {
        unknown_->AddRef();
    }
}

ComObject::ComObject(ComObject&& other) noexcept
    : unknown_(std::exchange(other.unknown_, nullptr)) {}

ComObject& ComObject::operator=(const ComObject& other) noexcept {
    // Take the new reference before letting go of the old one: both may be the same object.
    IUnknown* old = unknown_;
    unknown_ = other.unknown_;
    if (unknown_ != nullptr) {
        unknown_->AddRef();
    }
    if (old != nullptr) {
        old->Release();
    }
    return *this;
}

ComObject& ComObject::operator=(ComObject&& other) noexcept {
    if (this != &other) {
        IUnknown* old = std::exchange(unknown_, std::exchange(other.unknown_, nullptr));
        if (old != nullptr) {
            old->Release();
        }
    }
    return *this;
}

ComObject::~ComObject() {
    Clear();
}

void ComObject::Clear() noexcept {
    if (IUnknown* old = std::exchange(unknown_, nullptr)) {
        old->Release();
    }
}

IUnknown* ComObject::Detach() noexcept {
    return std::exchange(unknown_, nullptr);
}

HRESULT ComObject::QueryInterface(REFIID iid, void** out) const noexcept {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (unknown_ == nullptr) {
        return E_POINTER;
    }
    return unknown_->QueryInterface(iid, out);
}

void CopyObject(ComObject& destination, const ComObject& source) noexcept {
    destination = source;
}

void ClearObject(ComObject& object) noexcept {
    object.Clear();
}

bool IsEmptyObject(const ComObject& object) noexcept {
    return object.IsEmpty();
}

// ---------------------------------------------------------------------------------------------
// Variant

Variant::Variant() noexcept {
    VariantInit(&value_);
}

Variant::Variant(const VARIANT& value) noexcept {
    VariantInit(&value_);
    if (FAILED(CopyVariantInd(value_, value))) {
        VariantInit(&value_);
    }
}

Variant::Variant(const Variant& other) noexcept {
    VariantInit(&value_);
    if (FAILED(CopyVariant(value_, other.value_))) {
        VariantInit(&value_);
    }
}

Variant::Variant(Variant&& other) noexcept {
    value_ = other.value_;
    VariantInit(&other.value_);
}

Variant& Variant::operator=(const Variant& other) noexcept {
    if (this != &other) {
        Variant copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
    if (this != &other) {
        VariantClear(&value_);
        value_ = other.value_;
        VariantInit(&other.value_);
    }
    return *this;
}

Variant::~Variant() {
    VariantClear(&value_);
}

void Variant::Clear() noexcept {
    VariantClear(&value_);
    VariantInit(&value_);
}

VARIANT* Variant::Receive() noexcept {
    Clear();
    return &value_;
}

// ---------------------------------------------------------------------------------------------
// Member calls by name

namespace {

thread_local int lastAutomationError = kAutomationOk;

// Holds one reference to an interface for the length of a call.
template <class T>
class Held {
  public:
    Held() noexcept = default;
    ~Held() { Reset(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    T** Out() noexcept {
        Reset();
        return &p_;
    }
    void** OutVoid() noexcept { return reinterpret_cast<void**>(Out()); }
    void Reset() noexcept {
        if (T* old = std::exchange(p_, nullptr)) {
            old->Release();
        }
    }

  private:
    T* p_ = nullptr;
};

// What ITypeComp::Bind found: a function or variable description and the type information that
// owns it, released together.
class BoundMember {
  public:
    BoundMember() noexcept = default;
    ~BoundMember() { Reset(); }
    BoundMember(const BoundMember&) = delete;
    BoundMember& operator=(const BoundMember&) = delete;

    // Binds `name` under `kind`; true when a member of any sort was found.
    bool Bind(ITypeComp* comp, LPOLESTR name, ULONG hash, WORD kind) {
        Reset();
        BINDPTR bound{};
        ITypeInfo* info = nullptr;
        DESCKIND descKind = DESCKIND_NONE;
        const HRESULT hr = comp->Bind(name, hash, kind, &info, &descKind, &bound);
        if (FAILED(hr)) {
            // A failed lookup may still have handed something out.
            descKind = DESCKIND_NONE;
        }
        info_ = info;
        switch (descKind) {
            case DESCKIND_FUNCDESC:
                func_ = bound.lpfuncdesc;
                break;
            case DESCKIND_VARDESC:
            case DESCKIND_IMPLICITAPPOBJ:
                var_ = bound.lpvardesc;
                break;
            case DESCKIND_TYPECOMP:
                if (bound.lptcomp != nullptr) {
                    bound.lptcomp->Release();
                }
                break;
            default:
                break;
        }
        if (SUCCEEDED(hr) && descKind != DESCKIND_NONE) {
            return true;
        }
        Reset();
        return false;
    }

    ITypeInfo* info() const noexcept { return info_; }
    const FUNCDESC* func() const noexcept { return func_; }
    const VARDESC* var() const noexcept { return var_; }

    void Reset() noexcept {
        if (info_ != nullptr) {
            if (func_ != nullptr) {
                info_->ReleaseFuncDesc(func_);
            }
            if (var_ != nullptr) {
                info_->ReleaseVarDesc(var_);
            }
            info_->Release();
        }
        info_ = nullptr;
        func_ = nullptr;
        var_ = nullptr;
    }

  private:
    ITypeInfo* info_ = nullptr;
    FUNCDESC* func_ = nullptr;
    VARDESC* var_ = nullptr;
};

constexpr WORD kGetKinds[] = {INVOKE_PROPERTYGET, INVOKE_FUNC};
constexpr WORD kPutKinds[] = {INVOKE_PROPERTYPUT, INVOKE_PROPERTYPUTREF, INVOKE_FUNC};
constexpr WORD kCallKinds[] = {INVOKE_FUNC, INVOKE_PROPERTYGET, INVOKE_PROPERTYPUT,
                               INVOKE_PROPERTYPUTREF};

std::span<const WORD> LookupKinds(InvokeMode mode) {
    switch (mode) {
        case InvokeMode::PropertyGet:
            return kGetKinds;
        case InvokeMode::PropertyPut:
            return kPutKinds;
        case InvokeMode::MethodCall:
            return kCallKinds;
    }
    return {};
}

bool BindByKinds(ITypeComp* comp, LPOLESTR name, ULONG hash, InvokeMode mode, BoundMember& bound) {
    for (WORD kind : LookupKinds(mode)) {
        if (bound.Bind(comp, name, hash, kind)) {
            return true;
        }
    }
    return false;
}

// A class's members live on the interfaces it implements: type information built by
// CreateDispTypeInfo is such a class. Looks the name up on the class's default interface.
bool BindThroughDefaultInterface(ITypeInfo* info, LPOLESTR name, ULONG hash, InvokeMode mode,
                                 BoundMember& bound) {
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr)) || attr == nullptr) {
        return false;
    }
    const bool isClass = attr->typekind == TKIND_COCLASS;
    const UINT count = attr->cImplTypes;
    info->ReleaseTypeAttr(attr);
    if (!isClass || count == 0) {
        return false;
    }
    // The default interface, or else the first one that is not an event source.
    UINT chosen = count;
    for (UINT i = 0; i < count; ++i) {
        INT flags = 0;
        if (FAILED(info->GetImplTypeFlags(i, &flags)) || (flags & IMPLTYPEFLAG_FSOURCE) != 0) {
            continue;
        }
        if ((flags & IMPLTYPEFLAG_FDEFAULT) != 0) {
            chosen = i;
            break;
        }
        if (chosen == count) {
            chosen = i;
        }
    }
    if (chosen == count) {
        return false;
    }
    HREFTYPE reference = 0;
    Held<ITypeInfo> target;
    Held<ITypeComp> comp;
    if (FAILED(info->GetRefTypeOfImplType(chosen, &reference)) ||
        FAILED(info->GetRefTypeInfo(reference, target.Out())) || target.get() == nullptr ||
        FAILED(target->GetTypeComp(comp.Out())) || comp.get() == nullptr) {
        return false;
    }
    return BindByKinds(comp.get(), name, hash, mode, bound);
}

// The call's 2n VARIANTs: n argument slots in COM order (slot 0 holds the last argument) and n
// holders for the values that by-reference slots point at. All cleared when the call ends.
class CallParameters {
  public:
    explicit CallParameters(std::size_t count) : slots_(count), holders_(count) {
        for (std::size_t i = 0; i < count; ++i) {
            VariantInit(&slots_[i]);
            VariantInit(&holders_[i]);
        }
    }
    ~CallParameters() {
        // Slots first: a by-reference slot only points into its holder.
        for (VARIANT& slot : slots_) {
            VariantClear(&slot);
        }
        for (VARIANT& holder : holders_) {
            VariantClear(&holder);
        }
    }
    CallParameters(const CallParameters&) = delete;
    CallParameters& operator=(const CallParameters&) = delete;

    std::size_t count() const noexcept { return slots_.size(); }
    // Slot and holder of argument `index` (0 for the first argument).
    VARIANT& SlotOf(std::size_t index) noexcept { return slots_[slots_.size() - 1 - index]; }
    VARIANT& HolderOf(std::size_t index) noexcept { return holders_[holders_.size() - 1 - index]; }
    VARIANT* slots() noexcept { return slots_.empty() ? nullptr : slots_.data(); }

  private:
    std::vector<VARIANT, RuntimeAllocator<VARIANT>> slots_;
    std::vector<VARIANT, RuntimeAllocator<VARIANT>> holders_;
};

bool HasByReferenceForm(VARTYPE base) {
    return (base >= VT_I2 && base <= VT_BOOL) || base == VT_UNKNOWN ||
           (base >= VT_I1 && base <= VT_UI4) || base == VT_INT || base == VT_UINT ||
           base == VT_HRESULT;
}

void MoveVariant(VARIANT& to, VARIANT& from) {
    VariantClear(&to);
    to = from;
    VariantInit(&from);
}

// Makes the slot of a parameter declared by reference point at the holder's value.
void PointSlotAtHolder(VARTYPE declared, VARIANT& slot, VARIANT& holder) {
    const VARTYPE base = declared & ~VT_BYREF;
    if (V_VT(&holder) == VT_ERROR) {
        MoveVariant(slot, holder);
        return;
    }
    if ((base & VT_ARRAY) != 0) {
        if ((V_VT(&holder) & VT_ARRAY) != 0 && (V_VT(&holder) & VT_BYREF) == 0) {
            // Labelled with the array's own element type, which is what the pointer really
            // points at.
            V_VT(&slot) = static_cast<VARTYPE>(VT_BYREF | V_VT(&holder));
            V_ARRAYREF(&slot) = &V_ARRAY(&holder);
        } else {
            MoveVariant(slot, holder);
        }
        return;
    }
    if (base == VT_VARIANT) {
        V_VT(&slot) = VT_BYREF | VT_VARIANT;
        V_VARIANTREF(&slot) = &holder;
        return;
    }
    if (base == VT_RECORD || !HasByReferenceForm(base) ||
        FAILED(VariantChangeType(&holder, &holder, 0, base))) {
        MoveVariant(slot, holder);
        return;
    }
    V_VT(&slot) = static_cast<VARTYPE>(VT_BYREF | base);
    // Every member of the value union starts at the same address.
    V_BYREF(&slot) = &V_UI1(&holder);
}

// A member overwrites an [out]-only parameter without reading or releasing what it held, so a
// text or object put there would be lost with its memory or reference. Such a holder starts as
// the empty value of the declared type instead; the caller's variable still receives the result.
void EmptyOutValue(VARTYPE base, VARIANT& holder) {
    const bool typed = (base & VT_ARRAY) != 0 || (HasByReferenceForm(base) && base != VT_ERROR);
    if (!typed && base != VT_VARIANT) {
        return;
    }
    VariantClear(&holder);
    std::memset(&holder, 0, sizeof holder);
    V_VT(&holder) = base == VT_VARIANT ? static_cast<VARTYPE>(VT_EMPTY) : base;
}

int CodeOfInvokeFailure(HRESULT hr) {
    switch (hr) {
        case DISP_E_BADPARAMCOUNT:
            return kAutomationBadParamCount;
        case DISP_E_BADVARTYPE:
            return kAutomationBadVarType;
        case DISP_E_EXCEPTION:
            return kAutomationException;
        case DISP_E_MEMBERNOTFOUND:
            return kAutomationMemberNotFound;
        case DISP_E_NONAMEDARGS:
            return kAutomationNoNamedArgs;
        case DISP_E_OVERFLOW:
            return kAutomationOverflow;
        case DISP_E_PARAMNOTFOUND:
            return kAutomationParamNotFound;
        case DISP_E_TYPEMISMATCH:
            return kAutomationTypeMismatch;
        case DISP_E_PARAMNOTOPTIONAL:
            return kAutomationParamNotOptional;
        default:
            return kAutomationInvokeFailed;
    }
}

// Writes an [out] value back into the caller's variable. False when it cannot be converted.
bool WriteBack(const VARIANT& slot, const Argument& argument) {
    if (const auto* text = std::get_if<TextReference>(&argument.value())) {
        AutomationResult value;
        if (!VariantToResult(slot, ResultType::Text, value)) {
            return false;
        }
        *text->text = std::move(std::get<Text>(value));
        return true;
    }
    if (const auto* object = std::get_if<ObjectReference>(&argument.value())) {
        AutomationResult value;
        if (!VariantToResult(slot, ResultType::Object, value)) {
            return false;
        }
        *object->object = std::move(std::get<ComObject>(value));
        return true;
    }
    return true;
}

bool IsWrittenBack(const Argument& argument) {
    const auto* text = std::get_if<TextReference>(&argument.value());
    const auto* object = std::get_if<ObjectReference>(&argument.value());
    return (text != nullptr && text->text != nullptr) ||
           (object != nullptr && object->object != nullptr);
}

int Invoke(const ComObject& object, TextView name, InvokeMode mode,
           std::span<const Argument> arguments, ResultType requested, AutomationResult& result) {
    WideText wideName = WideFromText(name);
    if (object.IsEmpty()) {
        return kAutomationEmptyObject;
    }
    Held<IDispatch> dispatch;
    if (FAILED(object.QueryInterface(IID_IDispatch, dispatch.OutVoid())) ||
        dispatch.get() == nullptr) {
        return kAutomationNoDispatch;
    }

    const LCID lcid = GetUserDefaultLCID();
    Held<ITypeInfo> typeInfo;
    Held<ITypeComp> typeComp;
    if (FAILED(dispatch->GetTypeInfo(0, lcid, typeInfo.Out())) || typeInfo.get() == nullptr ||
        FAILED(typeInfo->GetTypeComp(typeComp.Out())) || typeComp.get() == nullptr) {
        return kAutomationNoTypeInfo;
    }

    // An empty name names nothing; the lookup is not even asked.
    if (wideName.empty()) {
        return kAutomationNameNotFound;
    }
    LPOLESTR olename = wideName.data();
    const ULONG hash = LHashValOfNameSys(SYS_WIN32, lcid, olename);
    BoundMember bound;
    if (!BindByKinds(typeComp.get(), olename, hash, mode, bound) &&
        !BindThroughDefaultInterface(typeInfo.get(), olename, hash, mode, bound)) {
        return kAutomationNameNotFound;
    }
    typeComp.Reset();
    typeInfo.Reset();

    MEMBERID member = DISPID_UNKNOWN;
    WORD flags = 0;
    std::vector<const ELEMDESC*, RuntimeAllocator<const ELEMDESC*>> declared;
    bool variableArguments = false;
    if (const FUNCDESC* func = bound.func()) {
        member = func->memid;
        flags = static_cast<WORD>(func->invkind);
        for (SHORT i = 0; i < func->cParams; ++i) {
            declared.push_back(&func->lprgelemdescParam[i]);
        }
        variableArguments = func->cParamsOpt == -1 && func->cParams > 0;
    } else if (const VARDESC* var = bound.var()) {
        member = var->memid;
        if (mode == InvokeMode::PropertyPut) {
            declared.push_back(&var->elemdescVar);
            const VARTYPE type = DeclaredType(bound.info(), var->elemdescVar.tdesc) & ~VT_BYREF;
            const bool byReference =
                (type & VT_ARRAY) != 0 || type == VT_UNKNOWN || type == VT_DISPATCH;
            flags = byReference ? DISPATCH_PROPERTYPUTREF : DISPATCH_PROPERTYPUT;
        } else {
            flags = DISPATCH_PROPERTYGET;
        }
    } else {
        return kAutomationNameNotFound;
    }

    std::size_t count = arguments.size();
    while (count > 0 && arguments[count - 1].IsOmitted()) {
        --count;
    }
    if (count > declared.size()) {
        if (!variableArguments) {
            return kAutomationTooManyArguments;
        }
        const ELEMDESC* last = declared.back();
        declared.resize(count, last);
    }

    CallParameters parameters(count);
    for (std::size_t i = count; i-- > 0;) {
        const Argument& argument = arguments[i];
        VARIANT& slot = parameters.SlotOf(i);
        if (argument.IsOmitted()) {
            V_VT(&slot) = VT_ERROR;
            V_ERROR(&slot) = DISP_E_PARAMNOTFOUND;
            continue;
        }
        const VARTYPE type = DeclaredType(bound.info(), declared[i]->tdesc);
        const bool byReference = (type & VT_BYREF) != 0;
        VARIANT& target = byReference ? parameters.HolderOf(i) : slot;
        if (!ArgumentToVariant(argument, type & ~VT_BYREF, target)) {
            return kAutomationBadArgument;
        }
        if (V_VT(&target) == VT_EMPTY) {
            V_VT(&target) = VT_ERROR;
            V_ERROR(&target) = DISP_E_PARAMNOTFOUND;
        }
        if (byReference) {
            const USHORT paramFlags = declared[i]->paramdesc.wParamFlags;
            if ((paramFlags & PARAMFLAG_FOUT) != 0 && (paramFlags & PARAMFLAG_FIN) == 0) {
                EmptyOutValue(type & ~VT_BYREF, parameters.HolderOf(i));
            }
            PointSlotAtHolder(type, slot, parameters.HolderOf(i));
        }
    }

    DISPID namedPut = DISPID_PROPERTYPUT;
    DISPPARAMS call{};
    call.rgvarg = parameters.slots();
    call.cArgs = static_cast<UINT>(count);
    // A put names its value as the property's new value. Without any argument there is no value
    // to name (and a named argument beyond the arguments would be read past their end).
    if ((flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0 && count > 0) {
        call.rgdispidNamedArgs = &namedPut;
        call.cNamedArgs = 1;
    }

    Variant callResult;
    UINT argumentError = static_cast<UINT>(-1);
    const HRESULT hr = dispatch->Invoke(member, IID_NULL, lcid, flags, &call, callResult.Get(),
                                        nullptr, &argumentError);
    if (FAILED(hr)) {
        return CodeOfInvokeFailure(hr);
    }

    int code = kAutomationOk;
    for (std::size_t i = 0; i < count; ++i) {
        const VARIANT& slot = parameters.SlotOf(i);
        const auto paramFlags = declared[i]->paramdesc.wParamFlags;
        if ((V_VT(&slot) & VT_BYREF) != 0 && (paramFlags & PARAMFLAG_FOUT) != 0 &&
            IsWrittenBack(arguments[i]) && !WriteBack(slot, arguments[i])) {
            code = kAutomationBadResult;
        }
    }
    if (!VariantToResult(*callResult.Get(), requested, result)) {
        code = kAutomationBadResult;
    }
    return code;
}

}  // namespace

int InvokeByName(const ComObject& object, TextView name, InvokeMode mode,
                 std::span<const Argument> arguments, ResultType requested,
                 AutomationResult& result) {
    const int code = Invoke(object, name, mode, arguments, requested, result);
    if (code != kAutomationOk) {
        result = EmptyResult(requested);
    }
    lastAutomationError = code;
    return code;
}

int LastAutomationError() noexcept {
    return lastAutomationError;
}

namespace automation_detail {

namespace {

template <class T>
T Call(const ComObject& object, TextView name, InvokeMode mode, std::span<const Argument> arguments,
       ResultType requested) {
    AutomationResult result;
    InvokeByName(object, name, mode, arguments, requested, result);
    if (T* value = std::get_if<T>(&result)) {
        return std::move(*value);
    }
    return T{};
}

}  // namespace

Text ReadTextProperty(const ComObject& object, TextView name, std::span<const Argument> arguments) {
    return Call<Text>(object, name, InvokeMode::PropertyGet, arguments, ResultType::Text);
}

double ReadNumberProperty(const ComObject& object, TextView name,
                          std::span<const Argument> arguments) {
    return Call<double>(object, name, InvokeMode::PropertyGet, arguments, ResultType::Double);
}

ComObject ReadObjectProperty(const ComObject& object, TextView name,
                             std::span<const Argument> arguments) {
    return Call<ComObject>(object, name, InvokeMode::PropertyGet, arguments, ResultType::Object);
}

void CallMethod(const ComObject& object, TextView name, std::span<const Argument> arguments) {
    AutomationResult result;
    InvokeByName(object, name, InvokeMode::MethodCall, arguments, ResultType::None, result);
}

ComObject CallObjectMethod(const ComObject& object, TextView name,
                           std::span<const Argument> arguments) {
    return Call<ComObject>(object, name, InvokeMode::MethodCall, arguments, ResultType::Object);
}

bool WriteProperty(const ComObject& object, TextView name, std::span<const Argument> arguments) {
    AutomationResult result;
    return InvokeByName(object, name, InvokeMode::PropertyPut, arguments, ResultType::None,
                        result) == kAutomationOk;
}

}  // namespace automation_detail

}  // namespace rh
