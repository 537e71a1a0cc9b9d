// The value holders and the conversions between the program's values and VARIANTs.
#include <cstring>
#include <utility>

#include "automation_fixture.h"
#include "runtime/automation_convert.h"

namespace rh::test {
namespace {

TEST_F(AutomationTest, ComObjectHoldsExactlyOneReference) {
    IUnknown* unknown = plain_;
    const ULONG base = RefCount(unknown);
    {
        ComObject a = ComObject::Share(unknown);
        EXPECT_EQ(RefCount(unknown), base + 1);
        ComObject b = a;
        EXPECT_EQ(RefCount(unknown), base + 2);
        ComObject c = std::move(b);
        EXPECT_TRUE(b.IsEmpty());
        EXPECT_EQ(RefCount(unknown), base + 2);
        ComObject& alias = c;
        c = alias;
        EXPECT_EQ(RefCount(unknown), base + 2);
        c = std::move(alias);
        EXPECT_EQ(RefCount(unknown), base + 2);
        a = ComObject();
        EXPECT_TRUE(IsEmptyObject(a));
        EXPECT_EQ(RefCount(unknown), base + 1);
        ClearObject(c);
        EXPECT_TRUE(IsEmptyObject(c));
        EXPECT_EQ(RefCount(unknown), base);
        ClearObject(c);  // already empty: nothing happens
        EXPECT_TRUE(IsEmptyObject(c));
        c = ComObject::Share(unknown);
    }
    EXPECT_EQ(RefCount(unknown), base);

    unknown->AddRef();
    ComObject adopted = ComObject::Adopt(unknown);
    EXPECT_EQ(RefCount(unknown), base + 1);
    IUnknown* detached = adopted.Detach();
    EXPECT_TRUE(adopted.IsEmpty());
    EXPECT_EQ(detached, unknown);
    EXPECT_EQ(RefCount(unknown), base + 1);
    detached->Release();

    EXPECT_TRUE(ComObject::Share(nullptr).IsEmpty());
    void* out = this;
    EXPECT_EQ(ComObject().QueryInterface(IID_IUnknown, &out), E_POINTER);
    EXPECT_EQ(out, nullptr);
}

TEST_F(AutomationTest, CopyObjectReplacesTheDestinationsObject) {
    const std::vector<ULONG> before = Counts();
    {
        ComObject destination = Item();
        const ComObject source = Record();
        CopyObject(destination, source);
        EXPECT_EQ(destination.Get(), source.Get());
        EXPECT_EQ(RefCount(static_cast<ITestItem*>(item_)), before[0]);
        EXPECT_EQ(RefCount(static_cast<IDispatch*>(record_)), before[2] + 2);

        CopyObject(destination, ComObject());
        EXPECT_TRUE(IsEmptyObject(destination));
        EXPECT_EQ(RefCount(static_cast<IDispatch*>(record_)), before[2] + 1);

        ComObject fresh;
        CopyObject(fresh, ComObject());
        EXPECT_TRUE(IsEmptyObject(fresh));
    }
    EXPECT_EQ(Counts(), before);
}

TEST_F(AutomationTest, VariantClearsItselfAndCopiesDeeply) {
    const std::vector<ULONG> before = Counts();
    {
        Variant empty;
        EXPECT_EQ(empty.Type(), VT_EMPTY);

        VARIANT text;
        V_VT(&text) = VT_BSTR;
        V_BSTR(&text) = SysAllocString(L"abc");
        Variant copy(text);
        ASSERT_EQ(copy.Type(), VT_BSTR);
        EXPECT_NE(V_BSTR(copy.Get()), V_BSTR(&text));
        EXPECT_STREQ(V_BSTR(copy.Get()), L"abc");
        VariantClear(&text);

        LONG number = 42;
        VARIANT reference;
        V_VT(&reference) = VT_BYREF | VT_I4;
        V_I4REF(&reference) = &number;
        const Variant dereferenced(reference);
        ASSERT_EQ(dereferenced.Type(), VT_I4);
        EXPECT_EQ(V_I4(dereferenced.Get()), 42);

        Variant object;
        V_VT(object.Get()) = VT_DISPATCH;
        V_DISPATCH(object.Get()) = record_;
        record_->AddRef();
        Variant second = object;
        EXPECT_EQ(RefCount(static_cast<IDispatch*>(record_)), before[2] + 2);
        Variant moved = std::move(second);
        EXPECT_EQ(second.Type(), VT_EMPTY);
        EXPECT_EQ(moved.Type(), VT_DISPATCH);
        object = moved;
        EXPECT_EQ(RefCount(static_cast<IDispatch*>(record_)), before[2] + 2);
        moved.Receive();
        EXPECT_EQ(moved.Type(), VT_EMPTY);
        EXPECT_EQ(RefCount(static_cast<IDispatch*>(record_)), before[2] + 1);
    }
    EXPECT_EQ(Counts(), before);
}

TEST_F(AutomationTest, ArgumentsBecomeTheVariantsOfTheTable) {
    auto convert = [](const Argument& argument, VARTYPE declared = VT_VARIANT) {
        Variant out;
        EXPECT_TRUE(ArgumentToVariant(argument, declared, *out.Get()));
        return out;
    };

    const Variant text = convert("跳转 to 视频");
    ASSERT_EQ(text.Type(), VT_BSTR);
    EXPECT_STREQ(V_BSTR(text.Get()), L"\u8df3\u8f6c to \u89c6\u9891");
    const Variant empty = convert(Text());
    EXPECT_EQ(empty.Type(), VT_BSTR);
    EXPECT_EQ(V_BSTR(empty.Get()), nullptr);
    Text variable = "变量";
    const Variant byReference = convert(ByRef(variable));
    EXPECT_STREQ(V_BSTR(byReference.Get()), L"\u53d8\u91cf");

    EXPECT_EQ(V_BOOL(convert(true).Get()), VARIANT_TRUE);
    EXPECT_EQ(V_BOOL(convert(false).Get()), VARIANT_FALSE);
    EXPECT_EQ(convert(std::uint8_t{200}).Type(), VT_UI1);
    EXPECT_EQ(V_I2(convert(std::int16_t{-7}).Get()), -7);
    EXPECT_EQ(V_I4(convert(std::int32_t{-70000}).Get()), -70000);
    const Variant wide = convert(std::int64_t{0x100000005});
    EXPECT_EQ(wide.Type(), VT_I4);
    EXPECT_EQ(V_I4(wide.Get()), 5);
    EXPECT_EQ(V_I4(convert(std::int64_t{-1}).Get()), -1);
    EXPECT_EQ(V_R4(convert(1.5f).Get()), 1.5f);
    EXPECT_EQ(V_R8(convert(2.25).Get()), 2.25);
    const Variant date = convert(DateTime{45000.5});
    EXPECT_EQ(date.Type(), VT_DATE);
    EXPECT_EQ(V_DATE(date.Get()), 45000.5);
    const Variant omitted = convert(kOmitted);
    EXPECT_EQ(omitted.Type(), VT_ERROR);
    EXPECT_EQ(V_ERROR(omitted.Get()), DISP_E_PARAMNOTFOUND);

    LONG number = 9;
    VARIANT reference;
    V_VT(&reference) = VT_BYREF | VT_I4;
    V_I4REF(&reference) = &number;
    const Variant copied = convert(Variant(reference));
    EXPECT_EQ(copied.Type(), VT_I4);
    EXPECT_EQ(V_I4(copied.Get()), 9);
}

TEST_F(AutomationTest, ObjectArgumentsFollowTheDeclaredType) {
    const std::vector<ULONG> before = Counts();
    {
        const ComObject record = Record();
        const ComObject plain = Plain();
        Variant out;

        ASSERT_TRUE(ArgumentToVariant(ComObject(), VT_DISPATCH, *out.Get()));
        EXPECT_EQ(out.Type(), VT_UNKNOWN);
        EXPECT_EQ(V_UNKNOWN(out.Get()), nullptr);

        ASSERT_TRUE(ArgumentToVariant(record, VT_UNKNOWN, *out.Receive()));
        EXPECT_EQ(out.Type(), VT_UNKNOWN);
        EXPECT_EQ(V_UNKNOWN(out.Get()), record.Get());
        EXPECT_EQ(RefCount(static_cast<IDispatch*>(record_)), before[2] + 2);

        ASSERT_TRUE(ArgumentToVariant(record, VT_DISPATCH, *out.Receive()));
        EXPECT_EQ(out.Type(), VT_DISPATCH);
        EXPECT_EQ(V_DISPATCH(out.Get()), static_cast<IDispatch*>(record_));
        EXPECT_EQ(RefCount(static_cast<IDispatch*>(record_)), before[2] + 2);

        // No IDispatch to give: an empty reference, not the wrong interface.
        ASSERT_TRUE(ArgumentToVariant(plain, VT_DISPATCH, *out.Receive()));
        EXPECT_EQ(out.Type(), VT_UNKNOWN);
        EXPECT_EQ(V_UNKNOWN(out.Get()), nullptr);
        EXPECT_EQ(RefCount(plain_), before[3] + 1);
        out.Clear();
    }
    EXPECT_EQ(Counts(), before);
}

TEST_F(AutomationTest, ArgumentsThatCannotBePassedAreRefused) {
    Variant out;
    EXPECT_FALSE(ArgumentToVariant(TextReference{nullptr}, VT_BSTR, *out.Get()));
    EXPECT_FALSE(ArgumentToVariant(ObjectReference{nullptr}, VT_DISPATCH, *out.Get()));
    Variant broken;
    V_VT(broken.Get()) = 0x7ff;  // no such type
    EXPECT_FALSE(ArgumentToVariant(broken, VT_VARIANT, *out.Get()));
    EXPECT_EQ(out.Type(), VT_EMPTY);
    V_VT(broken.Get()) = VT_EMPTY;
}

// Texts are GBK whatever the system's code page is; a character GBK cannot hold becomes "?" as on
// a system whose code page is 936.
TEST(TextConversion, TextsCrossAsGbkWhateverTheSystemCodePage) {
    const char kJump[] = "\xCC\xF8\xD7\xAA";  // 跳转 in GBK
    ASSERT_STREQ("跳转", kJump) << "narrow literals are compiled to GBK";
    EXPECT_EQ(std::wstring(WideFromText(kJump).c_str()), L"\u8df3\u8f6c");
    EXPECT_EQ(Str(TextFromWide(L"\u8df3\u8f6c")), kJump);
    EXPECT_EQ(Str(TextFromWide(L"\u7f51\u7ad9\u5730\u5740\uff1a")), "网站地址：");

    EXPECT_EQ(Str(TextFromWide(L"a\u0e01b")), "a?b");
    const wchar_t* const outside[] = {L"a\u0e01b", L"x\U0001F600y", L"\u00e9\u0915.mp4"};
    for (const wchar_t* wide : outside) {
        const Text text = TextFromWide(wide);
        EXPECT_NE(Str(text).find('?'), std::string::npos);
        if (GetACP() == 936) {
            EXPECT_EQ(Str(text), Narrow(wide));
            char system[64] = {};
            WideCharToMultiByte(CP_ACP, 0, wide, -1, system, sizeof system, nullptr, nullptr);
            EXPECT_EQ(Str(text), system) << "as the system converts it";
        }
    }

    // Cut at the first zero byte going out, at the first NUL coming back.
    EXPECT_EQ(std::wstring(WideFromText(TextView("\xCC\xF8\0\xD7\xAA", 5)).c_str()), L"\u8df3");
    EXPECT_EQ(Str(TextFromWide(L"\u8df3\0\u8f6c", 3)), "跳");
    EXPECT_TRUE(WideFromText(TextView()).empty());
    EXPECT_TRUE(TextFromWide(nullptr, 4).empty());
}

// A character GBK cannot hold is never made a look-alike that it has: that would quietly name
// another resource. In an address it goes in as a browser puts it there, its UTF-8 bytes
// percent-encoded; "?" would start the address's query.
TEST(TextConversion, NoLookAlikesAndAddressesKeepWhatGbkCannotHold) {
    // Characters the system's own conversion (best fit) makes look-alikes of.
    const std::pair<const wchar_t*, const char*> lookAlikes[] = {
        {L"\u00e2", "%C3%A2"},  // â, best fit "a"
        {L"\u00a6", "%C2%A6"},  // ¦, best fit "|"
        {L"\u00b2", "%C2%B2"},  // ², best fit "2"
        {L"\u00dd", "%C3%9D"},  // Ý, best fit "Y"
    };
    for (const auto& [wide, encoded] : lookAlikes) {
        EXPECT_NE(Narrow(wide), "?") << "no look-alike to avoid here: " << encoded;
        EXPECT_EQ(Str(TextFromWide(wide)), "?") << encoded;
        EXPECT_EQ(Str(AddressTextFromWide(wide, 1)), encoded);
    }
    EXPECT_EQ(Str(TextFromWide(L"http://media.test/\u00e2\u00b2.mp4")), "http://media.test/??.mp4");

    const std::pair<std::wstring, const char*> addresses[] = {
        {L"http://media.test/\u0e44\u0e17\u0e22/\ud55c\uad6d.mp4",
         "http://media.test/%E0%B9%84%E0%B8%97%E0%B8%A2/%ED%95%9C%EA%B5%AD.mp4"},
        {L"http://media.test/v\u00e2\u00b2.mp4?a=\u00a0",
         "http://media.test/v%C3%A2%C2%B2.mp4?a=%C2%A0"},
        // A character beyond the first plane, and a surrogate without its other half (U+FFFD).
        {L"http://a/\U0001F600" + std::wstring(1, wchar_t{0xD800}) + L".flv",
         "http://a/%F0%9F%98%80%EF%BF%BD.flv"},
        // What GBK holds stays GBK, the euro sign (0x80) and a real "?" included.
        {L"http://\u89c6\u9891.test/\u7b2c\u4e00\u96c6.mp4?\u20ac",
         "http://视频.test/第一集.mp4?\x80"},
        {L"http://a/\u0e01?x=\u89c6", "http://a/%E0%B8%81?x=视"},
    };
    for (const auto& [wide, expected] : addresses) {
        EXPECT_EQ(Str(AddressTextFromWide(wide.c_str(), wide.size())), expected);
    }
    // Cut at the first NUL, as TextFromWide.
    EXPECT_EQ(Str(AddressTextFromWide(L"\u0e01\0\u0e01", 3)), "%E0%B8%81");
    EXPECT_TRUE(AddressTextFromWide(nullptr, 4).empty());
}

TEST_F(AutomationTest, ResultsAreCoercedToTheRequestedType) {
    AutomationResult result;
    auto text = [&](const VARIANT& value) {
        EXPECT_TRUE(VariantToResult(value, ResultType::Text, result));
        return Str(std::get<Text>(result));
    };

    Variant value;
    V_VT(value.Get()) = VT_BSTR;
    V_BSTR(value.Get()) = SysAllocString(L"\u89c6\u9891.mp4");
    EXPECT_EQ(text(*value.Get()), "视频.mp4");
    value.Clear();
    V_VT(value.Get()) = VT_BSTR;
    V_BSTR(value.Get()) = SysAllocString(L"\u0e01.mp4");  // Thai: not in GBK
    EXPECT_EQ(text(*value.Get()), "?.mp4");

    // Up to the first NUL character.
    value.Clear();
    V_VT(value.Get()) = VT_BSTR;
    V_BSTR(value.Get()) = SysAllocStringLen(L"ab\0cd", 5);
    EXPECT_EQ(text(*value.Get()), "ab");

    value.Clear();
    V_VT(value.Get()) = VT_BSTR;
    V_BSTR(value.Get()) = SysAllocString(L"");
    EXPECT_EQ(text(*value.Get()), "");
    value.Clear();
    V_VT(value.Get()) = VT_BSTR;
    EXPECT_EQ(text(*value.Get()), "");

    V_VT(value.Get()) = VT_I4;
    V_I4(value.Get()) = -42;
    EXPECT_EQ(text(*value.Get()), "-42");
    ASSERT_TRUE(VariantToResult(*value.Get(), ResultType::LongInteger, result));
    EXPECT_EQ(std::get<std::int64_t>(result), -42);
    ASSERT_TRUE(VariantToResult(*value.Get(), ResultType::Double, result));
    EXPECT_EQ(std::get<double>(result), -42.0);
    ASSERT_TRUE(VariantToResult(*value.Get(), ResultType::Boolean, result));
    EXPECT_TRUE(std::get<bool>(result));

    // A by-reference result is read through.
    BSTR referenced = SysAllocString(L"3.5");
    VARIANT reference;
    V_VT(&reference) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&reference) = &referenced;
    ASSERT_TRUE(VariantToResult(reference, ResultType::Double, result));
    EXPECT_EQ(std::get<double>(result), 3.5);
    ASSERT_TRUE(VariantToResult(reference, ResultType::Variant, result));
    EXPECT_EQ(std::get<Variant>(result).Type(), VT_BSTR);
    SysFreeString(referenced);

    // Results that do not convert leave the result alone.
    result = 7.0;
    V_VT(value.Get()) = VT_NULL;
    EXPECT_FALSE(VariantToResult(*value.Get(), ResultType::Text, result));
    EXPECT_EQ(std::get<double>(result), 7.0);
    V_VT(value.Get()) = VT_BSTR;
    V_BSTR(value.Get()) = SysAllocString(L"abc");
    EXPECT_FALSE(VariantToResult(*value.Get(), ResultType::Double, result));
    EXPECT_FALSE(VariantToResult(*value.Get(), ResultType::Object, result));
}

TEST_F(AutomationTest, RecordResultsNeverConvert) {
    IRecordInfo* info = nullptr;
    ASSERT_TRUE(SUCCEEDED(GetRecordInfoFromTypeInfo(types_->point(), &info)));
    Variant value;
    V_VT(value.Get()) = VT_RECORD;
    V_RECORDINFO(value.Get()) = info;
    V_RECORD(value.Get()) = info->RecordCreate();
    AutomationResult result;
    for (ResultType type :
         {ResultType::Text, ResultType::Double, ResultType::Object, ResultType::Variant}) {
        EXPECT_FALSE(VariantToResult(*value.Get(), type, result));
    }
}

// The declared types of the test library's parameters, as the call building reads them.
std::vector<VARTYPE> ParameterTypes(ITypeInfo* info, const wchar_t* name, WORD kind) {
    ITypeComp* comp = nullptr;
    std::vector<VARTYPE> types;
    if (FAILED(info->GetTypeComp(&comp))) {
        return types;
    }
    std::wstring buffer(name);
    ITypeInfo* bound = nullptr;
    DESCKIND descKind = DESCKIND_NONE;
    BINDPTR pointer{};
    const HRESULT hr = comp->Bind(buffer.data(), LHashValOfNameSys(SYS_WIN32, 0, name), kind,
                                  &bound, &descKind, &pointer);
    comp->Release();
    if (FAILED(hr) || bound == nullptr) {
        return types;
    }
    if (descKind == DESCKIND_FUNCDESC) {
        for (SHORT i = 0; i < pointer.lpfuncdesc->cParams; ++i) {
            types.push_back(DeclaredType(bound, pointer.lpfuncdesc->lprgelemdescParam[i].tdesc));
        }
        bound->ReleaseFuncDesc(pointer.lpfuncdesc);
    } else if (descKind == DESCKIND_VARDESC) {
        types.push_back(DeclaredType(bound, pointer.lpvardesc->elemdescVar.tdesc));
        bound->ReleaseVarDesc(pointer.lpvardesc);
    }
    bound->Release();
    return types;
}

TEST_F(AutomationTest, DeclaredTypesComeFromTheTypeInformation) {
    ITypeInfo* item = types_->itemDispatch();
    using Types = std::vector<VARTYPE>;
    EXPECT_EQ(ParameterTypes(item, L"describe", INVOKE_FUNC), (Types{VT_BSTR, VT_BYREF | VT_BSTR}));
    EXPECT_EQ(ParameterTypes(item, L"wrap", INVOKE_FUNC), (Types{VT_BYREF | VT_BSTR}));
    EXPECT_EQ(ParameterTypes(item, L"pick", INVOKE_FUNC), (Types{VT_VARIANT, VT_VARIANT}));
    EXPECT_EQ(ParameterTypes(item, L"join", INVOKE_FUNC), (Types{VT_BSTR, VT_ARRAY | VT_VARIANT}));
    EXPECT_EQ(ParameterTypes(item, L"sibling", INVOKE_FUNC), (Types{VT_BYREF | VT_DISPATCH}));
    EXPECT_EQ(ParameterTypes(item, L"owner", INVOKE_PROPERTYPUTREF), (Types{VT_DISPATCH}));
    // An interface parameter is the interface reference itself, not a reference to one.
    const Types other = ParameterTypes(item, L"nameOf", INVOKE_FUNC);
    ASSERT_EQ(other.size(), 1u);
    EXPECT_TRUE(other[0] == VT_DISPATCH || other[0] == VT_UNKNOWN) << other[0];

    ITypeInfo* record = types_->record();
    EXPECT_EQ(ParameterTypes(record, L"size", INVOKE_PROPERTYGET), (Types{VT_R8}));
    EXPECT_EQ(ParameterTypes(record, L"link", INVOKE_PROPERTYGET), (Types{VT_DISPATCH}));
    EXPECT_EQ(ParameterTypes(record, L"point", INVOKE_PROPERTYGET), (Types{VT_UNKNOWN}));
    EXPECT_EQ(ParameterTypes(record, L"failWith", INVOKE_FUNC), (Types{VT_I4}));
}

}  // namespace
}  // namespace rh::test
