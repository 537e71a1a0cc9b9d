// Comparing, measuring, copying, joining and searching texts. GBK bytes are written as escapes so
// the same bytes are tested on the host (UTF-8 literals) and on Windows (GBK literals).
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "runtime/text.h"

namespace rh {
namespace {

// "跳转" in GBK.
constexpr TextView kJump = "\xCC\xF8\xD7\xAA";

TEST(CompareText, AbsentAndEmptyAreEqual) {
    EXPECT_EQ(CompareText(TextView(), ""), 0);
    EXPECT_EQ(CompareText("", TextView()), 0);
    EXPECT_EQ(CompareText(TextView(), "x"), -1);
    EXPECT_EQ(CompareText("x", TextView()), 1);
}

TEST(CompareText, BytesCompareUnsignedAndCaseSensitive) {
    EXPECT_EQ(CompareText("A", "a"), -1);
    EXPECT_EQ(CompareText("a", "A"), 1);
    EXPECT_EQ(CompareText(kJump, kJump), 0);
    EXPECT_EQ(CompareText(kJump, "\xCC\xF8\xD7\xAA "), -1);
    EXPECT_EQ(CompareText("\xCC\xF8\xD7\xAA ", kJump), 1);
    // A lead byte is larger than any ASCII byte (a signed comparison would say the opposite).
    EXPECT_EQ(CompareText("\x81", "z"), 1);
    EXPECT_EQ(CompareText("z", "\x81"), -1);
    EXPECT_EQ(CompareText("ab", "abc"), -1);
    EXPECT_EQ(CompareText("abd", "abc"), 1);
}

TEST(TextBasics, LengthCountsBytes) {
    EXPECT_EQ(TextLength(TextView()), 0u);
    EXPECT_EQ(TextLength(kJump), 4u);
    EXPECT_EQ(TextLength("a\xCC\xF8z"), 4u);
}

TEST(TextBasics, MakeTextStopsAtTheFirstZero) {
    EXPECT_EQ(MakeText(TextView("ab\0cd", 5)), "ab");
    EXPECT_EQ(MakeText(TextView("\0x", 2)), "");
    EXPECT_EQ(MakeText(static_cast<const char*>(nullptr)), "");
    EXPECT_EQ(MakeText("\xCC\xF8z"), "\xCC\xF8z");
}

TEST(TextBasics, DuplicateIsAnIndependentCopy) {
    Text original = MakeText(kJump);
    Text copy = DuplicateText(View(original));
    EXPECT_EQ(copy, original);
    original[0] = 'x';
    EXPECT_EQ(View(copy), kJump);
    EXPECT_EQ(DuplicateText(""), "");
}

TEST(JoinTexts, PartsInOrder) {
    EXPECT_EQ(JoinTexts({"", ""}), "");
    EXPECT_EQ(JoinTexts({"a"}), "a");
    EXPECT_EQ(JoinTexts({"a", TextView(), "b", kJump, ""}), "ab\xCC\xF8\xD7\xAA");
    const Text big(100000, 'q');
    const Text joined = JoinTexts({View(big), "|", View(big)});
    ASSERT_EQ(joined.size(), 200001u);
    EXPECT_EQ(joined[100000], '|');
    EXPECT_EQ(joined.find_first_not_of('q'), 100000u);
}

TEST(JoinTexts, MembersOfASplit) {
    EXPECT_EQ(JoinTexts(SplitText("a;b", ";")), "ab");
    EXPECT_EQ(JoinTexts(SplitText(";a;;b;", ";")), "ab");
    EXPECT_EQ(JoinTexts(SplitText("", ";")), "");
    EXPECT_EQ(JoinTexts(TextArray()), "");
}

TEST(FindText, PositionsAreOneBasedByteOffsets) {
    EXPECT_EQ(FindText("abc.flv", ".flv"), 4);
    EXPECT_EQ(FindText("abcabc", "abc"), 1);
    EXPECT_EQ(FindText("abcabc", "bc"), 2);
    EXPECT_EQ(FindText("abc", "abcd"), -1);
    EXPECT_EQ(FindText(kJump, "\xD7\xAA"), 3);
    EXPECT_EQ(FindText("x"
                       "\xCC\xF8"
                       ".mp4",
                       ".mp4"),
              4);
}

TEST(FindText, EmptyTexts) {
    EXPECT_EQ(FindText("", "x"), -1);
    EXPECT_EQ(FindText("abc", ""), 1);
    EXPECT_EQ(FindText("", ""), -1);
    // The empty sub-text is found at 1, not at the start position, while anything is searched.
    EXPECT_EQ(FindText("abc", "", 3), 1);
    EXPECT_EQ(FindText("abc", "", 4), -1);
}

TEST(FindText, StartPosition) {
    for (int start : {0, 1, -5, INT_MIN}) {
        EXPECT_EQ(FindText("abcabc", "abc", start), 1) << "start " << start;
    }
    EXPECT_EQ(FindText("abcabc", "abc", 2), 4);
    EXPECT_EQ(FindText("abcabc", "abc", 4), 4);
    EXPECT_EQ(FindText("abcabc", "abc", 5), -1);
    EXPECT_EQ(FindText("abc", "c", 3), 3);
    EXPECT_EQ(FindText("abc", "c", 4), -1);
    EXPECT_EQ(FindText("abc", "a", INT_MAX), -1);
}

TEST(FindText, MatchesOnlyAtCharacterStarts) {
    // 'a' (0x61) is the trail byte of the double-byte character B0 61.
    EXPECT_EQ(FindText("\xB0\x61", "a"), -1);
    EXPECT_EQ(FindText("\xB0\x61"
                       "a",
                       "a"),
              3);
    // The same for a backslash trail, and for a sub-text that straddles two characters.
    EXPECT_EQ(FindText("\x81\x5C", "\\"), -1);
    EXPECT_EQ(FindText(kJump, "\xF8\xD7"), -1);
    EXPECT_EQ(FindText("\x81\x40\x40", "\x40"), 3);
    // Stepping continues on whole characters after a run of double-byte ones.
    EXPECT_EQ(FindText("\xCC\xF8\xD7\xAA\xB0\x61"
                       "a",
                       "a"),
              7);
}

TEST(FindText, StartInsideACharacterIsNotMovedBack) {
    // Starting at the trail byte makes it a character start of its own.
    EXPECT_EQ(FindText("\xB0\x61"
                       "b",
                       "a", 2),
              2);
    EXPECT_EQ(FindText(kJump, "\xF8\xD7", 2), 2);
}

TEST(FindText, LeadByteBeforeTheEnd) {
    EXPECT_EQ(FindText("ab\x81", "\x81"), 3);
    EXPECT_EQ(FindText("ab\x81", "x"), -1);
    EXPECT_EQ(FindText("ab\x81", "b\x81"), 2);
    EXPECT_EQ(FindText("\x81", "\x81\x40"), -1);
}

TEST(FindText, IgnoreCaseFoldsAsciiLettersOnly) {
    EXPECT_EQ(FindText("a.FLV", ".flv"), -1);
    EXPECT_EQ(FindText("a.FLV", ".flv", std::nullopt, true), 2);
    EXPECT_EQ(FindText("A.Mp4", ".mP4", 1, true), 2);
    // Bytes that differ only in the 0x20 bit but are not letters stay different.
    EXPECT_EQ(FindText("[", "{", std::nullopt, true), -1);
    EXPECT_EQ(FindText("@", "`", std::nullopt, true), -1);
    EXPECT_EQ(FindText("\xC1\xC2", "\xE1\xE2", std::nullopt, true), -1);
    // And a trail byte that happens to be a letter is still not a character start.
    EXPECT_EQ(FindText("\xC1\x41", "a", std::nullopt, true), -1);
    EXPECT_EQ(FindText("\xC1\x41"
                       "A",
                       "a", std::nullopt, true),
              3);
}

TEST(FindText, LongText) {
    // A megabyte of double-byte characters whose trail bytes are the sub-text's bytes.
    std::string text;
    for (int i = 0; i < 500000; ++i) {
        text += "\xB0\x61";
    }
    EXPECT_EQ(FindText(text, "a"), -1);
    text += "a";
    EXPECT_EQ(FindText(text, "a"), 1000001);
    EXPECT_EQ(FindText(text, "\x61\xB0"), -1);
}

}  // namespace
}  // namespace rh
