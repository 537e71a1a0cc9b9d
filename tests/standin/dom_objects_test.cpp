// The document model's automation objects, driven the way the program drives a browser's
// document: by member name through real oleaut32 type information.

#include <gtest/gtest.h>
#include <mshtml.h>

#include <memory>
#include <string>
#include <vector>

#include "dispatch_client.h"
#include "standin/document.h"
#include "standin/dom_objects.h"

using namespace standin_test;
using standin::Document;

namespace {

class DomObjects : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        objects_ = standin::LiveObjectCount();
        references_ = standin::LiveReferenceCount();
    }
    void TearDown() override {
        // Whatever a test took, it gave back.
        EXPECT_EQ(standin::LiveObjectCount(), objects_);
        EXPECT_EQ(standin::LiveReferenceCount(), references_);
        CoUninitialize();
    }

    static std::shared_ptr<Document> ResultPage() {
        return Document::Parse(
            L"<html><head><title>Result</title></head><body>"
            L"<a href=\"/\">Home</a>"
            L"<A href=\"http://media.test/v/part1.flv\">part1.flv</A>"
            L"<a href=\"media/b.mp4\" id=\"second\" class=\"vid\" title=\"B\">b.mp4</a>"
            L"<iframe src=\"frame.html\"><a href=\"inside.mp4\">inside.mp4</a></iframe>"
            L"<form action=\"resolve.html\"><input type=hidden name=h value=1>"
            L"<input name=url><input type=submit value=Go></form></body></html>",
            L"http://resolver.test/dir/result.html");
    }

    long objects_ = 0;
    long references_ = 0;
};

TEST_F(DomObjects, TypeInformationBindsMembersByName) {
    auto doc = ResultPage();
    Ref<IDispatch> document(standin::GetDocumentObject(doc));
    ASSERT_TRUE(document);

    Ref<ITypeInfo> info;
    ASSERT_EQ(document->GetTypeInfo(0, GetUserDefaultLCID(), info.out()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_TRUE(attr->typekind == TKIND_INTERFACE || attr->typekind == TKIND_DISPATCH);
    info->ReleaseTypeAttr(attr);
    UINT count = 0;
    EXPECT_EQ(document->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);

    EXPECT_EQ(BindMember(document.get(), L"body", INVOKE_PROPERTYGET).returns, VT_DISPATCH);
    EXPECT_EQ(BindMember(document.get(), L"BODY", INVOKE_PROPERTYGET).hr,
              S_OK);  // names ignore case
    EXPECT_TRUE(FAILED(BindMember(document.get(), L"nosuchmember", INVOKE_PROPERTYGET).hr));

    Ref<IDispatch> body = GetObject(document.get(), L"body");
    ASSERT_TRUE(body);
    Bound click = BindMember(body.get(), L"click", INVOKE_FUNC);
    EXPECT_EQ(click.hr, S_OK);
    EXPECT_EQ(click.invokeKind, INVOKE_FUNC);
    EXPECT_EQ(click.params, 0);
    EXPECT_TRUE(FAILED(BindMember(body.get(), L"click", INVOKE_PROPERTYGET).hr));
    Bound getValue = BindMember(body.get(), L"value", INVOKE_PROPERTYGET);
    Bound putValue = BindMember(body.get(), L"value", INVOKE_PROPERTYPUT);
    EXPECT_EQ(getValue.hr, S_OK);
    EXPECT_EQ(putValue.hr, S_OK);
    EXPECT_EQ(getValue.id, putValue.id);
    EXPECT_EQ(putValue.params, 1);
    EXPECT_TRUE(FAILED(BindMember(body.get(), L"outerHTML", INVOKE_PROPERTYPUT).hr));
    for (const wchar_t* name : {L"type", L"name", L"id", L"title", L"href", L"innerText",
                                L"className", L"innerHTML", L"outerHTML", L"all"}) {
        EXPECT_EQ(BindMember(body.get(), name, INVOKE_PROPERTYGET).hr, S_OK) << name;
    }
    EXPECT_EQ(BindMember(body.get(), L"innerHTML", INVOKE_PROPERTYPUT).hr, S_OK);

    Ref<IDispatch> all = GetObject(body.get(), L"all");
    ASSERT_TRUE(all);
    EXPECT_EQ(BindMember(all.get(), L"length", INVOKE_PROPERTYGET).hr, S_OK);
    EXPECT_EQ(BindMember(all.get(), L"item", INVOKE_FUNC).params, 1);
    EXPECT_EQ(BindMember(all.get(), L"tags", INVOKE_FUNC).params, 1);

    // GetIDsOfNames agrees with the type information.
    LPOLESTR clickName = const_cast<LPOLESTR>(L"CLICK");
    DISPID clickId = DISPID_UNKNOWN;
    EXPECT_EQ(body->GetIDsOfNames(IID_NULL, &clickName, 1, 0, &clickId), S_OK);
    EXPECT_EQ(clickId, click.id);

    // The document answers IHTMLDocument with the same object.
    Ref<IUnknown> html;
    ASSERT_EQ(document->QueryInterface(IID_IHTMLDocument, reinterpret_cast<void**>(html.out())),
              S_OK);
    EXPECT_EQ(static_cast<void*>(html.get()), static_cast<void*>(document.get()));
    Ref<IUnknown> other;
    EXPECT_EQ(document->QueryInterface(IID_IHTMLDocument2, reinterpret_cast<void**>(other.out())),
              E_NOINTERFACE);
}

TEST_F(DomObjects, CollectionsCountAndIndexElementsInDocumentOrder) {
    auto doc = ResultPage();
    Ref<IDispatch> document(standin::GetDocumentObject(doc));
    Ref<IDispatch> links = TagsOf(document.get(), L"a");
    ASSERT_TRUE(links);
    // The link inside the inline frame is not part of this page.
    EXPECT_EQ(GetNumber(links.get(), L"length"), 3.0);
    Ref<IDispatch> upper = TagsOf(document.get(), L"A");
    EXPECT_EQ(GetNumber(upper.get(), L"length"), 3.0);

    std::vector<std::wstring> texts;
    for (int i = 0; i < 3; ++i) {
        Ref<IDispatch> link = ItemOf(links.get(), i);
        ASSERT_TRUE(link) << i;
        texts.push_back(GetText(link.get(), L"innerText"));
    }
    EXPECT_EQ(texts, (std::vector<std::wstring>{L"Home", L"part1.flv", L"b.mp4"}));

    // Positions as integers and as doubles; beyond either end there is nothing.
    Ref<IDispatch> byInt = CallObject(links.get(), L"item", Var::Int(1));
    Ref<IDispatch> byDouble = ItemOf(links.get(), 1.0);
    ASSERT_TRUE(byInt);
    EXPECT_EQ(byInt.get(), byDouble.get());  // one object per element
    EXPECT_FALSE(ItemOf(links.get(), 3.0));
    EXPECT_FALSE(ItemOf(links.get(), -1.0));
    Ref<IDispatch> byId = CallObject(links.get(), L"item", Var(L"second"));
    ASSERT_TRUE(byId);
    EXPECT_EQ(GetText(byId.get(), L"className"), L"vid");

    Ref<IDispatch> inputs = TagsOf(document.get(), L"input");
    EXPECT_EQ(GetNumber(inputs.get(), L"length"), 3.0);
    Ref<IDispatch> none = TagsOf(document.get(), L"button");
    ASSERT_TRUE(none);
    EXPECT_EQ(GetNumber(none.get(), L"length"), 0.0);

    // The document's own "all" starts at <html>.
    Ref<IDispatch> everything = GetObject(document.get(), L"all");
    Ref<IDispatch> first = ItemOf(everything.get(), 0);
    EXPECT_EQ(GetText(first.get(), L"tagName"), L"HTML");
}

TEST_F(DomObjects, ElementPropertiesReadAsTheBrowserReportsThem) {
    auto doc = ResultPage();
    Ref<IDispatch> document(standin::GetDocumentObject(doc));
    Ref<IDispatch> links = TagsOf(document.get(), L"a");
    Ref<IDispatch> flv = ItemOf(links.get(), 1);
    EXPECT_EQ(GetText(flv.get(), L"outerHTML"),
              L"<A href=\"http://media.test/v/part1.flv\">part1.flv</A>");
    EXPECT_EQ(GetText(flv.get(), L"innerHTML"), L"part1.flv");
    EXPECT_EQ(GetText(flv.get(), L"href"), L"http://media.test/v/part1.flv");
    EXPECT_EQ(GetText(flv.get(), L"type"), L"");
    EXPECT_EQ(GetText(flv.get(), L"id"), L"");
    Ref<IDispatch> mp4 = ItemOf(links.get(), 2);
    EXPECT_EQ(GetText(mp4.get(), L"href"), L"http://resolver.test/dir/media/b.mp4");
    EXPECT_EQ(GetText(mp4.get(), L"id"), L"second");
    EXPECT_EQ(GetText(mp4.get(), L"title"), L"B");

    Ref<IDispatch> inputs = TagsOf(document.get(), L"input");
    Ref<IDispatch> hidden = ItemOf(inputs.get(), 0);
    Ref<IDispatch> text = ItemOf(inputs.get(), 1);
    Ref<IDispatch> submit = ItemOf(inputs.get(), 2);
    EXPECT_EQ(GetText(hidden.get(), L"type"), L"hidden");
    EXPECT_EQ(GetText(text.get(), L"type"), L"text");
    EXPECT_EQ(GetText(text.get(), L"name"), L"url");
    EXPECT_EQ(GetText(submit.get(), L"type"), L"submit");
    EXPECT_EQ(GetText(submit.get(), L"value"), L"Go");
    EXPECT_EQ(GetText(document.get(), L"title"), L"Result");
    EXPECT_EQ(GetText(document.get(), L"URL"), L"http://resolver.test/dir/result.html");
}

TEST_F(DomObjects, WritesAndClicksReachThePage) {
    auto doc = ResultPage();
    std::vector<std::wstring> urls;
    doc->SetNavigationHandler([&](const standin::NavigationRequest& r) { urls.push_back(r.url); });
    Ref<IDispatch> document(standin::GetDocumentObject(doc));
    Ref<IDispatch> inputs = TagsOf(document.get(), L"input");
    Ref<IDispatch> text = ItemOf(inputs.get(), 1);
    // Texts arrive as UTF-16, Chinese included.
    EXPECT_EQ(PutText(text.get(), L"value", L"http://v.test/\x89C6\x9891"), S_OK);
    EXPECT_EQ(GetText(text.get(), L"value"), L"http://v.test/\x89C6\x9891");
    Ref<IDispatch> submit = ItemOf(inputs.get(), 2);
    EXPECT_EQ(CallMethod(submit.get(), L"click"), S_OK);
    EXPECT_EQ(urls, (std::vector<std::wstring>{
                        L"http://resolver.test/dir/resolve.html?h=1&url=http%3A%2F%2Fv.test%2F"
                        L"%E8%A7%86%E9%A2%91"}));

    // innerHTML re-parses, and collections taken before see the change.
    Ref<IDispatch> links = TagsOf(document.get(), L"a");
    Ref<IDispatch> home = ItemOf(links.get(), 0);
    EXPECT_EQ(PutText(home.get(), L"innerHTML",
                      L"Home<font color=red>\x94FE"
                      L"1</font>"),
              S_OK);
    EXPECT_EQ(GetText(home.get(), L"outerHTML"),
              L"<a href=\"/\">Home<font color=red>\x94FE"
              L"1</font></a>");
    EXPECT_EQ(GetText(home.get(), L"innerText"),
              L"Home\x94FE"
              L"1");
    Ref<IDispatch> body = GetObject(document.get(), L"body");
    Ref<IDispatch> all = GetObject(body.get(), L"all");
    double before = GetNumber(all.get(), L"length");
    EXPECT_EQ(PutText(body.get(), L"innerHTML", L"<a href=x.mp4>x.mp4</a><a href=y.flv>y</a>"),
              S_OK);
    EXPECT_EQ(GetNumber(links.get(), L"length"), 2.0);
    EXPECT_LT(GetNumber(all.get(), L"length"), before);
    // The old element lives on, detached, for whoever still holds it.
    EXPECT_EQ(GetText(home.get(), L"innerText"),
              L"Home\x94FE"
              L"1");
}

TEST_F(DomObjects, RefusedCallsGiveAutomationErrors) {
    auto doc = ResultPage();
    Ref<IDispatch> document(standin::GetDocumentObject(doc));
    Ref<IDispatch> inputs = TagsOf(document.get(), L"input");
    Ref<IDispatch> hidden = ItemOf(inputs.get(), 0);
    EXPECT_EQ(PutText(hidden.get(), L"innerHTML", L"<b>x</b>"), DISP_E_EXCEPTION);

    Bound outer = BindMember(hidden.get(), L"outerHTML", INVOKE_PROPERTYGET);
    Var value(L"x");
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params = {&value.v, &put, 1, 1};
    EXPECT_EQ(hidden->Invoke(outer.id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr,
                             nullptr),
              DISP_E_MEMBERNOTFOUND);
    Bound click = BindMember(hidden.get(), L"click", INVOKE_FUNC);
    DISPPARAMS oneArg = {&value.v, nullptr, 1, 0};
    EXPECT_EQ(
        hidden->Invoke(click.id, IID_NULL, 0, DISPATCH_METHOD, &oneArg, nullptr, nullptr, nullptr),
        DISP_E_BADPARAMCOUNT);
    Bound item = BindMember(inputs.get(), L"item", INVOKE_FUNC);
    DISPPARAMS noArgs = {nullptr, nullptr, 0, 0};
    Var result;
    EXPECT_EQ(
        inputs->Invoke(item.id, IID_NULL, 0, DISPATCH_METHOD, &noArgs, &result.v, nullptr, nullptr),
        DISP_E_PARAMNOTOPTIONAL);
    EXPECT_EQ(
        inputs->Invoke(12345, IID_NULL, 0, DISPATCH_METHOD, &noArgs, &result.v, nullptr, nullptr),
        DISP_E_MEMBERNOTFOUND);
}

TEST_F(DomObjects, EveryReferenceHandedOutIsCounted) {
    auto doc = ResultPage();
    IDispatch* document = standin::GetDocumentObject(doc);
    EXPECT_EQ(standin::LiveObjectCount(), objects_ + 1);
    EXPECT_EQ(standin::LiveReferenceCount(), references_ + 1);
    {
        Ref<IDispatch> links = TagsOf(document, L"a");
        Ref<IDispatch> a = ItemOf(links.get(), 0);
        Ref<IDispatch> b = ItemOf(links.get(), 0);
        // document, links collection, one element object with two references (body and its
        // "all" were released on the way).
        EXPECT_EQ(standin::LiveObjectCount(), objects_ + 3);
        EXPECT_EQ(standin::LiveReferenceCount(), references_ + 4);
    }
    EXPECT_EQ(standin::LiveObjectCount(), objects_ + 1);
    // An element keeps its page alive after the document object is gone.
    Ref<IDispatch> body = GetObject(document, L"body");
    EXPECT_EQ(document->Release(), 0u);
    doc.reset();
    EXPECT_EQ(GetText(body.get(), L"tagName"), L"BODY");
    Ref<IDispatch> again(standin::GetDocumentObject(standin::DocumentOfObject(body.get())));
    EXPECT_EQ(GetText(again.get(), L"title"), L"Result");
}

}  // namespace
