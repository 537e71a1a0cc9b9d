// Texts and text arrays: byte strings in the system ANSI code page (GBK on our target systems).
// Lengths and positions count bytes; a double-byte character is a lead byte with its high bit set
// followed by one trail byte. An absent text and the empty text are the same value.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/memory.h"

namespace rh {

// A text owns its bytes; it never holds a zero byte (everything that makes one from outside data
// stops at the first zero, as the system's zero-terminated strings do).
using Text = std::basic_string<char, std::char_traits<char>, RuntimeAllocator<char>>;
using TextView = std::string_view;

inline TextView View(const Text& t) noexcept {
    return TextView(t.data(), t.size());
}
// A text from outside bytes, cut at the first zero byte.
Text MakeText(TextView bytes);
Text MakeText(const char* zeroTerminated);  // null gives the empty text

// −1, 0 or 1: unsigned byte comparison, case-sensitive, locale-free.
int CompareText(TextView a, TextView b) noexcept;
std::size_t TextLength(TextView t) noexcept;
Text DuplicateText(TextView t);
// All parts in order, measured first and allocated once.
Text JoinTexts(std::initializer_list<TextView> parts);

// 1-based byte position of the first match at a character start, or −1.
// start: 1-based start position (omitted: from the first byte). ignoreCase folds ASCII letters
// only.
int FindText(TextView text, TextView sub, std::optional<int> start = std::nullopt,
             bool ignoreCase = false) noexcept;

// Numbers.
Text IntegerToText(std::int32_t value);
// Full-width forms folded to ASCII, then parsed as the C library's atof would.
double ToNumber(TextView text);
// Without this a literal would convert to bool and read as 1.
inline double ToNumber(const char* text) {
    return ToNumber(text ? TextView(text) : TextView());
}
inline double ToNumber(bool b) noexcept {
    return b ? 1.0 : 0.0;
}
inline double ToNumber(std::int32_t v) noexcept {
    return v;
}
inline double ToNumber(std::int64_t v) noexcept {
    return static_cast<double>(v);
}
inline double ToNumber(double v) noexcept {
    return v;
}
// Truncation toward zero to 64 bits, of which the low 32 are kept; 0 for NaN, infinities and
// magnitudes of 2^63 and more.
std::int32_t FloatToInteger(double value) noexcept;
// n spaces; the empty text for n <= 0.
Text SpacesText(int n);

// A one-dimensional array of texts, numbered from 1. Reading outside it is a runtime error:
// error 4 below 1, error 1 above the count (both end the program).
class TextArray {
  public:
    TextArray() = default;
    int Count() const noexcept { return static_cast<int>(members_.size()); }
    const Text& operator[](int k) const;  // checked, 1-based
    void Append(TextView member) { members_.emplace_back(member.data(), member.size()); }
    void Reserve(int count) { members_.reserve(count > 0 ? static_cast<std::size_t>(count) : 0); }
    auto begin() const noexcept { return members_.begin(); }
    auto end() const noexcept { return members_.end(); }

  private:
    std::vector<Text, RuntimeAllocator<Text>> members_;
};

// Splits on separator (omitted: ","), scanning whole double-byte characters; empty members between
// separators and before a leading separator are kept, a trailing separator adds none; at most
// maxCount members (omitted: no limit, below 0 counts as 0).
TextArray SplitText(TextView text, std::optional<TextView> separator = std::nullopt,
                    std::optional<int> maxCount = std::nullopt);

// All members of an array in order, with nothing between them; measured first and allocated once.
Text JoinTexts(const TextArray& parts);

}  // namespace rh
