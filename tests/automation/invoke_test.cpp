// Member calls by name on objects with real type information, through the real oleaut32.
#include <functional>

#include "automation_fixture.h"

namespace rh::test {
namespace {

constexpr WORD kGet = DISPATCH_PROPERTYGET;
constexpr WORD kPut = DISPATCH_PROPERTYPUT;
constexpr WORD kPutRef = DISPATCH_PROPERTYPUTREF;
constexpr WORD kMethod = DISPATCH_METHOD;

TEST_F(AutomationTest, ReadsPropertiesOfEachType) {
    item_->value = L"v";
    item_->length = 3;
    item_->checked = true;
    item_->when = 45000.25;
    item_->SetParent(static_cast<ITestItem*>(other_));
    const std::vector<ULONG> before = Counts();
    {
        const ComObject item = Item();
        EXPECT_EQ(Str(ReadTextProperty(item, "value")), "v");
        EXPECT_EQ(LastAutomationError(), 0);

        // A collection's "length" is read as a double.
        const double length = ReadNumberProperty(item, "length");
        EXPECT_EQ(LastAutomationError(), 0);
        EXPECT_EQ(length, 3.0);
        EXPECT_EQ(Str(ReadTextProperty(item, "length")), "3");

        AutomationResult result;
        EXPECT_EQ(
            InvokeByName(item, "checked", InvokeMode::PropertyGet, {}, ResultType::Boolean, result),
            0);
        EXPECT_TRUE(std::get<bool>(result));
        EXPECT_EQ(
            InvokeByName(item, "when", InvokeMode::PropertyGet, {}, ResultType::DateTime, result),
            0);
        EXPECT_EQ(std::get<DateTime>(result).value, 45000.25);
        EXPECT_EQ(
            InvokeByName(item, "length", InvokeMode::PropertyGet, {}, ResultType::Variant, result),
            0);
        EXPECT_EQ(std::get<Variant>(result).Type(), VT_I4);

        const ComObject parent = ReadObjectProperty(item, "parent");
        EXPECT_EQ(LastAutomationError(), 0);
        ASSERT_FALSE(IsEmptyObject(parent));
        other_->value = L"the parent";
        EXPECT_EQ(Str(ReadTextProperty(parent, "value")), "the parent");

        // Member names are looked up as the type information spells them, whatever the case.
        EXPECT_EQ(Str(ReadTextProperty(item, "VALUE")), "v");
        EXPECT_EQ(item_->calls.back().flags, kGet);
    }
    item_->SetParent(nullptr);
    other_->calls.clear();
    EXPECT_EQ(RefCount(static_cast<ITestItem*>(other_)), before[1] - 1);
}

TEST_F(AutomationTest, EmptyStringsAndAbsentObjectsAreEmptyValues) {
    const ComObject item = Item();
    item_->value.clear();
    const Text empty = ReadTextProperty(item, "value");  // a null BSTR
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(LastAutomationError(), 0);
    item_->innerText.clear();
    EXPECT_TRUE(ReadTextProperty(item, "innerText").empty());  // an empty BSTR
    EXPECT_EQ(LastAutomationError(), 0);
    const ComObject parent = ReadObjectProperty(item, "parent");
    EXPECT_TRUE(IsEmptyObject(parent));
    EXPECT_EQ(LastAutomationError(), 0);
}

TEST_F(AutomationTest, ChineseTextRoundTrips) {
    ASSERT_EQ(GetACP(), 936u);
    const ComObject item = Item();
    const Text address = "http://视频.example/播放?标题=跳转";
    ASSERT_TRUE(WriteProperty(item, "value", address));
    EXPECT_EQ(item_->value, L"http://\u89c6\u9891.example/\u64ad\u653e?\u6807\u9898=\u8df3\u8f6c");
    EXPECT_EQ(Str(ReadTextProperty(item, "value")), Str(address));

    item_->innerText = L"\u83b7\u53d6\u4e0b\u8f7d\u94fe\u63a5 part1.flv";
    const Text text = ReadTextProperty(item, "innerText");
    EXPECT_EQ(Str(text), "获取下载链接 part1.flv");
    EXPECT_EQ(Str(text), Narrow(item_->innerText));
    // GBK: two bytes for each of the six characters.
    EXPECT_EQ(text.size(), 12u + 10u);
}

TEST_F(AutomationTest, WritingValueByReferenceNamesThePutAndLeavesTheTextAlone) {
    const ComObject item = Item();
    Text text = "地址 1";
    const std::vector<ULONG> before = Counts();
    EXPECT_TRUE(WriteProperty(item, "value", ByRef(text)));
    EXPECT_EQ(LastAutomationError(), 0);
    EXPECT_EQ(Counts(), before);
    EXPECT_EQ(item_->value, L"\u5730\u5740 1");
    EXPECT_EQ(Str(text), "地址 1");

    ASSERT_EQ(item_->calls.size(), 1u);
    const ReceivedCall& call = item_->calls[0];
    EXPECT_EQ(call.flags, kPut);
    EXPECT_EQ(call.argumentCount, 1u);
    EXPECT_EQ(call.named, std::vector<DISPID>{DISPID_PROPERTYPUT});
    // The property's parameter is no reference, so the text goes by value.
    EXPECT_EQ(call.types, std::vector<VARTYPE>{VT_BSTR});
}

TEST_F(AutomationTest, ClickIsCalledWithNoArguments) {
    const ComObject item = Item();
    CallMethod(item, "click");
    EXPECT_EQ(LastAutomationError(), 0);
    CallMethod(item, "click", kOmitted);  // a trailing omitted argument is dropped
    EXPECT_EQ(LastAutomationError(), 0);
    EXPECT_EQ(item_->clicks, 2);
    ASSERT_EQ(item_->calls.size(), 2u);
    for (const ReceivedCall& call : item_->calls) {
        EXPECT_EQ(call.flags, kMethod);
        EXPECT_EQ(call.argumentCount, 0u);
        EXPECT_TRUE(call.named.empty());
    }
}

TEST_F(AutomationTest, TooManyArgumentsAreRefusedWithoutACall) {
    const ComObject item = Item();
    const ComObject record = Record();
    const std::vector<ULONG> before = Counts();
    CallMethod(item, "click", 1.0);
    EXPECT_EQ(LastAutomationError(), kAutomationTooManyArguments);
    EXPECT_TRUE(ReadTextProperty(item, "value", "index").empty());
    EXPECT_EQ(LastAutomationError(), kAutomationTooManyArguments);
    // Omitted ones count when a given argument follows them.
    CallMethod(item, "click", kOmitted, "x");
    EXPECT_EQ(LastAutomationError(), kAutomationTooManyArguments);
    EXPECT_EQ(ReadNumberProperty(record, "size", 0.0), 0.0);
    EXPECT_EQ(LastAutomationError(), kAutomationTooManyArguments);
    EXPECT_EQ(item_->clicks, 0);
    EXPECT_TRUE(item_->calls.empty());
    EXPECT_TRUE(record_->calls.empty());
    EXPECT_EQ(Counts(), before);
}

TEST_F(AutomationTest, OutParametersAreWrittenBackIntoTheCallersText) {
    const ComObject item = Item();
    item_->value = L"\u503c";
    Text out = "will be replaced";
    CallMethod(item, "describe", "前缀", ByRef(out));
    EXPECT_EQ(LastAutomationError(), 0);
    EXPECT_EQ(Str(out), "前缀:值");
    ASSERT_EQ(item_->calls.size(), 1u);
    EXPECT_EQ(item_->calls[0].types, (std::vector<VARTYPE>{VT_BYREF | VT_BSTR, VT_BSTR}));

    // The same text by value: the member still gets somewhere to write, the text stays.
    Text kept = "kept";
    CallMethod(item, "describe", "p", kept);
    EXPECT_EQ(LastAutomationError(), 0);
    EXPECT_EQ(Str(kept), "kept");

    // In and out: the member reads the caller's text and replaces it.
    Text wrapped = "中";
    CallMethod(item, "wrap", ByRef(wrapped));
    EXPECT_EQ(LastAutomationError(), 0);
    EXPECT_EQ(Str(wrapped), "[中]");
    Text empty;
    CallMethod(item, "wrap", ByRef(empty));
    EXPECT_EQ(Str(empty), "[]");
}

TEST_F(AutomationTest, ObjectOutParametersHandOverOneReference) {
    const ComObject item = Item();
    item_->SetSibling(record_);
    const std::vector<ULONG> before = Counts();
    {
        ComObject out = Other();  // replaced by the call
        CallMethod(item, "sibling", ByRef(out));
        EXPECT_EQ(LastAutomationError(), 0);
        EXPECT_EQ(out.Get(), static_cast<IUnknown*>(static_cast<IDispatch*>(record_)));
        EXPECT_EQ(RefCount(static_cast<ITestItem*>(other_)), before[1]);
        EXPECT_EQ(RefCount(static_cast<IDispatch*>(record_)), before[2] + 1);

        ComObject empty;
        CallMethod(item, "sibling", ByRef(empty));
        EXPECT_EQ(LastAutomationError(), 0);
        EXPECT_FALSE(IsEmptyObject(empty));
    }
    EXPECT_EQ(Counts(), before);
}

TEST_F(AutomationTest, OptionalArgumentsMayBeLeftOut) {
    const ComObject item = Item();
    EXPECT_EQ(Str(ReadTextProperty(item, "pick", "a", "b")), "a|b");
    EXPECT_EQ(Str(ReadTextProperty(item, "pick", "a")), "a|<missing>");
    EXPECT_EQ(Str(ReadTextProperty(item, "pick", "a", kOmitted)), "a|<missing>");
    EXPECT_EQ(Str(ReadTextProperty(item, "pick")), "<missing>|<missing>");
    EXPECT_EQ(LastAutomationError(), 0);

    // One left out before a given one goes as the missing-argument marker.
    EXPECT_EQ(Str(ReadTextProperty(item, "pick", kOmitted, 2.5)), "<missing>|2.5");
    const ReceivedCall& call = item_->calls.back();
    EXPECT_EQ(call.flags, kMethod);
    EXPECT_EQ(call.types, (std::vector<VARTYPE>{VT_R8, VT_ERROR}));
    EXPECT_EQ(item_->calls[1].argumentCount, 1u);
    EXPECT_EQ(item_->calls[2].argumentCount, 1u);
    EXPECT_EQ(item_->calls[3].argumentCount, 0u);
}

TEST_F(AutomationTest, VariableArgumentListsTakeAnyNumber) {
    const ComObject item = Item();
    // (A boolean reads as -1 in text: no alphabetic conversion is asked for.)
    CallMethod(item, "join", "-", "a", 2.5, true, "链接");
    EXPECT_EQ(LastAutomationError(), 0);
    EXPECT_EQ(Str(ReadTextProperty(item, "value")), "a-2.5--1-链接");
    const ReceivedCall& call = item_->calls[0];
    EXPECT_EQ(call.argumentCount, 5u);
    EXPECT_EQ(call.types, (std::vector<VARTYPE>{VT_BSTR, VT_BOOL, VT_R8, VT_BSTR, VT_BSTR}));
    CallMethod(item, "join", ",", "only");
    EXPECT_EQ(LastAutomationError(), 0);
    EXPECT_EQ(Str(ReadTextProperty(item, "value")), "only");
}

TEST_F(AutomationTest, ObjectsGoToInterfaceParametersAsThemselves) {
    const std::vector<ULONG> before = Counts();
    {
        const ComObject item = Item();
        other_->value = L"\u53e6\u4e00\u4e2a";
        EXPECT_EQ(Str(ReadTextProperty(item, "nameOf", Other())), "另一个");
        EXPECT_EQ(LastAutomationError(), 0);

        // A VARIANT parameter gets the object's IDispatch.
        const ComObject record = Record();
        EXPECT_EQ(Str(ReadTextProperty(record, "echo", Item())), "vt=9");
        EXPECT_EQ(Str(ReadTextProperty(record, "echo", "text")), "vt=8");
        EXPECT_EQ(Str(ReadTextProperty(record, "echo", Plain())), "vt=13");
    }
    EXPECT_EQ(Counts(), before);
}

TEST_F(AutomationTest, ObjectMethodsAndIndexedReads) {
    item_->AddChild(static_cast<ITestItem*>(other_));
    other_->value = L"child 0";
    const std::vector<ULONG> before = Counts();
    {
        const ComObject item = Item();
        const ComObject child = CallObjectMethod(item, "item", 0.0);
        EXPECT_EQ(LastAutomationError(), 0);
        EXPECT_EQ(Str(ReadTextProperty(child, "value")), "child 0");
        // "item" is a function, found after the property lookup fails.
        const ComObject again = ReadObjectProperty(item, "item", std::int32_t{0});
        EXPECT_EQ(again.Get(), child.Get());
        EXPECT_EQ(item_->calls.back().flags, kMethod);

        const ComObject missing = CallObjectMethod(item, "item", 5.0);
        EXPECT_EQ(LastAutomationError(), kAutomationException);
        EXPECT_TRUE(IsEmptyObject(missing));
    }
    EXPECT_EQ(Counts(), before);
}

TEST_F(AutomationTest, PutByReferencePropertyTakesTheObject) {
    const std::vector<ULONG> before = Counts();
    {
        const ComObject item = Item();
        EXPECT_TRUE(WriteProperty(item, "owner", Record()));
        ASSERT_EQ(item_->calls.size(), 1u);
        EXPECT_EQ(item_->calls[0].flags, kPutRef);
        EXPECT_EQ(item_->calls[0].named, std::vector<DISPID>{DISPID_PROPERTYPUT});
        EXPECT_EQ(item_->owner, static_cast<IDispatch*>(record_));
        const ComObject owner = ReadObjectProperty(item, "owner");
        EXPECT_EQ(owner.Get(), static_cast<IUnknown*>(static_cast<IDispatch*>(record_)));
        EXPECT_TRUE(WriteProperty(item, "owner", ComObject()));
        EXPECT_EQ(item_->owner, nullptr);
    }
    EXPECT_EQ(Counts(), before);
}

TEST_F(AutomationTest, VariablePropertiesAreReadAndWritten) {
    const std::vector<ULONG> before = Counts();
    {
        const ComObject record = Record();
        EXPECT_TRUE(WriteProperty(record, "name", "名字"));
        EXPECT_EQ(record_->calls.back().flags, kPut);
        EXPECT_EQ(Str(ReadTextProperty(record, "name")), "名字");
        EXPECT_EQ(record_->calls.back().flags, kGet);
        EXPECT_TRUE(WriteProperty(record, "size", 12.5));
        EXPECT_EQ(ReadNumberProperty(record, "size"), 12.5);
        // An object variable is set by reference.
        EXPECT_TRUE(WriteProperty(record, "link", Item()));
        EXPECT_EQ(record_->calls.back().flags, kPutRef);
        EXPECT_EQ(record_->calls.back().named, std::vector<DISPID>{DISPID_PROPERTYPUT});
        const ComObject link = ReadObjectProperty(record, "link");
        item_->value = L"linked";
        EXPECT_EQ(Str(ReadTextProperty(link, "value")), "linked");
        EXPECT_TRUE(WriteProperty(record, "link", ComObject()));
    }
    EXPECT_EQ(Counts(), before);
}

TEST_F(AutomationTest, ClassTypeInformationIsBoundThroughItsDefaultInterface) {
    // The class lists another interface first; its default one carries the members.
    item_->classTypeInfo = true;
    const ComObject item = Item();
    item_->value = L"through the class";
    EXPECT_EQ(Str(ReadTextProperty(item, "value")), "through the class");
    EXPECT_EQ(LastAutomationError(), 0);
    EXPECT_TRUE(WriteProperty(item, "value", "写"));
    EXPECT_EQ(item_->value, L"\u5199");
    CallMethod(item, "click");
    EXPECT_EQ(LastAutomationError(), 0);
    EXPECT_EQ(item_->clicks, 1);
    EXPECT_TRUE(ReadTextProperty(item, "unknownMember").empty());
    EXPECT_EQ(LastAutomationError(), kAutomationNameNotFound);
}

TEST_F(AutomationTest, CreateDispTypeInfoObjectsAreCalledByName) {
    StdDispatchObject plain;
    ASSERT_NE(plain.overInterface(), nullptr);
    ASSERT_NE(plain.overClass(), nullptr);
    TYPEATTR* attr = nullptr;
    ASSERT_TRUE(SUCCEEDED(plain.classInfo()->GetTypeAttr(&attr)));
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    plain.classInfo()->ReleaseTypeAttr(attr);

    const ULONG base = RefCount(plain.overInterface());
    {
        const ComObject object = ComObject::Share(plain.overInterface());
        EXPECT_TRUE(WriteProperty(object, "title", "标题"));
        EXPECT_EQ(LastAutomationError(), 0);
        EXPECT_EQ(plain.titleText, L"\u6807\u9898");
        EXPECT_EQ(Str(ReadTextProperty(object, "title")), "标题");
        plain.countValue = 4;
        EXPECT_EQ(ReadNumberProperty(object, "count"), 4.0);
        CallMethod(object, "ping");
        EXPECT_EQ(LastAutomationError(), 0);
        EXPECT_EQ(plain.pings, 1);
        CallMethod(object, "pong");
        EXPECT_EQ(LastAutomationError(), kAutomationNameNotFound);
        CallMethod(object, "ping", "extra");
        EXPECT_EQ(LastAutomationError(), kAutomationTooManyArguments);
        EXPECT_EQ(plain.pings, 1);
    }
    EXPECT_EQ(RefCount(plain.overInterface()), base);

    // Over the class, GetTypeInfo gives the class: its interface's members are still found (what
    // the dispatch object then makes of the call is its own affair).
    const ULONG classBase = RefCount(plain.overClass());
    {
        const ComObject object = ComObject::Share(plain.overClass());
        (void)ReadTextProperty(object, "title");
        EXPECT_NE(LastAutomationError(), kAutomationNameNotFound);
        EXPECT_NE(LastAutomationError(), kAutomationNoTypeInfo);
        CallMethod(object, "ping", "extra");
        EXPECT_EQ(LastAutomationError(), kAutomationTooManyArguments);
        CallMethod(object, "pong");
        EXPECT_EQ(LastAutomationError(), kAutomationNameNotFound);
    }
    EXPECT_EQ(RefCount(plain.overClass()), classBase);
}

TEST_F(AutomationTest, EachFailureHasItsCode) {
    const ComObject empty;
    EXPECT_TRUE(ReadTextProperty(empty, "value").empty());
    EXPECT_EQ(LastAutomationError(), kAutomationEmptyObject);

    EXPECT_TRUE(ReadTextProperty(Plain(), "value").empty());
    EXPECT_EQ(LastAutomationError(), kAutomationNoDispatch);

    record_->noTypeInfo = true;
    EXPECT_TRUE(ReadTextProperty(Record(), "name").empty());
    EXPECT_EQ(LastAutomationError(), kAutomationNoTypeInfo);
    record_->noTypeInfo = false;

    const ComObject item = Item();
    EXPECT_TRUE(ReadTextProperty(item, "valeu").empty());
    EXPECT_EQ(LastAutomationError(), kAutomationNameNotFound);
    EXPECT_FALSE(WriteProperty(item, "valeu", "x"));
    EXPECT_EQ(LastAutomationError(), kAutomationNameNotFound);
    // "innerText" can be read but not written.
    EXPECT_FALSE(WriteProperty(item, "innerText", "x"));
    EXPECT_EQ(LastAutomationError(), kAutomationNameNotFound);
    EXPECT_TRUE(ReadTextProperty(item, "").empty());
    EXPECT_EQ(LastAutomationError(), kAutomationNameNotFound);

    CallMethod(item, "click", 1.0);
    EXPECT_EQ(LastAutomationError(), kAutomationTooManyArguments);

    Variant broken;
    V_VT(broken.Get()) = 0x7ff;
    EXPECT_FALSE(WriteProperty(item, "value", broken));
    EXPECT_EQ(LastAutomationError(), kAutomationBadArgument);
    V_VT(broken.Get()) = VT_EMPTY;
    EXPECT_FALSE(WriteProperty(item, "value", TextReference{nullptr}));
    EXPECT_EQ(LastAutomationError(), kAutomationBadArgument);

    item_->value = L"not a number";
    EXPECT_EQ(ReadNumberProperty(item, "value"), 0.0);
    EXPECT_EQ(LastAutomationError(), kAutomationBadResult);
    EXPECT_TRUE(IsEmptyObject(ReadObjectProperty(item, "value")));
    EXPECT_EQ(LastAutomationError(), kAutomationBadResult);
    EXPECT_TRUE(ReadTextProperty(Record(), "point").empty());
    EXPECT_EQ(LastAutomationError(), kAutomationBadResult);

    // A member that fails is reported by Invoke as an exception.
    CallMethod(item, "raise");
    EXPECT_EQ(LastAutomationError(), kAutomationException);
    // A put with no value to put.
    EXPECT_FALSE(WriteProperty(Record(), "name"));
    EXPECT_EQ(LastAutomationError(), kAutomationParamNotFound);
    EXPECT_EQ(record_->calls.back().named.size(), 0u);
    // The next successful call resets the code.
    EXPECT_TRUE(WriteProperty(item, "value", "1"));
    EXPECT_EQ(LastAutomationError(), 0);
}

TEST_F(AutomationTest, InvokeFailuresMapToTheirCodes) {
    const ComObject record = Record();
    const std::pair<HRESULT, int> table[] = {
        {DISP_E_BADPARAMCOUNT, -9},     {DISP_E_BADVARTYPE, -10},
        {DISP_E_EXCEPTION, -11},        {DISP_E_MEMBERNOTFOUND, -12},
        {DISP_E_NONAMEDARGS, -13},      {DISP_E_OVERFLOW, -14},
        {DISP_E_PARAMNOTFOUND, -15},    {DISP_E_TYPEMISMATCH, -16},
        {DISP_E_PARAMNOTOPTIONAL, -17}, {E_FAIL, -18},
        {DISP_E_UNKNOWNNAME, -18},      {E_OUTOFMEMORY, -18},
    };
    for (const auto& [hr, code] : table) {
        CallMethod(record, "failWith", static_cast<std::int32_t>(hr));
        EXPECT_EQ(LastAutomationError(), code) << std::hex << hr;
    }
    CallMethod(record, "failWith", std::int32_t{S_FALSE});
    EXPECT_EQ(LastAutomationError(), 0);
}

TEST_F(AutomationTest, FailedCallsGiveTheEmptyValueOfTheirType) {
    const ComObject item = Item();
    item_->value = L"x";
    item_->SetParent(static_cast<ITestItem*>(other_));
    for (ResultType type :
         {ResultType::Text, ResultType::Double, ResultType::Object, ResultType::Boolean,
          ResultType::Integer, ResultType::LongInteger, ResultType::Byte, ResultType::ShortInteger,
          ResultType::Float, ResultType::DateTime, ResultType::Variant}) {
        AutomationResult result;
        // A successful call first, then a failing one into the same result.
        const char* good = type == ResultType::Object ? "parent" : "length";
        ASSERT_EQ(InvokeByName(item, good, InvokeMode::PropertyGet, {}, type, result), 0);
        EXPECT_EQ(InvokeByName(item, "raise", InvokeMode::MethodCall, {}, type, result),
                  kAutomationException);
        EXPECT_EQ(result.index(), static_cast<std::size_t>(type));
        std::visit(
            [](const auto& value) {
                using T = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<T, Text>) {
                    EXPECT_TRUE(value.empty());
                } else if constexpr (std::is_same_v<T, ComObject>) {
                    EXPECT_TRUE(value.IsEmpty());
                } else if constexpr (std::is_same_v<T, Variant>) {
                    EXPECT_EQ(value.Type(), VT_EMPTY);
                } else if constexpr (std::is_same_v<T, DateTime>) {
                    EXPECT_EQ(value.value, 0.0);
                } else if constexpr (!std::is_same_v<T, std::monostate>) {
                    EXPECT_EQ(value, T{});
                }
            },
            result);
    }
    // The six operations on an empty object.
    const ComObject empty;
    EXPECT_TRUE(ReadTextProperty(empty, "value").empty());
    EXPECT_EQ(ReadNumberProperty(empty, "length"), 0.0);
    EXPECT_TRUE(IsEmptyObject(ReadObjectProperty(empty, "parent")));
    CallMethod(empty, "click");
    EXPECT_EQ(LastAutomationError(), kAutomationEmptyObject);
    EXPECT_TRUE(IsEmptyObject(CallObjectMethod(empty, "item", 0.0)));
    EXPECT_FALSE(WriteProperty(empty, "value", "x"));
    EXPECT_EQ(LastAutomationError(), kAutomationEmptyObject);
    // Chains of reads run on with empty values.
    const ComObject deep = ReadObjectProperty(ReadObjectProperty(empty, "parent"), "parent");
    EXPECT_TRUE(IsEmptyObject(deep));
    EXPECT_TRUE(ReadTextProperty(deep, "value").empty());
}

TEST_F(AutomationTest, ReferenceCountsReturnAfterEveryOperation) {
    item_->AddChild(static_cast<ITestItem*>(other_));
    item_->SetSibling(record_);
    record_->name = L"n";
    const ComObject item = Item();
    const ComObject record = Record();
    Text text = "t";
    const std::vector<std::pair<const char*, std::function<void()>>> operations = {
        {"text", [&] { (void)ReadTextProperty(item, "value"); }},
        {"number", [&] { (void)ReadNumberProperty(item, "length"); }},
        {"object", [&] { (void)ReadObjectProperty(item, "item", 0.0); }},
        {"object method", [&] { (void)CallObjectMethod(item, "item", std::int32_t{0}); }},
        {"write", [&] { (void)WriteProperty(item, "value", ByRef(text)); }},
        {"put ref",
         [&] {
             (void)WriteProperty(record, "link", item);
             (void)WriteProperty(record, "link", ComObject());
         }},
        {"click", [&] { CallMethod(item, "click"); }},
        {"out text", [&] { CallMethod(item, "describe", "p", ByRef(text)); }},
        {"interface argument", [&] { (void)ReadTextProperty(item, "nameOf", item); }},
        {"vararg", [&] { CallMethod(item, "join", ",", item, record, "x"); }},
        {"variant", [&] { (void)ReadTextProperty(record, "echo", record); }},
        {"no dispatch", [&] { (void)ReadTextProperty(Plain(), "value"); }},
        {"not found", [&] { (void)ReadObjectProperty(item, "nothing"); }},
        {"too many", [&] { CallMethod(item, "click", item); }},
        {"bad argument",
         [&] { (void)ReadTextProperty(item, "pick", item, TextReference{nullptr}); }},
        {"bad result", [&] { (void)ReadObjectProperty(record, "name"); }},
        {"record result", [&] { (void)ReadTextProperty(record, "point"); }},
        {"exception", [&] { (void)CallObjectMethod(item, "item", 9.0); }},
        {"failing member", [&] { CallMethod(record, "failWith", std::int32_t{E_FAIL}); }},
        {"no type info",
         [&] {
             record_->noTypeInfo = true;
             (void)ReadTextProperty(record, "name");
             record_->noTypeInfo = false;
         }},
    };
    for (const auto& [name, operation] : operations) {
        const std::vector<ULONG> before = Counts();
        operation();
        EXPECT_EQ(Counts(), before) << name << " (code " << LastAutomationError() << ")";
    }
    {
        // An object out parameter replaces the caller's object: the counts move by one each.
        ComObject out = item;
        const std::vector<ULONG> before = Counts();
        CallMethod(item, "sibling", ByRef(out));
        std::vector<ULONG> expected = before;
        expected[0] -= 1;
        expected[2] += 1;
        EXPECT_EQ(Counts(), expected);
    }
}

DWORD WINAPI CallOnOtherThread(void* parameter) {
    auto* code = static_cast<int*>(parameter);
    CoInitialize(nullptr);
    code[0] = LastAutomationError();
    (void)ReadTextProperty(ComObject(), "value");
    code[1] = LastAutomationError();
    CoUninitialize();
    return 0;
}

TEST_F(AutomationTest, LastAutomationErrorBelongsToTheCallingThread) {
    (void)ReadTextProperty(Item(), "missing member");
    ASSERT_EQ(LastAutomationError(), kAutomationNameNotFound);
    int codes[2] = {1, 1};
    HANDLE thread = CreateThread(nullptr, 0, CallOnOtherThread, codes, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(codes[0], 0);
    EXPECT_EQ(codes[1], kAutomationEmptyObject);
    EXPECT_EQ(LastAutomationError(), kAutomationNameNotFound);
}

}  // namespace
}  // namespace rh::test
