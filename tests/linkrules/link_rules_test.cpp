// Which link texts are video links, and the addresses carved out of link markup.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "app/link_rules.h"

namespace rh {
namespace {

std::optional<std::string> Address(TextView outerHtml) {
    const std::optional<Text> address = ExtractLinkAddress(outerHtml);
    if (!address) {
        return std::nullopt;
    }
    return std::string(address->data(), address->size());
}

TEST(IsVideoLink, MarkersAnywhereInTheText) {
    EXPECT_TRUE(IsVideoLink("clip.flv"));
    EXPECT_TRUE(IsVideoLink("media/v.mp4"));
    EXPECT_TRUE(IsVideoLink("a.m3u8?x=1"));
    EXPECT_TRUE(IsVideoLink("x.m3u8list"));
    EXPECT_TRUE(IsVideoLink("both.flv and .mp4"));
    EXPECT_TRUE(IsVideoLink("\xCC\xF8\xD7\xAA.mp4"));
}

TEST(IsVideoLink, OtherTexts) {
    EXPECT_FALSE(IsVideoLink(""));
    EXPECT_FALSE(IsVideoLink("movie.FLV"));
    EXPECT_FALSE(IsVideoLink("movie.Mp4"));
    EXPECT_FALSE(IsVideoLink("page.html"));
    EXPECT_FALSE(IsVideoLink("a.mp"));
    EXPECT_FALSE(IsVideoLink("list.m3u"));
    EXPECT_FALSE(IsVideoLink("flv mp4 m3u8"));
    // The dot is the trail byte of a double-byte character, so no marker starts there.
    EXPECT_FALSE(IsVideoLink("\x81.flv"));
    EXPECT_FALSE(IsVideoLink("\x81.mp4"));
    EXPECT_TRUE(IsVideoLink("\x81\x40.mp4"));
}

TEST(ExtractLinkAddress, OnlyAttributeIsTheAddress) {
    EXPECT_EQ(Address("<a href=\"media/v.mp4\">v.mp4</a>"), "media/v.mp4");
}

// A browser's outerHTML writes every "&" of a value as "&amp;" (and "<", ">", a quote as
// references); the address is the value they stand for.
TEST(ExtractLinkAddress, ReferencesABrowserWritesAreDecodedBeforeTheSemicolonsGo) {
    EXPECT_EQ(Address("<A HREF=\"http://cdn.test/a/b.flv?x=1&amp;y=2\">b</A>"),
              "http://cdn.test/a/b.flv?x=1&y=2");
    EXPECT_EQ(Address("<a href=\"http://cdn.test/v.mp4?sig=ab&amp;expires=9&amp;id=3\">v</a>"),
              "http://cdn.test/v.mp4?sig=ab&expires=9&id=3");
    EXPECT_EQ(Address("<a href=\"v.mp4?a=&lt;b&gt;&amp;q=&quot;x&quot;\">v</a>"),
              "v.mp4?a=<b>&q=\"x\"");
    // The page's own semicolons still go, right beside a reference too.
    EXPECT_EQ(Address("<a href=\"a;b.flv?x=1;&amp;;y=2\">v</a>"), "ab.flv?x=1&y=2");
    // A reference at the very end, with and without the rest of the tag.
    EXPECT_EQ(Address("<a href=\"v.mp4?x=1&amp;\">v</a>"), "v.mp4?x=1&");
    EXPECT_EQ(Address("<a href=\"v.mp4&quot;"), "v.mp4\"");
    // One pass: what a reference stands for is not read again.
    EXPECT_EQ(Address("<a href=\"v.mp4?q=&amp;lt;&amp;amp;\">v</a>"), "v.mp4?q=&lt&amp");
}

TEST(ExtractLinkAddress, TextThatOnlyLooksLikeAReferenceStays) {
    EXPECT_EQ(Address("<a href=\"v.mp4?a=1&ampx=2\">v</a>"), "v.mp4?a=1&ampx=2");
    EXPECT_EQ(Address("<a href=\"v.mp4?a=1&amp\">v</a>"), "v.mp4?a=1&amp");
    EXPECT_EQ(Address("<a href=\"v.mp4?a=1&x=2&AMP;b&#38;c&NBSP;d&nbspe\">v</a>"),
              "v.mp4?a=1&x=2&AMPb&#38c&NBSPd&nbspe");
    EXPECT_EQ(Address("<a href=\"&&amp;&\">v</a>"), "&&&");
}

TEST(ExtractLinkAddress, AnAddressAfterAnotherAttributeIsNotCarvedCleanly) {
    EXPECT_EQ(Address("<a title=\"x\" href=\"media/v.mp4\">v.mp4</a>"), "x\" href");
    EXPECT_EQ(Address("<a href=\"media/v.mp4\" target=\"_blank\">v.mp4</a>"),
              "media/v.mp4\" target");
}

TEST(ExtractLinkAddress, SemicolonsAreRemoved) {
    EXPECT_EQ(Address("<a href=\"a;b.mp4\">x</a>"), "ab.mp4");
    EXPECT_EQ(Address("<a href=\";;a;;\">x</a>"), "a");
    EXPECT_EQ(Address("<a href=\";\">x</a>"), "");
}

TEST(ExtractLinkAddress, NoClosingQuoteBracket) {
    // Member 1 is then the whole markup.
    EXPECT_EQ(Address("<a href=\"v.mp4'>x</a>"), "v.mp4'>x</a>");
    EXPECT_EQ(Address("href=\"v.mp4"), "v.mp4");
    // Only the first "> counts.
    EXPECT_EQ(Address("<a href=\"v.mp4\">x\">y"), "v.mp4");
}

TEST(ExtractLinkAddress, EmptyValueBeforeAnotherQuotedValue) {
    // The first value itself begins with =": an empty address, but an address.
    EXPECT_EQ(Address("<a href=\"=\"v.mp4\">x</a>"), "");
    EXPECT_EQ(Address("<a a=\"\" b=\"v.mp4\">x</a>"), "\" b");
}

TEST(ExtractLinkAddress, MarkupThatCannotBeCarvedGivesNoAddress) {
    EXPECT_EQ(Address(""), std::nullopt);
    EXPECT_EQ(Address("<a href=\"\">v.mp4</a>"), std::nullopt);   // nothing after the first ="
    EXPECT_EQ(Address("<a href=v.mp4>v.mp4</a>"), std::nullopt);  // no =" at all
    EXPECT_EQ(Address("\">a href=\"v.mp4\""), std::nullopt);      // empty member 1
    EXPECT_EQ(Address("<a href=\""), std::nullopt);
    EXPECT_EQ(Address("=\""), std::nullopt);
    // =" only after the first ">.
    EXPECT_EQ(Address("<a id=x\">href=\"v.mp4\""), std::nullopt);
}

TEST(ExtractLinkAddress, DoubleByteTextAroundTheSeparators) {
    EXPECT_EQ(Address("<a href=\"\xCC\xF8\xD7\xAA.mp4\">\xCC\xF8</a>"), "\xCC\xF8\xD7\xAA.mp4");
    // A quote that is the trail byte of a double-byte character closes nothing.
    EXPECT_EQ(Address("<a href=\"v\x81\">x"), "v\x81\">x");
    // An equals sign in trail position opens nothing: the first real =" is href's.
    EXPECT_EQ(Address("<a x\x81=\"y\" href=\"v.mp4\">"), "v.mp4");
    EXPECT_EQ(Address("<a x=\"y\" href=\"v.mp4\">"), "y\" href");
    // A semicolon in trail position stays.
    EXPECT_EQ(Address("<a href=\"\x81;b;c.mp4\">"), "\x81;bc.mp4");
    // A lead byte at the very end.
    EXPECT_EQ(Address("<a href=\"v.mp4\x81"), "v.mp4\x81");
}

TEST(ExtractLinkAddress, ReferencesAmongDoubleByteText) {
    EXPECT_EQ(Address("<a href=\"http://\xCA\xD3\xC6\xB5.test/\xB5\xDA\xD2\xBB.mp4?"
                      "\xB1\xEA=\xB8\xDF&amp;\xC7\xE5=1;\">x</a>"),
              "http://\xCA\xD3\xC6\xB5.test/\xB5\xDA\xD2\xBB.mp4?\xB1\xEA=\xB8\xDF&\xC7\xE5=1");
    EXPECT_EQ(Address("<a href=\"v\x81\x40&amp;x\">"), "v\x81\x40&x");
}

// The references are decoded byte by byte: "&" is never a trail byte, so it starts a reference
// after 0x80 (the euro sign, one byte in code page 936) or any lead byte. "&nbsp;", which a
// browser writes for U+00A0, is that character as a browser's address parser writes it.
TEST(ExtractLinkAddress, EveryAmpersandStartsAReferenceAndNbspIsWhatAnAddressMakesOfIt) {
    EXPECT_EQ(Address("<a href=\"http://a/v.mp4?e=\x80&amp;x=1\">v</a>"),
              "http://a/v.mp4?e=\x80&x=1");
    EXPECT_EQ(Address("<a href=\"v\x81&amp;x\">"), "v\x81&x");
    EXPECT_EQ(Address("<a href=\"v\xFE&quot;&lt;\">"), "v\xFE\"<");
    EXPECT_EQ(Address("<a href=\"http://a/my&nbsp;clip.mp4?t=&nbsp;\">v</a>"),
              "http://a/my%C2%A0clip.mp4?t=%C2%A0");
    EXPECT_EQ(Address("<a href=\"\x80&nbsp;\">v</a>"), "\x80%C2%A0");
}

}  // namespace
}  // namespace rh
