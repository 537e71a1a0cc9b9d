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
    // Every semicolon goes, an entity's included.
    EXPECT_EQ(Address("<A HREF=\"http://cdn.test/a/b.flv?x=1&amp;y=2\">b</A>"),
              "http://cdn.test/a/b.flv?x=1&ampy=2");
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

}  // namespace
}  // namespace rh
