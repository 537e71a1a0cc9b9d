#include "runtime/automation_convert.h"

#include <cwchar>

namespace rh {

namespace {

// Releases a type description's attributes when it goes.
class TypeAttr {
  public:
    explicit TypeAttr(ITypeInfo* info) : info_(info) {
        if (FAILED(info_->GetTypeAttr(&attr_))) {
            attr_ = nullptr;
        }
    }
    ~TypeAttr() {
        if (attr_ != nullptr) {
            info_->ReleaseTypeAttr(attr_);
        }
    }
    TypeAttr(const TypeAttr&) = delete;
    TypeAttr& operator=(const TypeAttr&) = delete;
    const TYPEATTR* operator->() const noexcept { return attr_; }
    explicit operator bool() const noexcept { return attr_ != nullptr; }

  private:
    ITypeInfo* info_;
    TYPEATTR* attr_ = nullptr;
};

// Aliases may name aliases; a type library that loops must not take us with it.
constexpr int kMaxTypeDepth = 16;

struct Resolved {
    VARTYPE type;
    bool isInterface;  // a user-defined interface or class (its pointer is the reference itself)
};

Resolved Resolve(ITypeInfo* owner, const TYPEDESC& type, int depth);

Resolved ResolveUserDefined(ITypeInfo* owner, HREFTYPE reference, int depth) {
    ITypeInfo* target = nullptr;
    if (owner == nullptr || FAILED(owner->GetRefTypeInfo(reference, &target)) ||
        target == nullptr) {
        return {VT_UNKNOWN, false};
    }
    Resolved resolved{VT_UNKNOWN, false};
    {
        TypeAttr attr(target);
        if (attr) {
            switch (attr->typekind) {
                case TKIND_ENUM:
                    resolved = {VT_I4, false};
                    break;
                case TKIND_DISPATCH:
                    resolved = {VT_DISPATCH, true};
                    break;
                case TKIND_ALIAS:
                    resolved = {Resolve(target, attr->tdescAlias, depth + 1).type, false};
                    break;
                case TKIND_INTERFACE:
                case TKIND_COCLASS:
                    resolved = {VT_UNKNOWN, true};
                    break;
                default:
                    break;
            }
        }
    }
    target->Release();
    return resolved;
}

Resolved Resolve(ITypeInfo* owner, const TYPEDESC& type, int depth) {
    if (depth > kMaxTypeDepth) {
        return {VT_UNKNOWN, false};
    }
    switch (type.vt) {
        case VT_INT:
            return {VT_I4, false};
        case VT_UINT:
            return {VT_UI4, false};
        case VT_PTR: {
            if (type.lptdesc == nullptr) {
                return {VT_UNKNOWN, false};
            }
            const Resolved target = Resolve(owner, *type.lptdesc, depth + 1);
            if (target.isInterface) {
                return {target.type, false};
            }
            return {static_cast<VARTYPE>(target.type | VT_BYREF), false};
        }
        case VT_SAFEARRAY:
            if (type.lptdesc == nullptr) {
                return {VT_ARRAY | VT_VARIANT, false};
            }
            return {static_cast<VARTYPE>(Resolve(owner, *type.lptdesc, depth + 1).type | VT_ARRAY),
                    false};
        case VT_CARRAY:
            if (type.lpadesc == nullptr) {
                return {VT_ARRAY | VT_VARIANT, false};
            }
            return {static_cast<VARTYPE>(Resolve(owner, type.lpadesc->tdescElem, depth + 1).type |
                                         VT_ARRAY),
                    false};
        case VT_USERDEFINED:
            return ResolveUserDefined(owner, type.hreftype, depth);
        default:
            return {type.vt, false};
    }
}

BSTR NewBstr(TextView text, bool& ok) {
    ok = true;
    const WideText wide = WideFromText(text);
    if (wide.empty()) {
        return nullptr;
    }
    BSTR bstr = SysAllocString(wide.c_str());
    ok = bstr != nullptr;
    return bstr;
}

bool ObjectToVariant(const ComObject* object, VARTYPE declaredBase, VARIANT& out) {
    if (object == nullptr) {
        return false;
    }
    IUnknown* unknown = object->Get();
    if (unknown == nullptr) {
        V_VT(&out) = VT_UNKNOWN;
        V_UNKNOWN(&out) = nullptr;
        return true;
    }
    if (declaredBase == VT_UNKNOWN) {
        unknown->AddRef();
        V_VT(&out) = VT_UNKNOWN;
        V_UNKNOWN(&out) = unknown;
        return true;
    }
    IDispatch* dispatch = nullptr;
    if (FAILED(unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
        dispatch = nullptr;
    }
    if (dispatch != nullptr) {
        V_VT(&out) = VT_DISPATCH;
        V_DISPATCH(&out) = dispatch;
    } else if (declaredBase == VT_DISPATCH) {
        V_VT(&out) = VT_UNKNOWN;
        V_UNKNOWN(&out) = nullptr;
    } else {
        // Declared as something else (a VARIANT, say): an object without IDispatch still goes
        // as the object it is.
        unknown->AddRef();
        V_VT(&out) = VT_UNKNOWN;
        V_UNKNOWN(&out) = unknown;
    }
    return true;
}

}  // namespace

BSTR BstrFromText(TextView text, bool& ok) {
    return NewBstr(text, ok);
}

VARTYPE DeclaredType(ITypeInfo* owner, const TYPEDESC& type) {
    return Resolve(owner, type, 0).type;
}

bool ArgumentToVariant(const Argument& argument, VARTYPE declaredBase, VARIANT& out) {
    struct Visitor {
        VARTYPE declaredBase;
        VARIANT& out;

        bool operator()(Omitted) const {
            V_VT(&out) = VT_ERROR;
            V_ERROR(&out) = DISP_E_PARAMNOTFOUND;
            return true;
        }
        bool operator()(bool value) const {
            V_VT(&out) = VT_BOOL;
            V_BOOL(&out) = value ? VARIANT_TRUE : VARIANT_FALSE;
            return true;
        }
        bool operator()(std::uint8_t value) const {
            V_VT(&out) = VT_UI1;
            V_UI1(&out) = value;
            return true;
        }
        bool operator()(std::int16_t value) const {
            V_VT(&out) = VT_I2;
            V_I2(&out) = value;
            return true;
        }
        bool operator()(std::int32_t value) const {
            V_VT(&out) = VT_I4;
            V_I4(&out) = value;
            return true;
        }
        bool operator()(std::int64_t value) const {
            // Automation's integer is 32 bits wide: the low half goes.
            V_VT(&out) = VT_I4;
            V_I4(&out) = static_cast<LONG>(static_cast<std::uint32_t>(value));
            return true;
        }
        bool operator()(float value) const {
            V_VT(&out) = VT_R4;
            V_R4(&out) = value;
            return true;
        }
        bool operator()(double value) const {
            V_VT(&out) = VT_R8;
            V_R8(&out) = value;
            return true;
        }
        bool operator()(DateTime value) const {
            V_VT(&out) = VT_DATE;
            V_DATE(&out) = value.value;
            return true;
        }
        bool operator()(TextView text) const { return Bstr(text); }
        bool operator()(TextReference reference) const {
            return reference.text != nullptr && Bstr(View(*reference.text));
        }
        bool operator()(Argument::ObjectValue object) const {
            return ObjectToVariant(object.object, declaredBase, out);
        }
        bool operator()(ObjectReference reference) const {
            return ObjectToVariant(reference.object, declaredBase, out);
        }
        bool operator()(Argument::VariantValue value) const {
            if (value.value == nullptr) {
                return false;
            }
            if (FAILED(CopyVariantInd(out, *value.value))) {
                VariantInit(&out);
                return false;
            }
            return true;
        }

        bool Bstr(TextView text) const {
            bool ok = true;
            BSTR bstr = NewBstr(text, ok);
            if (!ok) {
                return false;
            }
            V_VT(&out) = VT_BSTR;
            V_BSTR(&out) = bstr;
            return true;
        }
    };
    return std::visit(Visitor{declaredBase, out}, argument.value());
}

AutomationResult EmptyResult(ResultType requested) {
    switch (requested) {
        case ResultType::None:
            return std::monostate{};
        case ResultType::Text:
            return Text();
        case ResultType::Double:
            return 0.0;
        case ResultType::Object:
            return ComObject();
        case ResultType::Boolean:
            return false;
        case ResultType::Integer:
            return std::int32_t{0};
        case ResultType::LongInteger:
            return std::int64_t{0};
        case ResultType::Byte:
            return std::uint8_t{0};
        case ResultType::ShortInteger:
            return std::int16_t{0};
        case ResultType::Float:
            return 0.0f;
        case ResultType::DateTime:
            return DateTime{};
        case ResultType::Variant:
            return Variant();
    }
    return std::monostate{};
}

bool VariantToResult(const VARIANT& value, ResultType requested, AutomationResult& out) {
    if (requested == ResultType::None) {
        out = std::monostate{};
        return true;
    }
    Variant copy;
    if (FAILED(CopyVariantInd(*copy.Get(), value)) || (copy.Type() & VT_TYPEMASK) == VT_RECORD) {
        return false;
    }
    if (requested == ResultType::Variant) {
        out = std::move(copy);
        return true;
    }
    VARTYPE target = VT_EMPTY;
    switch (requested) {
        case ResultType::Text:
            target = VT_BSTR;
            break;
        case ResultType::Double:
            target = VT_R8;
            break;
        case ResultType::Object:
            target = VT_UNKNOWN;
            break;
        case ResultType::Boolean:
            target = VT_BOOL;
            break;
        case ResultType::Integer:
        case ResultType::LongInteger:
            target = VT_I4;
            break;
        case ResultType::Byte:
            target = VT_UI1;
            break;
        case ResultType::ShortInteger:
            target = VT_I2;
            break;
        case ResultType::Float:
            target = VT_R4;
            break;
        case ResultType::DateTime:
            target = VT_DATE;
            break;
        case ResultType::None:
        case ResultType::Variant:
            break;
    }
    Variant coerced;
    if (FAILED(VariantChangeType(coerced.Get(), copy.Get(), 0, target))) {
        return false;
    }
    const VARIANT* v = coerced.Get();
    switch (requested) {
        case ResultType::Text:
            out = V_BSTR(v) == nullptr ? Text() : TextFromWide(V_BSTR(v), SysStringLen(V_BSTR(v)));
            break;
        case ResultType::Double:
            out = V_R8(v);
            break;
        case ResultType::Object:
            out = ComObject::Share(V_UNKNOWN(v));
            break;
        case ResultType::Boolean:
            out = V_BOOL(v) != 0;
            break;
        case ResultType::Integer:
            out = std::int32_t{V_I4(v)};
            break;
        case ResultType::LongInteger:
            out = std::int64_t{V_I4(v)};
            break;
        case ResultType::Byte:
            out = std::uint8_t{V_UI1(v)};
            break;
        case ResultType::ShortInteger:
            out = std::int16_t{V_I2(v)};
            break;
        case ResultType::Float:
            out = V_R4(v);
            break;
        case ResultType::DateTime:
            out = DateTime{V_DATE(v)};
            break;
        case ResultType::None:
        case ResultType::Variant:
            break;
    }
    return true;
}

}  // namespace rh
