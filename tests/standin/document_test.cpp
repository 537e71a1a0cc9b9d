// The document model through its C++ interface: what the loader makes of markup, and the element
// properties a browser would report.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "standin/document.h"
#include "standin/upstream.h"
#include "standin/url.h"

using standin::Document;
using standin::Node;
using standin::Quoting;

namespace {

std::vector<std::wstring> TagNames(const std::vector<Node*>& nodes) {
    std::vector<std::wstring> names;
    for (Node* node : nodes) names.push_back(standin::LowerAscii(node->TagName()));
    return names;
}

TEST(HtmlLoader, KeepsAttributeQuotingAsWritten) {
    auto doc = Document::Parse(
        L"<a href=\"media/v.mp4\">v.mp4</a><a href='x.flv' class=big title>x</a>"
        L"<a HREF = \"a&amp;b.m3u8\" >y</a>",
        L"http://site.test/dir/page.html");
    auto links = doc->ElementsByTag(L"a");
    ASSERT_EQ(links.size(), 3u);
    EXPECT_EQ(links[0]->OuterHtml(), L"<a href=\"media/v.mp4\">v.mp4</a>");
    EXPECT_EQ(links[1]->OuterHtml(), L"<a href='x.flv' class=big title>x</a>");
    // Spaces around '=' are not kept, the value is exactly as written (entity undecoded).
    EXPECT_EQ(links[2]->OuterHtml(), L"<a HREF=\"a&amp;b.m3u8\">y</a>");
    EXPECT_EQ(links[2]->GetAttribute(L"href"), L"a&b.m3u8");
    EXPECT_EQ(links[1]->GetAttribute(L"class"), L"big");
    EXPECT_TRUE(links[1]->HasAttribute(L"TITLE"));
    EXPECT_EQ(links[1]->GetAttribute(L"title"), L"");
}

TEST(HtmlLoader, MarkupWritesEveryAmpersandOfAValueAsABrowserDoes) {
    auto doc = Document::Parse(
        L"<a href=\"v.mp4?a=1&b=2&amp;c=3&#38;d&#x26;e\">v</a>"
        L"<a href='x.flv?a&ampx&amp' title=&lt;&quot;&nbsp;&copy;&#233;&>x</a>",
        L"http://site.test/");
    auto links = doc->ElementsByTag(L"a");
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[0]->GetAttribute(L"href"), L"v.mp4?a=1&b=2&c=3&d&e");
    EXPECT_EQ(links[0]->OuterHtml(), L"<a href=\"v.mp4?a=1&amp;b=2&amp;c=3&amp;d&amp;e\">v</a>");
    // The quoting stays as written, and so do references to other characters.
    EXPECT_EQ(links[1]->OuterHtml(),
              L"<a href='x.flv?a&amp;ampx&amp;amp' title=&lt;&quot;&nbsp;&copy;&#233;&amp;>x</a>");
    // Read back by the loader, the markup means what the page meant.
    auto again =
        Document::Parse(links[0]->OuterHtml() + links[1]->OuterHtml(), L"http://site.test/");
    auto copies = again->ElementsByTag(L"a");
    ASSERT_EQ(copies.size(), 2u);
    EXPECT_EQ(copies[0]->GetAttribute(L"href"), links[0]->GetAttribute(L"href"));
    EXPECT_EQ(copies[1]->GetAttribute(L"href"), links[1]->GetAttribute(L"href"));
    EXPECT_EQ(copies[1]->GetAttribute(L"title"), links[1]->GetAttribute(L"title"));
}

TEST(HtmlLoader, ToleratesVoidElementsCommentsAndUnclosedTags) {
    auto doc = Document::Parse(
        L"<!DOCTYPE html><title>T</title><p>one<br>two<input name=q><!-- <a href=x>no</a> -->"
        L"<p>second <b>bold <i>both</b> after<ul><li>a<li>b</ul><div><span>open",
        L"http://site.test/");
    Node* body = doc->Body();
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(doc->Title(), L"T");
    // The comment hides its link; <p> closes <p>; <li> closes <li>; unclosed tags end with the
    // page.
    EXPECT_TRUE(doc->ElementsByTag(L"a").empty());
    EXPECT_EQ(TagNames(body->Descendants()),
              (std::vector<std::wstring>{L"p", L"br", L"input", L"p", L"b", L"i", L"ul", L"li",
                                         L"li", L"div", L"span"}));
    Node* input = doc->ElementsByTag(L"input")[0];
    EXPECT_TRUE(input->Children().empty());
    EXPECT_EQ(input->OuterHtml(), L"<input name=q>");
    EXPECT_EQ(doc->ElementsByTag(L"li")[0]->OuterHtml(), L"<li>a</li>");
    EXPECT_EQ(doc->ElementsByTag(L"span")[0]->OuterHtml(), L"<span>open</span>");
    // Comments stay in the markup.
    EXPECT_NE(body->InnerHtml().find(L"<!-- <a href=x>no</a> -->"), std::wstring::npos);
}

TEST(HtmlLoader, GivesEveryPageHtmlHeadAndBody) {
    auto bare = Document::Parse(L"hello <a href=x>link</a>", L"http://site.test/");
    ASSERT_NE(bare->Body(), nullptr);
    ASSERT_NE(bare->Head(), nullptr);
    EXPECT_EQ(bare->Body()->InnerHtml(), L"hello <a href=x>link</a>");

    auto full = Document::Parse(
        L"<html><head><meta charset=utf-8><title>x</title></head>\n<body class=b>"
        L"<p>in</p></body></html>\n<p>after</p>",
        L"http://site.test/");
    EXPECT_EQ(full->Body()->GetAttribute(L"class"), L"b");
    EXPECT_EQ(TagNames(full->Body()->Descendants()), (std::vector<std::wstring>{L"p", L"p"}));
    EXPECT_EQ(TagNames(full->Head()->Descendants()),
              (std::vector<std::wstring>{L"meta", L"title"}));
}

TEST(HtmlLoader, RawTextElementsHoldNoMarkup) {
    auto doc = Document::Parse(
        L"<textarea name=t>\n<b>not bold</b> &amp;</textarea><script>if (a<b) x='</p>';</script>"
        L"<iframe src=f.html><a href=inside>fallback</a></iframe><a href=real>r</a>",
        L"http://site.test/");
    EXPECT_TRUE(doc->ElementsByTag(L"b").empty());
    ASSERT_EQ(doc->ElementsByTag(L"a").size(), 1u);
    Node* area = doc->ElementsByTag(L"textarea")[0];
    EXPECT_EQ(area->Value(), L"<b>not bold</b> &");
    EXPECT_EQ(doc->ElementsByTag(L"script")[0]->TextContent(), L"if (a<b) x='</p>';");
}

TEST(HtmlLoader, DeeplyNestedMarkupIsCappedNotFatal) {
    std::wstring html;
    for (int i = 0; i < 100000; ++i) html += L"<div>";
    html += L"<a href=deep.mp4>deep.mp4</a>";
    auto doc = Document::Parse(html, L"http://site.test/");
    auto divs = doc->ElementsByTag(L"div");
    EXPECT_EQ(divs.size(), 100000u);  // every element is kept...
    size_t depth = 0;
    for (Node* node = doc->ElementsByTag(L"a")[0]; node; node = node->Parent()) ++depth;
    EXPECT_LT(depth, 600u);  // ...but nesting stops, so reading back cannot exhaust the stack
    EXPECT_EQ(doc->Body()->InnerText(), L"deep.mp4");
    EXPECT_NE(doc->Body()->OuterHtml().find(L"<a href=deep.mp4></a>deep.mp4"), std::wstring::npos);
}

TEST(HtmlLoader, DecodesEntitiesAndKeepsUnknownOnes) {
    EXPECT_EQ(
        standin::DecodeEntities(L"a&lt;b&gt;&amp;&quot;&#39;&#x4E2D;&#20013;&nbsp;&bogus; & x"),
        L"a<b>&\"'\x4E2D\x4E2D\xA0&bogus; & x");
    EXPECT_EQ(standin::DecodeEntities(L"&#128512;"), L"\xD83D\xDE00");
    EXPECT_EQ(standin::DecodeEntities(L"&#0;&#xFFFFFFFF;"), L"\xFFFD\xFFFD");
}

TEST(HtmlLoader, DecodesGbkPagesThatSayGbk) {
    // "中文" in GBK is D6 D0 CE C4; in UTF-8 E4 B8 AD E6 96 87.
    std::string gbk =
        "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=GB2312\">"
        "<p>\xD6\xD0\xCE\xC4</p>";
    std::string utf8 = "<meta charset=\"utf-8\"><p>\xE4\xB8\xAD\xE6\x96\x87</p>";
    std::string undeclared = "<p>\xE4\xB8\xAD\xE6\x96\x87</p>";
    for (const std::string& bytes : {gbk, utf8, undeclared}) {
        auto doc = Document::Load(bytes, L"http://site.test/");
        EXPECT_EQ(doc->Body()->InnerText(), L"\x4E2D\x6587");
    }
    EXPECT_EQ(standin::DetectCodePage(gbk), 936u);
    EXPECT_EQ(standin::DetectCodePage("<meta charset='gbk'>"), 936u);
    EXPECT_EQ(standin::DetectCodePage(utf8), 65001u);
    EXPECT_EQ(Document::Load(gbk, L"http://site.test/")->Charset(), L"gbk");
}

TEST(ElementProperties, TypeFollowsTheBrowserRules) {
    auto doc = Document::Parse(
        L"<input id=a><input id=b type=TEXT><input id=c type=Hidden><input id=d type=bogus>"
        L"<input id=e type=submit><button id=f>go</button><button id=g type=Button>x</button>"
        L"<button id=h type=weird>x</button><textarea id=i></textarea><div id=j></div>",
        L"http://site.test/");
    auto type = [&](const wchar_t* id) { return doc->ElementById(id)->TypeProperty(); };
    EXPECT_EQ(type(L"a"), L"text");
    EXPECT_EQ(type(L"b"), L"text");
    EXPECT_EQ(type(L"c"), L"hidden");
    EXPECT_EQ(type(L"d"), L"text");
    EXPECT_EQ(type(L"e"), L"submit");
    EXPECT_EQ(type(L"f"), L"submit");
    EXPECT_EQ(type(L"g"), L"button");
    EXPECT_EQ(type(L"h"), L"submit");
    EXPECT_EQ(type(L"i"), L"textarea");
    EXPECT_EQ(type(L"j"), L"");
}

TEST(ElementProperties, HrefIsResolvedAgainstThePage) {
    auto doc = Document::Parse(
        L"<a id=a href=\"media/v.mp4\">1</a><a id=b href=\"/top.html?q=1#f\">2</a>"
        L"<a id=c href=\"../up/x.flv\">3</a><a id=d href=\"http://OTHER.test\">4</a>"
        L"<a id=e href=\"//cdn.test/a b.m3u8\">5</a><a id=f>no href</a><a id=g href=\"\">6</a>"
        L"<a id=h href=\"?page=2\">7</a><div id=i href=x></div>",
        L"http://site.test/dir/page.html?x=1");
    auto href = [&](const wchar_t* id) { return doc->ElementById(id)->HrefProperty(); };
    EXPECT_EQ(href(L"a"), L"http://site.test/dir/media/v.mp4");
    EXPECT_EQ(href(L"b"), L"http://site.test/top.html?q=1#f");
    EXPECT_EQ(href(L"c"), L"http://site.test/up/x.flv");
    EXPECT_EQ(href(L"d"), L"http://other.test/");
    EXPECT_EQ(href(L"e"), L"http://cdn.test/a b.m3u8");
    EXPECT_EQ(href(L"f"), L"");
    EXPECT_EQ(href(L"g"), L"http://site.test/dir/page.html?x=1");
    EXPECT_EQ(href(L"h"), L"http://site.test/dir/page.html?page=2");
    EXPECT_EQ(href(L"i"), L"");

    auto based = Document::Parse(L"<base href=\"http://base.test/b/\"><a href=v.mp4>v</a>",
                                 L"http://site.test/dir/page.html");
    EXPECT_EQ(based->ElementsByTag(L"a")[0]->HrefProperty(), L"http://base.test/b/v.mp4");

    auto file = Document::Parse(L"<a href=\"media/v.mp4\">v</a>", L"C:\\site\\page.html");
    EXPECT_EQ(file->Url(), L"file:///C:/site/page.html");
    EXPECT_EQ(file->ElementsByTag(L"a")[0]->HrefProperty(), L"file:///C:/site/media/v.mp4");
}

TEST(ElementProperties, InnerTextIsWhatThePageShows) {
    auto doc = Document::Parse(
        L"<div id=d>  Hello\n   <b>big</b>\tworld <br>next<p>para</p>tail<script>x()</script>"
        L"<iframe src=f.html>framed</iframe></div><a id=a href=x>\n  part1.flv \n</a>"
        L"<pre id=p>a\n  b</pre>",
        L"http://site.test/");
    EXPECT_EQ(doc->ElementById(L"d")->InnerText(), L"Hello big world\r\nnext\r\npara\r\ntail");
    EXPECT_EQ(doc->ElementById(L"a")->InnerText(), L"part1.flv");
    EXPECT_EQ(doc->ElementById(L"p")->InnerText(), L"a\r\n  b");
}

TEST(ElementProperties, ValueAndInnerHtmlCanBeWritten) {
    auto doc = Document::Parse(
        L"<input id=t value=\"start\"><input id=f type=file><div id=d>old</div><br id=br>",
        L"http://site.test/");
    Node* text = doc->ElementById(L"t");
    EXPECT_EQ(text->Value(), L"start");
    EXPECT_TRUE(text->SetValue(L"line\r\nbreak"));
    EXPECT_EQ(text->Value(), L"linebreak");  // one-line fields drop line breaks
    EXPECT_EQ(text->OuterHtml(), L"<input id=t value=\"start\">");  // the attribute stays

    Node* file = doc->ElementById(L"f");
    EXPECT_FALSE(file->SetValue(L"C:\\secret.txt"));  // a page cannot choose a file
    EXPECT_TRUE(file->SetValue(L""));

    Node* div = doc->ElementById(L"d");
    uint64_t before = doc->Version();
    EXPECT_TRUE(div->SetInnerHtml(L"new <a href=\"v.mp4\">v.mp4</a>"));
    EXPECT_GT(doc->Version(), before);
    EXPECT_EQ(div->OuterHtml(), L"<div id=d>new <a href=\"v.mp4\">v.mp4</a></div>");
    EXPECT_EQ(doc->ElementsByTag(L"a").size(), 1u);
    EXPECT_FALSE(doc->ElementById(L"br")->SetInnerHtml(L"x"));
}

TEST(DocumentBuilder, MakesPagesWithoutHtml) {
    auto doc = Document::Create(L"http://resolver.test/index.html");
    Node* form = doc->Body()->AppendElement(L"form", {{L"action", L"resolve.html"}});
    form->AppendElement(L"input", {{L"type", L"hidden"}, {L"name", L"h"}, {L"value", L"1"}});
    form->AppendElement(L"input", {{L"name", L"url"}, {L"value", L"a \"b\""}});
    Node* link =
        doc->Body()->AppendElement(L"a", {{L"href", L"v.mp4"}, {L"class", L"x", Quoting::Single}});
    link->AppendText(L"v.mp4 & <more>");
    doc->Body()->AppendComment(L"note");

    EXPECT_EQ(form->OuterHtml(),
              L"<form action=\"resolve.html\"><input type=\"hidden\" name=\"h\" value=\"1\">"
              L"<input name=\"url\" value=\"a &quot;b&quot;\"></form>");
    EXPECT_EQ(link->OuterHtml(), L"<a href=\"v.mp4\" class='x'>v.mp4 &amp; &lt;more&gt;</a>");
    EXPECT_EQ(link->HrefProperty(), L"http://resolver.test/v.mp4");
    EXPECT_EQ(link->InnerText(), L"v.mp4 & <more>");
    EXPECT_EQ(doc->Body()->InnerHtml().substr(doc->Body()->InnerHtml().size() - 11),
              L"<!--note-->");
}

TEST(DocumentBuilder, ANodeHandsOutItsOwnerOnlyWhileInThePage) {
    auto doc = Document::Create();
    Node* list = doc->Body()->AppendElement(L"ul");
    Node* last = nullptr;
    for (int i = 0; i < 3; ++i) {
        last = list->AppendElement(L"li");
    }
    EXPECT_EQ(last->Self(), list->Children().back());
    EXPECT_EQ(doc->Root()->Self().get(), doc->Root());
    // Taken out of the page, it belongs to whoever took it, not to the page.
    const std::shared_ptr<Node> taken = list->RemoveChild(last);
    ASSERT_EQ(taken.get(), last);
    EXPECT_EQ(taken->Self(), nullptr);
}

TEST(Clicks, SubmitFormsByGetAndFollowLinks) {
    auto doc = Document::Parse(
        L"<form action=\"resolve.html?old=1#top\">"
        L"<input type=hidden name=mode value=auto><input name=url><textarea "
        L"name=note>a\nb</textarea>"
        L"<input type=checkbox name=c1 checked><input type=checkbox name=c2 value=yes>"
        L"<input name=off disabled value=x><select name=s><option>one<option selected value=2>two"
        L"</select><input type=submit name=go value=\"Go!\"><input type=submit name=other value=no>"
        L"</form><a id=l href=\"media/v.mp4\"><span id=s>v</span></a><a id=j href=\"#top\">j</a>",
        L"http://resolver.test/dir/");
    std::vector<standin::NavigationRequest> requests;
    doc->SetNavigationHandler([&](const standin::NavigationRequest& r) { requests.push_back(r); });

    doc->ElementsByTag(L"input")[1]->SetValue(L"http://v.test/watch?v=1&t=\x4E2D \x6587");
    doc->ElementsByTag(L"input")[3]->Click();  // c2 on
    doc->ElementsByTag(L"input")[5]->Click();  // submit "go"
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].kind, standin::NavigationRequest::Kind::Submit);
    EXPECT_EQ(requests[0].url,
              L"http://resolver.test/dir/resolve.html?mode=auto"
              L"&url=http%3A%2F%2Fv.test%2Fwatch%3Fv%3D1%26t%3D%E4%B8%AD+%E6%96%87"
              L"&note=a%0D%0Ab&c1=on&c2=yes&s=2&go=Go%21");

    doc->ElementById(L"s")->Click();  // inside the link
    doc->ElementById(L"j")->Click();  // a jump within the page loads nothing
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].kind, standin::NavigationRequest::Kind::Link);
    EXPECT_EQ(requests[1].url, L"http://resolver.test/dir/media/v.mp4");
}

TEST(Clicks, ButtonsOutsideFormsAndDisabledOnesDoNothing) {
    auto doc = Document::Parse(
        L"<input type=submit id=lone><form><button id=dis disabled>x</button>"
        L"<button id=plain type=button>b</button><button id=sub>s</button></form>",
        L"http://resolver.test/index.html");
    std::vector<std::wstring> urls;
    doc->SetNavigationHandler([&](const standin::NavigationRequest& r) { urls.push_back(r.url); });
    doc->ElementById(L"lone")->Click();
    doc->ElementById(L"dis")->Click();
    doc->ElementById(L"plain")->Click();
    EXPECT_TRUE(urls.empty());
    doc->ElementById(L"sub")->Click();  // no action: the page itself, with an empty query
    EXPECT_EQ(urls, (std::vector<std::wstring>{L"http://resolver.test/index.html?"}));
}

TEST(Addresses, ResolveAndMapIntoTheLocalWeb) {
    EXPECT_EQ(standin::ResolveUrl(L"http://a.test/b/c/d?q", L"../../../g"), L"http://a.test/g");
    EXPECT_EQ(standin::ResolveUrl(L"http://a.test/b/c", L"./"), L"http://a.test/b/");
    EXPECT_EQ(standin::ResolveUrl(L"http://a.test/b/c", L"#x"), L"http://a.test/b/c#x");
    EXPECT_EQ(standin::ResolveUrl(L"http://a.test/b/c", L"mailto:x@y"), L"mailto:x@y");
    EXPECT_EQ(standin::NormalizeAddress(L"HTTP://Resolver.Reelhawk.TEST"),
              L"http://resolver.reelhawk.test/");
    EXPECT_EQ(standin::NormalizeAddress(L"resolver.test/x"), L"http://resolver.test/x");

    std::wstring file;
    ASSERT_TRUE(standin::AddressToFile(L"http://Resolver.test/?q=1", L"C:\\web", file));
    EXPECT_EQ(file, L"C:\\web\\resolver.test\\index.html");
    ASSERT_TRUE(standin::AddressToFile(L"https://r.test:8080/a/b%20c.html#x", L"C:\\web\\", file));
    EXPECT_EQ(file, L"C:\\web\\r.test\\a\\b c.html");
    ASSERT_TRUE(standin::AddressToFile(L"http://r.test/../../x.html", L"C:\\web", file));
    EXPECT_EQ(file, L"C:\\web\\r.test\\x.html");  // dot segments cannot climb out
    EXPECT_FALSE(standin::AddressToFile(L"http://r.test/%2e%2e/%2e%2e/x.html", L"C:\\web", file));
    EXPECT_FALSE(standin::AddressToFile(L"http://r.test/a%5c..%5c..%5cx", L"C:\\web", file));
    EXPECT_FALSE(standin::AddressToFile(L"http://r.test/C:%2fx", L"C:\\web", file));
    EXPECT_FALSE(standin::AddressToFile(L"ftp://r.test/x", L"C:\\web", file));
    EXPECT_FALSE(standin::AddressToFile(L"http://r.test/x", L"", file));
    ASSERT_TRUE(standin::AddressToFile(L"file:///C:/dir/a%20b.html", L"", file));
    EXPECT_EQ(file, L"C:\\dir\\a b.html");
    ASSERT_TRUE(standin::AddressToFile(L"D:\\pages\\x.html", L"", file));
    EXPECT_EQ(file, L"D:\\pages\\x.html");
}

}  // namespace

TEST(Upstreams, OnlyLoopbackServersWrittenAsNumbersAreTaken) {
    const standin::UpstreamTable table = standin::ParseUpstreams(
        L"Resolver.Reelhawk.Test=127.0.0.1:8765, six.reelhawk.test=[::1]:80,"
        L"far=192.0.2.1:80, name=localhost:80, mapped=[::ffff:127.0.0.1]:80, short=127.1:80,"
        L"octal=0177.0.0.1:80, trailing=127.0.0.1.example:80, noport=127.0.0.1,"
        L"zero=127.0.0.1:0, big=127.0.0.1:65536, bare6=::1:80, =127.0.0.1:80, nothing,");
    ASSERT_EQ(table.accepted.size(), 2u);
    EXPECT_EQ(table.accepted[0].host, L"resolver.reelhawk.test");
    EXPECT_EQ(table.accepted[0].address, L"127.0.0.1");
    EXPECT_EQ(table.accepted[0].port, 8765);
    EXPECT_EQ(table.accepted[1].address, L"::1");
    EXPECT_EQ(table.refused,
              (std::vector<std::wstring>{
                  L"far=192.0.2.1:80", L"name=localhost:80", L"mapped=[::ffff:127.0.0.1]:80",
                  L"short=127.1:80", L"octal=0177.0.0.1:80", L"trailing=127.0.0.1.example:80",
                  L"noport=127.0.0.1", L"zero=127.0.0.1:0", L"big=127.0.0.1:65536", L"bare6=::1:80",
                  L"=127.0.0.1:80", L"nothing"}));
    // A page's address on the server keeps its path and query, not its fragment.
    EXPECT_EQ(standin::UpstreamAddress(table.accepted[0],
                                       L"http://resolver.reelhawk.test/resolve?url=a%20b#top"),
              L"http://127.0.0.1:8765/resolve?url=a%20b");
    EXPECT_EQ(standin::UpstreamAddress(table.accepted[1], L"https://six.reelhawk.test"),
              L"http://[::1]:80/");
}
