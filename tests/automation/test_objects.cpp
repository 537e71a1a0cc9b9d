#include "test_objects.h"

#include <utility>

namespace rh::test {

namespace {

// {5d6c1f0a-2b7e-4c31-9a55-7e1d3c0b9a41}: the TestPoint structure of the test type library.
constexpr GUID kTestPointGuid = {
    0x5d6c1f0a, 0x2b7e, 0x4c31, {0x9a, 0x55, 0x7e, 0x1d, 0x3c, 0x0b, 0x9a, 0x41}};

void Replace(IDispatch*& slot, IDispatch* value) {
    if (value != nullptr) {
        value->AddRef();
    }
    if (IDispatch* old = std::exchange(slot, value)) {
        old->Release();
    }
}

BSTR NewBstr(const std::wstring& text) {
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

std::wstring FromBstr(BSTR text) {
    return text == nullptr ? std::wstring() : std::wstring(text);
}

// How a method argument reads as text; a missing optional one is "<missing>".
std::wstring TextOf(const VARIANT& value) {
    if (V_VT(&value) == VT_ERROR && V_ERROR(&value) == DISP_E_PARAMNOTFOUND) {
        return L"<missing>";
    }
    VARIANT text;
    VariantInit(&text);
    if (FAILED(VariantChangeType(&text, const_cast<VARIANT*>(&value), 0, VT_BSTR))) {
        return L"<?>";
    }
    std::wstring result = FromBstr(V_BSTR(&text));
    VariantClear(&text);
    return result;
}

}  // namespace

ULONG RefCount(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

// ---------------------------------------------------------------------------------------------

TestTypes::TestTypes() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring file(path, length);
    file = file.substr(0, file.find_last_of(L"\\/") + 1) + L"automation_test.tlb";
    if (FAILED(LoadTypeLibEx(file.c_str(), REGKIND_NONE, &library_))) {
        library_ = nullptr;
        return;
    }
    library_->GetTypeInfoOfGuid(IID_ITestItem, &itemDispatch_);
    HREFTYPE vtableHalf = 0;
    if (itemDispatch_ != nullptr &&
        SUCCEEDED(itemDispatch_->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtableHalf))) {
        itemDispatch_->GetRefTypeInfo(vtableHalf, &itemInterface_);
    }
    library_->GetTypeInfoOfGuid(CLSID_TestItemClass, &itemClass_);
    library_->GetTypeInfoOfGuid(DIID_DTestRecord, &record_);
    library_->GetTypeInfoOfGuid(kTestPointGuid, &point_);
    if (itemDispatch_ == nullptr || itemInterface_ == nullptr || itemClass_ == nullptr ||
        record_ == nullptr || point_ == nullptr) {
        library_->Release();
        library_ = nullptr;
    }
}

TestTypes::~TestTypes() {
    for (ITypeInfo* info : {itemDispatch_, itemInterface_, itemClass_, record_, point_}) {
        if (info != nullptr) {
            info->Release();
        }
    }
    if (library_ != nullptr) {
        library_->Release();
    }
}

void CountedObject::Record(DISPID member, WORD flags, const DISPPARAMS* params) {
    if (!recording) {
        return;
    }
    ReceivedCall call;
    call.member = member;
    call.flags = flags;
    if (params != nullptr) {
        call.argumentCount = params->cArgs;
        for (UINT i = 0; i < params->cNamedArgs; ++i) {
            call.named.push_back(params->rgdispidNamedArgs[i]);
        }
        for (UINT i = 0; i < params->cArgs; ++i) {
            call.types.push_back(V_VT(&params->rgvarg[i]));
        }
    }
    calls.push_back(std::move(call));
}

// ---------------------------------------------------------------------------------------------
// TestItem

TestItem::~TestItem() {
    Unlink();
}

void TestItem::Unlink() {
    Replace(parent, nullptr);
    Replace(owner, nullptr);
    Replace(siblingObject, nullptr);
    for (IDispatch* child : children) {
        child->Release();
    }
    children.clear();
}

void TestItem::SetParent(IDispatch* p) {
    Replace(parent, p);
}
void TestItem::SetSibling(IDispatch* p) {
    Replace(siblingObject, p);
}
void TestItem::AddChild(IDispatch* child) {
    child->AddRef();
    children.push_back(child);
}

HRESULT TestItem::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, IID_ITestItem)) {
        *out = static_cast<ITestItem*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG TestItem::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
}
ULONG TestItem::Release() {
    return static_cast<ULONG>(InterlockedDecrement(&refs_));
}

HRESULT TestItem::GetTypeInfoCount(UINT* count) {
    *count = 1;
    return S_OK;
}

HRESULT TestItem::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    if (index != 0) {
        return DISP_E_BADINDEX;
    }
    *info = classTypeInfo ? types_.itemClass() : types_.itemDispatch();
    (*info)->AddRef();
    return S_OK;
}

HRESULT TestItem::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
    // Members are to be found through the type information only.
    return E_NOTIMPL;
}

HRESULT TestItem::Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* exception, UINT* argumentError) {
    Record(member, flags, params);
    return DispInvoke(static_cast<ITestItem*>(this), types_.itemInterface(), member, flags, params,
                      result, exception, argumentError);
}

HRESULT TestItem::get_value(BSTR* out) {
    *out = value.empty() ? nullptr : NewBstr(value);
    return S_OK;
}

HRESULT TestItem::put_value(BSTR in) {
    value = FromBstr(in);
    return S_OK;
}

HRESULT TestItem::get_innerText(BSTR* out) {
    *out = NewBstr(innerText);
    return S_OK;
}

HRESULT TestItem::get_length(LONG* out) {
    *out = length;
    return S_OK;
}

HRESULT TestItem::get_checked(VARIANT_BOOL* out) {
    *out = checked ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT TestItem::get_parent(ITestItem** out) {
    *out = nullptr;
    return parent == nullptr ? S_OK
                             : parent->QueryInterface(IID_ITestItem, reinterpret_cast<void**>(out));
}

HRESULT TestItem::get_owner(IDispatch** out) {
    *out = owner;
    if (owner != nullptr) {
        owner->AddRef();
    }
    return S_OK;
}

HRESULT TestItem::putref_owner(IDispatch* in) {
    Replace(owner, in);
    return S_OK;
}

HRESULT TestItem::click() {
    ++clicks;
    return S_OK;
}

HRESULT TestItem::describe(BSTR prefix, BSTR* description) {
    // An [out] parameter: whatever it held on the way in is not ours to read or free.
    *description = NewBstr(FromBstr(prefix) + L":" + value);
    return S_OK;
}

HRESULT TestItem::wrap(BSTR* text) {
    BSTR wrapped = NewBstr(L"[" + FromBstr(*text) + L"]");
    SysFreeString(*text);
    *text = wrapped;
    return S_OK;
}

HRESULT TestItem::pick(VARIANT first, VARIANT second, BSTR* result) {
    *result = NewBstr(TextOf(first) + L"|" + TextOf(second));
    return S_OK;
}

HRESULT TestItem::join(BSTR separator, SAFEARRAY* parts) {
    std::wstring joined;
    LONG lower = 0;
    LONG upper = -1;
    if (parts != nullptr) {
        SafeArrayGetLBound(parts, 1, &lower);
        SafeArrayGetUBound(parts, 1, &upper);
    }
    for (LONG i = lower; i <= upper; ++i) {
        VARIANT part;
        VariantInit(&part);
        SafeArrayGetElement(parts, &i, &part);
        if (i != lower) {
            joined += FromBstr(separator);
        }
        joined += TextOf(part);
        VariantClear(&part);
    }
    value = joined;
    return S_OK;
}

HRESULT TestItem::item(VARIANT index, ITestItem** result) {
    *result = nullptr;
    VARIANT number;
    VariantInit(&number);
    if (FAILED(VariantChangeType(&number, &index, 0, VT_I4))) {
        return E_INVALIDARG;
    }
    const LONG i = V_I4(&number);
    if (i < 0 || static_cast<std::size_t>(i) >= children.size()) {
        return E_INVALIDARG;
    }
    return children[static_cast<std::size_t>(i)]->QueryInterface(IID_ITestItem,
                                                                 reinterpret_cast<void**>(result));
}

HRESULT TestItem::nameOf(ITestItem* other, BSTR* name) {
    *name = nullptr;
    if (other == nullptr) {
        return E_POINTER;
    }
    return other->get_value(name);
}

HRESULT TestItem::sibling(IDispatch** result) {
    // An [out] parameter: overwritten without looking at what it held.
    *result = siblingObject;
    if (siblingObject != nullptr) {
        siblingObject->AddRef();
    }
    return S_OK;
}

HRESULT TestItem::raise() {
    return E_FAIL;
}

HRESULT TestItem::get_when(DATE* out) {
    *out = when;
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// TestRecord

TestRecord::~TestRecord() {
    Unlink();
}

void TestRecord::Unlink() {
    Replace(link, nullptr);
}

HRESULT TestRecord::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, DIID_DTestRecord)) {
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG TestRecord::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
}
ULONG TestRecord::Release() {
    return static_cast<ULONG>(InterlockedDecrement(&refs_));
}

HRESULT TestRecord::GetTypeInfoCount(UINT* count) {
    *count = noTypeInfo ? 0 : 1;
    return S_OK;
}

HRESULT TestRecord::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    *info = nullptr;
    if (noTypeInfo) {
        return E_NOTIMPL;
    }
    if (index != 0) {
        return DISP_E_BADINDEX;
    }
    *info = types_.record();
    (*info)->AddRef();
    return S_OK;
}

HRESULT TestRecord::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
    return E_NOTIMPL;
}

HRESULT TestRecord::Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params,
                           VARIANT* result, EXCEPINFO*, UINT*) {
    Record(member, flags, params);
    if (params == nullptr) {
        return E_INVALIDARG;
    }
    const bool get = (flags & DISPATCH_PROPERTYGET) != 0;
    const bool put = flags == DISPATCH_PROPERTYPUT;
    const bool putRef = flags == DISPATCH_PROPERTYPUTREF;
    // A put takes exactly its new value, named as such.
    const bool wellFormedPut = params->cArgs == 1 && params->cNamedArgs == 1 &&
                               params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT;
    if ((put || putRef) && !wellFormedPut) {
        return DISP_E_PARAMNOTFOUND;
    }
    if (get && params->cArgs != 0 && member <= 4) {
        return DISP_E_BADPARAMCOUNT;
    }
    VARIANT scratch;
    VariantInit(&scratch);
    switch (member) {
        case 1:  // name
            if (get && result != nullptr) {
                V_VT(result) = VT_BSTR;
                V_BSTR(result) = NewBstr(name);
                return S_OK;
            }
            if (put) {
                if (FAILED(VariantChangeType(&scratch, &params->rgvarg[0], 0, VT_BSTR))) {
                    return DISP_E_TYPEMISMATCH;
                }
                name = FromBstr(V_BSTR(&scratch));
                VariantClear(&scratch);
                return S_OK;
            }
            return DISP_E_MEMBERNOTFOUND;
        case 2:  // size
            if (get && result != nullptr) {
                V_VT(result) = VT_R8;
                V_R8(result) = size;
                return S_OK;
            }
            if (put) {
                if (FAILED(VariantChangeType(&scratch, &params->rgvarg[0], 0, VT_R8))) {
                    return DISP_E_TYPEMISMATCH;
                }
                size = V_R8(&scratch);
                return S_OK;
            }
            return DISP_E_MEMBERNOTFOUND;
        case 3:  // link: an object, so it is set by reference only
            if (get && result != nullptr) {
                V_VT(result) = VT_DISPATCH;
                V_DISPATCH(result) = link;
                if (link != nullptr) {
                    link->AddRef();
                }
                return S_OK;
            }
            if (putRef) {
                if (FAILED(VariantChangeType(&scratch, &params->rgvarg[0], 0, VT_DISPATCH))) {
                    return DISP_E_TYPEMISMATCH;
                }
                Replace(link, V_DISPATCH(&scratch));
                VariantClear(&scratch);
                return S_OK;
            }
            return DISP_E_MEMBERNOTFOUND;
        case 4: {  // point: a structure
            if (!get || result == nullptr) {
                return DISP_E_MEMBERNOTFOUND;
            }
            IRecordInfo* info = nullptr;
            if (FAILED(GetRecordInfoFromTypeInfo(types_.point(), &info))) {
                return E_FAIL;
            }
            void* data = info->RecordCreate();
            if (data == nullptr) {
                info->Release();
                return E_OUTOFMEMORY;
            }
            auto* point = static_cast<LONG*>(data);
            point[0] = 3;
            point[1] = 4;
            V_VT(result) = VT_RECORD;
            V_RECORDINFO(result) = info;
            V_RECORD(result) = data;
            return S_OK;
        }
        case 5:  // failWith(code): fails with the code it is given
            if (params->cArgs != 1 ||
                FAILED(VariantChangeType(&scratch, &params->rgvarg[0], 0, VT_I4))) {
                return DISP_E_BADPARAMCOUNT;
            }
            return static_cast<HRESULT>(V_I4(&scratch));
        case 6:  // echo(value): the type it received
            if (params->cArgs != 1) {
                return DISP_E_BADPARAMCOUNT;
            }
            if (result != nullptr) {
                V_VT(result) = VT_BSTR;
                V_BSTR(result) = NewBstr(L"vt=" + std::to_wstring(V_VT(&params->rgvarg[0])));
            }
            return S_OK;
        default:
            return DISP_E_MEMBERNOTFOUND;
    }
}

// ---------------------------------------------------------------------------------------------
// PlainUnknown

HRESULT PlainUnknown::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    if (IsEqualIID(iid, IID_IUnknown)) {
        *out = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG PlainUnknown::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
}
ULONG PlainUnknown::Release() {
    return static_cast<ULONG>(InterlockedDecrement(&refs_));
}

// ---------------------------------------------------------------------------------------------
// StdDispatchObject

BSTR PlainMethods::title() {
    return NewBstr(titleText);
}

HRESULT PlainMethods::setTitle(BSTR title) {
    titleText = FromBstr(title);
    return S_OK;
}

LONG PlainMethods::count() {
    return countValue;
}

HRESULT PlainMethods::ping() {
    ++pings;
    return S_OK;
}

StdDispatchObject::StdDispatchObject() {
    static PARAMDATA titleParameter[] = {{const_cast<OLECHAR*>(L"title"), VT_BSTR}};
    // Vtable slots of PlainMethods, in declaration order.
    static METHODDATA methods[] = {
        {const_cast<OLECHAR*>(L"title"), nullptr, 1, 0, CC_STDCALL, 0, DISPATCH_PROPERTYGET,
         VT_BSTR},
        {const_cast<OLECHAR*>(L"title"), titleParameter, 1, 1, CC_STDCALL, 1, DISPATCH_PROPERTYPUT,
         VT_HRESULT},
        {const_cast<OLECHAR*>(L"count"), nullptr, 2, 2, CC_STDCALL, 0, DISPATCH_PROPERTYGET, VT_I4},
        {const_cast<OLECHAR*>(L"ping"), nullptr, 3, 3, CC_STDCALL, 0, DISPATCH_METHOD, VT_HRESULT},
    };
    static INTERFACEDATA description = {methods, sizeof(methods) / sizeof(methods[0])};
    if (FAILED(CreateDispTypeInfo(&description, LOCALE_SYSTEM_DEFAULT, &classInfo_))) {
        classInfo_ = nullptr;
        return;
    }
    HREFTYPE reference = 0;
    if (FAILED(classInfo_->GetRefTypeOfImplType(0, &reference)) ||
        FAILED(classInfo_->GetRefTypeInfo(reference, &interfaceInfo_))) {
        interfaceInfo_ = nullptr;
        return;
    }
    PlainMethods* methodsObject = this;
    if (FAILED(CreateStdDispatch(nullptr, methodsObject, interfaceInfo_, &overInterface_))) {
        overInterface_ = nullptr;
    }
    if (FAILED(CreateStdDispatch(nullptr, methodsObject, classInfo_, &overClass_))) {
        overClass_ = nullptr;
    }
}

StdDispatchObject::~StdDispatchObject() {
    for (IUnknown* object : {overInterface_, overClass_}) {
        if (object != nullptr) {
            object->Release();
        }
    }
    for (ITypeInfo* info : {interfaceInfo_, classInfo_}) {
        if (info != nullptr) {
            info->Release();
        }
    }
}

}  // namespace rh::test
