// Splitting texts into arrays, and the arrays' 1-based member access.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/text.h"

namespace rh {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::vector<std::string> Members(const TextArray& array) {
    std::vector<std::string> members;
    for (int k = 1; k <= array.Count(); ++k) {
        members.emplace_back(array[k].data(), array[k].size());
    }
    return members;
}

std::vector<std::string> Split(TextView text, std::optional<TextView> separator = std::nullopt,
                               std::optional<int> maxCount = std::nullopt) {
    return Members(SplitText(text, separator, maxCount));
}

TEST(SplitText, EmptyAndTrailingMembers) {
    EXPECT_THAT(Split("a,b"), ElementsAre("a", "b"));
    EXPECT_THAT(Split("a,,b"), ElementsAre("a", "", "b"));
    EXPECT_THAT(Split(",a"), ElementsAre("", "a"));
    EXPECT_THAT(Split("a,"), ElementsAre("a"));
    EXPECT_THAT(Split("a,,"), ElementsAre("a", ""));
    EXPECT_THAT(Split(","), ElementsAre(""));
    EXPECT_THAT(Split(",,"), ElementsAre("", ""));
    EXPECT_THAT(Split("abc"), ElementsAre("abc"));
}

TEST(SplitText, NothingToSplit) {
    EXPECT_THAT(Split(""), IsEmpty());
    EXPECT_THAT(Split(TextView(), ";"), IsEmpty());
    EXPECT_THAT(Split("", ""), IsEmpty());
    EXPECT_EQ(SplitText("").Count(), 0);
    // An empty separator keeps the whole text as the one member.
    EXPECT_THAT(Split("a,b", ""), ElementsAre("a,b"));
}

TEST(SplitText, MaximumCount) {
    EXPECT_THAT(Split("a,b,c", ",", 2), ElementsAre("a", "b"));
    EXPECT_THAT(Split("a,b,c", ",", 1), ElementsAre("a"));
    EXPECT_THAT(Split("a,b,c", ",", 3), ElementsAre("a", "b", "c"));
    EXPECT_THAT(Split("a,b,c", ",", 99), ElementsAre("a", "b", "c"));
    EXPECT_THAT(Split("a,b,c,", ",", 3), ElementsAre("a", "b", "c"));
    EXPECT_THAT(Split(",,x", ",", 2), ElementsAre("", ""));
    // 0 and below: no members, even for a text with no separator in it.
    EXPECT_THAT(Split("abc", ",", 0), IsEmpty());
    EXPECT_THAT(Split("a,b", ",", -3), IsEmpty());
    EXPECT_THAT(Split("abc", "", 0), IsEmpty());
    EXPECT_THAT(Split("abc", "", 1), ElementsAre("abc"));
}

TEST(SplitText, TwoByteSeparator) {
    EXPECT_THAT(Split("x", "\">"), ElementsAre("x"));
    EXPECT_THAT(Split("a\">b\">", "\">"), ElementsAre("a", "b"));
    EXPECT_THAT(Split("\">a", "\">"), ElementsAre("", "a"));
    EXPECT_THAT(Split("a\"b>c", "\">"), ElementsAre("a\"b>c"));
    // After a match the scan goes on behind the separator: no overlapping matches.
    EXPECT_THAT(Split("aaa", "aa"), ElementsAre("", "a"));
    EXPECT_THAT(Split("ab", "abc"), ElementsAre("ab"));
}

TEST(SplitText, SeparatorInTrailBytePositionIsNotASeparator) {
    EXPECT_THAT(Split("\x81,b"), ElementsAre("\x81,b"));
    EXPECT_THAT(Split("a\x81|b|c", "|"), ElementsAre("a\x81|b", "c"));
    EXPECT_THAT(Split("\xB0\x61"
                      "a\xB0\x61",
                      "a"),
                ElementsAre("\xB0\x61", "\xB0\x61"));
    // A two-byte separator whose first byte is a trail byte.
    EXPECT_THAT(Split("<\x81\">x", "\">"), ElementsAre("<\x81\">x"));
    EXPECT_THAT(Split("<\x81\"\">x", "\">"), ElementsAre("<\x81\"", "x"));
    // GBK members on both sides of a separator.
    EXPECT_THAT(Split("\xCC\xF8,\xD7\xAA"), ElementsAre("\xCC\xF8", "\xD7\xAA"));
    // A separator made of a double-byte character.
    EXPECT_THAT(Split("a\xCC\xF8"
                      "b\xCC\xF8",
                      "\xCC\xF8"),
                ElementsAre("a", "b"));
    EXPECT_THAT(Split("\xB0\xCC\xF8\xCC", "\xCC\xF8"), ElementsAre("\xB0\xCC\xF8\xCC"));
}

TEST(SplitText, LeadByteBeforeTheEnd) {
    EXPECT_THAT(Split("a,\x81"), ElementsAre("a", "\x81"));
    EXPECT_THAT(Split("a\x81", "\x81"), ElementsAre("a"));
    EXPECT_THAT(Split("\x81", "\x81"), ElementsAre(""));
    EXPECT_THAT(Split("ab\x81", "b\x81"), ElementsAre("a"));
}

TEST(SplitText, MegabyteText) {
    std::string text;
    for (int i = 0; i < 250000; ++i) {
        text += "\xB0,x,";  // the first comma of each group is a trail byte
    }
    const TextArray parts = SplitText(text);
    ASSERT_EQ(parts.Count(), 250000);
    EXPECT_EQ(View(parts[1]), "\xB0,x");
    EXPECT_EQ(View(parts[250000]), "\xB0,x");
    EXPECT_EQ(SplitText(text, ",", 7).Count(), 7);
}

TEST(TextArray, MembersAreNumberedFromOne) {
    const TextArray parts = SplitText("one;two;three", ";");
    ASSERT_EQ(parts.Count(), 3);
    EXPECT_EQ(View(parts[1]), "one");
    EXPECT_EQ(View(parts[3]), "three");
    std::vector<std::string> iterated;
    for (const Text& member : parts) {
        iterated.emplace_back(member.data(), member.size());
    }
    EXPECT_THAT(iterated, ElementsAre("one", "two", "three"));
}

TEST(TextArray, ACopiedMemberOutlivesItsArray) {
    TextArray parts = SplitText("keep;drop", ";");
    Text kept = DuplicateText(View(parts[1]));
    // A new array made from a member of the old one replaces it.
    parts = SplitText(View(parts[2]), "o");
    EXPECT_EQ(kept, "keep");
    EXPECT_THAT(Members(parts), ElementsAre("dr", "p"));
}

#ifndef _WIN32
// On Windows the same errors show a message box; they are tested there with a child process.
TEST(TextArrayDeathTest, ReadingOutsideTheMembersIsARuntimeError) {
    const TextArray none;
    const TextArray two = SplitText("a,b");
    EXPECT_EXIT((void)none[1], ::testing::ExitedWithCode(255), "错误代码：1\r\n");
    EXPECT_EXIT((void)two[3], ::testing::ExitedWithCode(255), "错误代码：1\r\n");
    EXPECT_EXIT((void)two[0], ::testing::ExitedWithCode(255), "错误代码：4\r\n");
    EXPECT_EXIT((void)two[-2147483647 - 1], ::testing::ExitedWithCode(255), "错误代码：4\r\n");
}
#endif

}  // namespace
}  // namespace rh
