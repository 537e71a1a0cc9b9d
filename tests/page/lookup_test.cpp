// Finding form controls and links by identifier or position, and the operations on them, against
// documents built with the stand-in's model and driven through its automation objects.
#include <gtest/gtest.h>

#include <vector>

#include "page/page_automation.h"
#include "runtime/automation.h"
#include "standin/dom_objects.h"
#include "tests/page/page_test_support.h"

namespace {

using pagetest::IsElement;
using pagetest::ReferenceCounts;
using rh::ComObject;
using rh::PageAutomation;
using standin::AttributeInit;
using standin::Document;
using standin::Node;

class Lookup : public testing::Test {
  protected:
    // The page object holds the document, as after an attach.
    void SetUp() override { Use(document); }
    void Use(std::shared_ptr<Document> shown) {
        document = std::move(shown);
        pagetest::HoldDocument(page, document);
        held_ = ReferenceCounts::Now();
    }
    // Every operation gives back what it took: with the tests' own references gone, the model
    // is where it was once the document was held.
    void TearDown() override { EXPECT_EQ(ReferenceCounts::Now(), held_); }

    Node* Add(const wchar_t* tag, std::initializer_list<AttributeInit> attributes = {},
              const wchar_t* text = nullptr) {
        return AddTo(document->Body(), tag, attributes, text);
    }
    static Node* AddTo(Node* parent, const wchar_t* tag,
                       std::initializer_list<AttributeInit> attributes = {},
                       const wchar_t* text = nullptr) {
        Node* element = parent->AppendElement(tag, attributes);
        if (text != nullptr) {
            element->AppendText(text);
        }
        return element;
    }
    Node* Input(const wchar_t* type, std::initializer_list<AttributeInit> more = {}) {
        Node* input = Add(L"input", {{L"type", type}});
        for (const AttributeInit& attribute : more) {
            input->SetAttribute(attribute.name, attribute.value);
        }
        return input;
    }
    Node* Link(const wchar_t* text, std::initializer_list<AttributeInit> attributes = {}) {
        return Add(L"a", attributes, text);
    }
    bool Is(const ComObject& element, Node* node) { return IsElement(element, document, node); }

    std::shared_ptr<Document> document = Document::Create(L"http://page.test/dir/index.html");
    PageAutomation page;

  private:
    ReferenceCounts held_;
};

// ---------------------------------------------------------------------------------------------
// Form controls

TEST_F(Lookup, PositionOneIsTheFirstAcceptedInputWhateverItsName) {
    Input(L"hidden", {{L"name", L"token"}});
    Node* text = Input(L"text", {{L"name", L"address"}});

    EXPECT_TRUE(Is(page.FindTextInput("1"), text));
}

TEST_F(Lookup, PositionsCountOnlyInputsOfAnAcceptedType) {
    Input(L"hidden");
    Node* text = Input(L"text");
    Input(L"checkbox");
    Node* password = Input(L"password");
    Input(L"submit");
    Node* file = Input(L"file");
    Node* another = Input(L"text");
    Add(L"textarea", {{L"name", L"1"}});

    EXPECT_TRUE(Is(page.FindTextInput("1"), text));
    EXPECT_TRUE(Is(page.FindTextInput("2"), password));
    EXPECT_TRUE(Is(page.FindTextInput("3"), file));
    EXPECT_TRUE(Is(page.FindTextInput("4"), another));
    EXPECT_TRUE(rh::IsEmptyObject(page.FindTextInput("5")));
    EXPECT_TRUE(Is(page.FindTextInput("2.9"), password));  // the number is cut, not rounded
    EXPECT_TRUE(rh::IsEmptyObject(page.FindTextInput("0")));
    EXPECT_TRUE(rh::IsEmptyObject(page.FindTextInput("-1")));
}

TEST_F(Lookup, TextAreasAreNoInputs) {
    Add(L"textarea", {{L"name", L"q"}}, L"old");

    EXPECT_TRUE(rh::IsEmptyObject(page.FindTextInput("1")));
    EXPECT_TRUE(rh::IsEmptyObject(page.FindTextInput("q")));
    EXPECT_FALSE(page.SetElementValue("1", "new"));
}

TEST_F(Lookup, NameIdAndTitleMatchExactlyAndCaseSensitively) {
    Node* upper = Input(L"text", {{L"name", L"Q"}});
    Node* byName = Input(L"text", {{L"name", L"q"}});
    Node* byId = Input(L"password", {{L"id", L"secret"}});
    Node* byTitle = Input(L"file", {{L"title", L"upload"}});
    Node* chinese = Input(L"text", {{L"name", L"关键词"}});

    EXPECT_TRUE(Is(page.FindTextInput("q"), byName));
    EXPECT_TRUE(Is(page.FindTextInput("Q"), upper));
    EXPECT_TRUE(Is(page.FindTextInput("secret"), byId));
    EXPECT_TRUE(Is(page.FindTextInput("upload"), byTitle));
    EXPECT_TRUE(Is(page.FindTextInput("关键词"), chinese));
    EXPECT_TRUE(rh::IsEmptyObject(page.FindTextInput("q ")));
    EXPECT_TRUE(rh::IsEmptyObject(page.FindTextInput("secre")));
}

TEST_F(Lookup, ANamedMatchEarlierThanThePositionWins) {
    Node* first = Input(L"text");
    Node* namedThree = Input(L"text", {{L"name", L"3"}});
    Node* third = Input(L"text");
    Node* idTwo = Input(L"text", {{L"id", L"2"}});

    // Input 2 is reached by position before input 4 could match by its id.
    EXPECT_TRUE(Is(page.FindTextInput("2"), namedThree));
    // Input 2 is named 3, which comes before position 3.
    EXPECT_TRUE(Is(page.FindTextInput("3"), namedThree));
    EXPECT_TRUE(Is(page.FindTextInput("1"), first));
    EXPECT_TRUE(Is(page.FindTextInput("4"), idTwo));
    EXPECT_FALSE(Is(page.FindTextInput("3"), third));
}

TEST_F(Lookup, SkipCountsPassOverNamedMatchesOnly) {
    Node* first = Input(L"text", {{L"name", L"q"}});
    Node* second = Input(L"text", {{L"id", L"q"}});
    Node* third = Input(L"text", {{L"title", L"q"}});

    EXPECT_TRUE(Is(page.FindTextInput("q", 0), first));
    EXPECT_TRUE(Is(page.FindTextInput("q", 1), second));
    EXPECT_TRUE(Is(page.FindTextInput("q", 2), third));
    EXPECT_TRUE(rh::IsEmptyObject(page.FindTextInput("q", 3)));
    EXPECT_TRUE(rh::IsEmptyObject(page.FindTextInput("q", 100)));
    // Skipping does not shift positions.
    EXPECT_TRUE(Is(page.FindTextInput("2", 5), second));
}

TEST_F(Lookup, ASkippedMatchIsNotTakenByItsPositionEither) {
    Input(L"text", {{L"name", L"a"}});
    Node* namedTwo = Input(L"text", {{L"name", L"2"}});

    EXPECT_TRUE(Is(page.FindTextInput("2"), namedTwo));
    EXPECT_TRUE(rh::IsEmptyObject(page.FindTextInput("2", 1)));
}

TEST_F(Lookup, SkipLetsPositionTakeOver) {
    Node* named = Input(L"text", {{L"name", L"2"}});
    Node* second = Input(L"text");

    EXPECT_TRUE(Is(page.FindTextInput("2"), named));
    EXPECT_TRUE(Is(page.FindTextInput("2", 1), second));
}

TEST_F(Lookup, AnEmptyIdentifierMatchesTheFirstEmptyProperty) {
    Input(L"text", {{L"name", L"a"}, {L"id", L"b"}, {L"title", L"c"}});
    Node* noTitle = Input(L"text", {{L"name", L"d"}, {L"id", L"e"}});

    EXPECT_TRUE(Is(page.FindTextInput(""), noTitle));
    EXPECT_TRUE(rh::IsEmptyObject(page.FindTextInput("", 1)));
}

TEST_F(Lookup, ButtonsComeAfterInputsWhateverTheirPlaceInThePage) {
    Node* element = Add(L"button", {{L"id", L"b"}}, L"Go");
    Input(L"image");
    Node* reset = Input(L"reset");
    Input(L"text", {{L"name", L"b"}});
    Node* plain = Input(L"button");

    EXPECT_TRUE(Is(page.FindButton("1"), reset));
    EXPECT_TRUE(Is(page.FindButton("2"), plain));
    EXPECT_TRUE(Is(page.FindButton("3"), element));
    EXPECT_TRUE(Is(page.FindButton("b"), element));  // the text input named b is no button
    EXPECT_TRUE(rh::IsEmptyObject(page.FindButton("4")));
}

TEST_F(Lookup, AButtonElementIsTakenWhenThereIsNoButtonInput) {
    Input(L"text");
    Node* element = Add(L"button", {{L"type", L"submit"}}, L"Resolve");

    EXPECT_TRUE(Is(page.FindButton("1"), element));
    EXPECT_TRUE(page.ClickElement("1"));
}

TEST_F(Lookup, AnImageInputIsNoButton) {
    Input(L"image", {{L"name", L"go"}});

    EXPECT_TRUE(rh::IsEmptyObject(page.FindButton("1")));
    EXPECT_TRUE(rh::IsEmptyObject(page.FindButton("go")));
    EXPECT_FALSE(page.ClickElement("1"));
}

TEST_F(Lookup, TheTypeListIsSearchedAsOneText) {
    Node* hidden = Input(L"hidden");
    Node* text = Input(L"text");
    Node* element = Add(L"button", {}, L"B");
    Add(L"button", {{L"type", L"reset"}}, L"R");
    const auto find = [&](const char* typeList, const char* identifier) {
        int count = 0;
        return page.FindFormControl(typeList, identifier, 0, count);
    };
    const auto first = [&](const char* typeList) { return find(typeList, "1"); };

    // "text" occurs inside "textarea", so a text input is accepted.
    EXPECT_TRUE(Is(first("textarea"), text));
    EXPECT_TRUE(Is(first("hidden|textarea"), hidden));
    // A list without the word "button" never looks at button elements...
    EXPECT_TRUE(rh::IsEmptyObject(first("submit")));
    // ...and any list that contains it does.
    EXPECT_TRUE(Is(first("submit|mybutton"), element));
    // Button elements are filtered by type like inputs.
    EXPECT_TRUE(rh::IsEmptyObject(find("submit|mybutton", "2")));
    EXPECT_TRUE(rh::IsEmptyObject(first("")));
}

TEST_F(Lookup, TheRunningCountCarriesOnAndIsMinusOneOnFailure) {
    Input(L"text");
    Node* second = Input(L"text");
    Input(L"hidden");
    Node* third = Input(L"text");
    Node* buttonElement = Add(L"button");

    int count = 0;
    EXPECT_TRUE(Is(page.FindFormControl("text|password|file", "2", 0, count), second));
    EXPECT_EQ(count, 2);

    // Counting on from where an earlier search stopped.
    count = 5;
    EXPECT_TRUE(Is(page.FindFormControl("text|password|file", "7", 0, count), second));
    EXPECT_EQ(count, 7);

    count = 0;
    EXPECT_TRUE(rh::IsEmptyObject(page.FindFormControl("text|password|file", "4", 0, count)));
    EXPECT_EQ(count, -1);

    // Positions go on over the button elements after the inputs.
    count = 0;
    EXPECT_TRUE(Is(page.FindFormControl("text|button|submit", "4", 0, count), buttonElement));
    EXPECT_EQ(count, 4);
    count = 0;
    EXPECT_TRUE(Is(page.FindFormControl("text|button|submit", "3", 0, count), third));
    EXPECT_EQ(count, 3);

    // Whatever count a caller starts from, an index of 0 or less selects nothing by position.
    count = -2;
    EXPECT_TRUE(rh::IsEmptyObject(page.FindFormControl("text", "q", 0, count)));
    EXPECT_EQ(count, -1);
}

TEST_F(Lookup, OnlyTheCurrentPageIsSearched) {
    // Nothing is kept between calls: a change of the page shows in the next lookup.
    EXPECT_TRUE(rh::IsEmptyObject(page.FindTextInput("1")));
    Node* added = Input(L"text");
    EXPECT_TRUE(Is(page.FindTextInput("1"), added));
}

// ---------------------------------------------------------------------------------------------
// Links

TEST_F(Lookup, ALinkWhoseTextIsTheIdentifierComesBeforeThePosition) {
    Node* three = Link(L"3");
    Link(L"b");
    Link(L"c");

    EXPECT_TRUE(Is(page.FindLink("3"), three));
    int count = 0;
    EXPECT_TRUE(Is(page.LocateLink("3", 0, count), three));
    EXPECT_EQ(count, 1);
}

TEST_F(Lookup, APositionBeyondTheLinksFindsNothing) {
    Link(L"a");
    Link(L"b");

    EXPECT_TRUE(rh::IsEmptyObject(page.FindLink("3")));
    int count = 0;
    EXPECT_TRUE(rh::IsEmptyObject(page.LocateLink("3", 0, count)));
    EXPECT_EQ(count, -1);
    EXPECT_TRUE(page.GetLinkInnerText("3").empty());
    EXPECT_TRUE(page.GetLinkOuterHtml("3").empty());
}

TEST_F(Lookup, ZeroSelectsOnlyByProperty) {
    Link(L"a");
    Link(L"b");
    EXPECT_TRUE(rh::IsEmptyObject(page.FindLink("0")));

    Node* zero = Link(L"z", {{L"class", L"0"}});
    EXPECT_TRUE(Is(page.FindLink("0"), zero));
}

TEST_F(Lookup, EveryLinkPropertyTakesPart) {
    Node* byId = Link(L"one", {{L"href", L"a.html"}, {L"id", L"first"}});
    Node* byTitle = Link(L"two", {{L"href", L"b.html"}, {L"title", L"Second one"}});
    Node* byClass = Link(L"three", {{L"href", L"c.html"}, {L"class", L"video"}});
    Node* byText = Link(L"下载 four.mp4", {{L"href", L"d.html"}});
    Node* byHref = Link(L"five", {{L"href", L"/media/e.flv"}});

    EXPECT_TRUE(Is(page.FindLink("first"), byId));
    EXPECT_TRUE(Is(page.FindLink("Second one"), byTitle));
    EXPECT_TRUE(Is(page.FindLink("video"), byClass));
    EXPECT_TRUE(Is(page.FindLink("下载 four.mp4"), byText));
    // "href" is compared as the page reports it.
    const rh::Text href = rh::ReadTextProperty(page.FindLink("5"), "href");
    ASSERT_FALSE(href.empty());
    EXPECT_TRUE(Is(page.FindLink(href), byHref));
    EXPECT_TRUE(rh::IsEmptyObject(page.FindLink("Video")));
}

TEST_F(Lookup, SkipCountsForLinks) {
    Link(L"x");
    Node* first = Link(L"v1", {{L"class", L"v"}});
    Node* second = Link(L"v2", {{L"class", L"v"}});
    Node* third = Link(L"v3", {{L"class", L"v"}});

    EXPECT_TRUE(Is(page.FindLink("v"), first));
    EXPECT_TRUE(Is(page.FindLink("v", 1), second));
    EXPECT_EQ(page.GetLinkInnerText("v", 2), "v3");
    EXPECT_EQ(pagetest::Wide(page.GetLinkOuterHtml("v", 2)), third->OuterHtml());
    EXPECT_TRUE(page.GetLinkInnerText("v", 3).empty());
}

TEST_F(Lookup, AnEmptyIdentifierFindsTheFirstLinkWithAnEmptyProperty) {
    Link(L"full", {{L"href", L"a"}, {L"id", L"i"}, {L"title", L"t"}, {L"class", L"c"}});
    Node* noTitle = Link(L"partial", {{L"href", L"b"}, {L"id", L"j"}, {L"class", L"d"}});

    EXPECT_TRUE(Is(page.FindLink(""), noTitle));
}

TEST_F(Lookup, LinksOfTheDocumentsFramesAreNotItsLinks) {
    // An inline frame's page is a document of its own; the frame's fallback markup is no link.
    Use(Document::Parse(
        L"<html><body><p>Results</p>"
        L"<iframe src=\"frame.html\"><a href=\"fallback.mp4\">fallback.mp4</a></iframe>"
        L"</body></html>",
        L"http://page.test/"));
    EXPECT_EQ(page.CountLinks(), 0);
    EXPECT_TRUE(rh::IsEmptyObject(page.FindLink("1")));
    EXPECT_TRUE(rh::IsEmptyObject(page.FindLink("fallback.mp4")));

    Node* outside = Link(L"outside.mp4");
    EXPECT_EQ(page.CountLinks(), 1);
    EXPECT_TRUE(Is(page.FindLink("1"), outside));
}

TEST_F(Lookup, TheLinkCollectionTakesEveryLinkByItsPlace) {
    // A pager's numbers before the videos: looked up by identifier, "3" and "4" would be the
    // pager's links; by place, each link comes once.
    const std::vector<Node*> links = {Link(L"2"), Link(L"3"), Link(L"4"), Link(L"a.mp4"),
                                      Link(L"b.flv")};
    {
        const rh::LinkCollection collection(page);
        ASSERT_EQ(collection.Size(), 5);
        for (int i = 1; i <= 5; ++i) {
            EXPECT_TRUE(Is(collection.Item(i), links[static_cast<size_t>(i - 1)])) << i;
        }
        EXPECT_TRUE(rh::IsEmptyObject(collection.Item(0)));
        EXPECT_TRUE(rh::IsEmptyObject(collection.Item(6)));
    }
    // Without a document there is nothing to visit.
    const PageAutomation unattached;
    const rh::LinkCollection none(unattached);
    EXPECT_EQ(none.Size(), 0);
    EXPECT_TRUE(rh::IsEmptyObject(none.Item(1)));
}

// ---------------------------------------------------------------------------------------------
// Operations

TEST_F(Lookup, LinkTextsByIdentifierOrPosition) {
    Link(L"x");
    Link(L"3");
    Link(L"y");

    EXPECT_EQ(page.GetLinkInnerText("1"), "x");
    EXPECT_EQ(page.GetLinkInnerText("2"), "3");
    // The second link's text is 3, so the third link is never reached by position.
    EXPECT_EQ(page.GetLinkInnerText("3"), "3");
    EXPECT_TRUE(page.GetLinkInnerText("4").empty());
}

TEST_F(Lookup, APositionBeyondTheLinksCanStillMatchAProperty) {
    Link(L"a");
    Node* four = Link(L"b", {{L"title", L"4"}});
    Link(L"c");

    EXPECT_EQ(page.GetLinkInnerText("4"), "b");
    EXPECT_EQ(pagetest::Wide(page.GetLinkOuterHtml("4")), four->OuterHtml());
}

TEST_F(Lookup, OuterHtmlAndInnerTextDescribeTheSameLink) {
    Link(L"intro");
    Node* video =
        Link(L"第一集.flv", {{L"href", L"http://cdn.test/1.flv"}, {L"target", L"_blank"}});

    EXPECT_EQ(pagetest::Wide(page.GetLinkInnerText("2")), L"第一集.flv");
    EXPECT_EQ(pagetest::Wide(page.GetLinkOuterHtml("2")), video->OuterHtml());
    EXPECT_NE(page.GetLinkOuterHtml("2").find("href=\"http://cdn.test/1.flv\""), rh::Text::npos);
}

TEST_F(Lookup, SetElementValueWritesTheFirstTextInput) {
    Input(L"hidden", {{L"value", L"h"}});
    Node* address = Input(L"text", {{L"value", L"old"}});
    Node* other = Input(L"text", {{L"value", L"other"}});

    EXPECT_TRUE(page.SetElementValue("1", "http://v.youku.test/v_show/id_X.html?a=1&b=2"));
    EXPECT_EQ(address->Value(), L"http://v.youku.test/v_show/id_X.html?a=1&b=2");
    EXPECT_EQ(other->Value(), L"other");

    EXPECT_TRUE(page.SetElementValue("1", "优酷 土豆"));
    EXPECT_EQ(address->Value(), L"优酷 土豆");

    EXPECT_TRUE(page.SetElementValue("1", ""));
    EXPECT_EQ(address->Value(), L"");
}

TEST_F(Lookup, SetElementValueWithoutATextInputChangesNothing) {
    Node* hidden = Input(L"hidden", {{L"value", L"h"}});
    Node* submit = Input(L"submit", {{L"value", L"Go"}});

    EXPECT_FALSE(page.SetElementValue("1", "x"));
    EXPECT_FALSE(page.SetElementValue("Go", "x"));
    EXPECT_EQ(hidden->Value(), L"h");
    EXPECT_EQ(submit->Value(), L"Go");
}

TEST_F(Lookup, AValueTheFieldRefusesIsNoSuccess) {
    // A page may clear a file field but never choose the file.
    Node* file = Input(L"file", {{L"name", L"upload"}});

    EXPECT_FALSE(page.SetElementValue("upload", "C:\\secret.txt"));
    EXPECT_TRUE(page.SetElementValue("upload", ""));
    EXPECT_EQ(file->Value(), L"");
}

TEST_F(Lookup, ClickingTheFirstButtonSubmitsTheForm) {
    std::vector<standin::NavigationRequest> requests;
    document->SetNavigationHandler(
        [&](const standin::NavigationRequest& request) { requests.push_back(request); });
    Node* form = Add(L"form", {{L"action", L"resolve"}, {L"method", L"get"}});
    AddTo(form, L"input", {{L"type", L"text"}, {L"name", L"url"}});
    AddTo(form, L"input", {{L"type", L"submit"}, {L"value", L"Go"}});

    ASSERT_TRUE(page.SetElementValue("1", "http://v.test/a b"));
    EXPECT_TRUE(page.ClickElement("1"));
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].kind, standin::NavigationRequest::Kind::Submit);
    EXPECT_EQ(requests[0].url, L"http://page.test/dir/resolve?url=http%3A%2F%2Fv.test%2Fa+b");
}

TEST_F(Lookup, ClickElementReportsTheButtonNotTheClicksEffect) {
    Input(L"button", {{L"value", L"Does nothing"}});

    EXPECT_TRUE(page.ClickElement("1"));
    EXPECT_FALSE(page.ClickElement("2"));
    EXPECT_FALSE(page.ClickElement("Does nothing"));  // a value is no name
}

TEST_F(Lookup, CountLinksLeavesThePageAlone) {
    EXPECT_EQ(page.CountLinks(), 0);
    EXPECT_EQ(page.WalkLinks("L", false), 0);

    Link(L"a");
    Node* nested = AddTo(Add(L"div"), L"a", {{L"href", L"x.mp4"}}, L"x.mp4");
    const std::wstring before = document->Body()->InnerHtml();
    EXPECT_EQ(page.CountLinks(), 2);
    EXPECT_EQ(page.WalkLinks("L", false), 2);
    EXPECT_EQ(document->Body()->InnerHtml(), before);
    (void)nested;
}

TEST_F(Lookup, MarkingLabelsEveryLinkWithItsNumber) {
    Node* first = Link(L"a");
    Node* second = Add(L"a", {{L"href", L"b.mp4"}});
    AddTo(second, L"b", {}, L"b.mp4");

    EXPECT_EQ(page.CountLinks(1), 2);
    EXPECT_EQ(first->InnerHtml(), L"a<font color=red>链1</font>");
    EXPECT_EQ(second->InnerHtml(), L"<b>b.mp4</b><font color=red>链2</font>");

    EXPECT_EQ(page.WalkLinks("#", true), 2);
    EXPECT_EQ(first->InnerHtml(), L"a<font color=red>链1</font><font color=red>#1</font>");
    // The labels are now part of the links' texts.
    EXPECT_EQ(page.GetLinkInnerText("1"), "a链1#1");
}

TEST_F(Lookup, WithoutADocumentEverythingIsEmpty) {
    PageAutomation unattached;
    int count = 7;
    EXPECT_TRUE(rh::IsEmptyObject(unattached.FindTextInput("1")));
    EXPECT_TRUE(rh::IsEmptyObject(unattached.FindButton("1")));
    EXPECT_TRUE(rh::IsEmptyObject(unattached.FindLink("1")));
    EXPECT_TRUE(rh::IsEmptyObject(unattached.LocateLink("1", 0, count)));
    EXPECT_EQ(count, -1);
    EXPECT_FALSE(unattached.SetElementValue("1", "x"));
    EXPECT_FALSE(unattached.ClickElement("1"));
    EXPECT_EQ(unattached.CountLinks(1), 0);
    EXPECT_TRUE(unattached.GetLinkOuterHtml("1").empty());
    EXPECT_TRUE(unattached.GetLinkInnerText("1").empty());
}

}  // namespace
