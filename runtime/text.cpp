#include "runtime/text.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "runtime/error.h"

namespace rh {
namespace {

// A byte with its high bit set starts a double-byte character; the next byte is its trail,
// whatever that byte is.
constexpr bool IsLeadByte(char c) noexcept {
    return (static_cast<unsigned char>(c) & 0x80) != 0;
}

constexpr unsigned char FoldAsciiCase(unsigned char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

bool MatchesAt(const char* at, TextView sub, bool ignoreCase) noexcept {
    if (!ignoreCase) {
        // The first byte decides most positions; checking it before memcmp keeps long searches
        // cheap.
        return at[0] == sub[0] && std::memcmp(at, sub.data(), sub.size()) == 0;
    }
    for (std::size_t i = 0; i < sub.size(); ++i) {
        if (FoldAsciiCase(static_cast<unsigned char>(at[i])) !=
            FoldAsciiCase(static_cast<unsigned char>(sub[i]))) {
            return false;
        }
    }
    return true;
}

// The text as the number parser sees it: full-width forms folded to their ASCII bytes, one byte
// at a time. Double-byte characters that are not full-width forms come out as kOther, which no
// number can contain.
class FoldedBytes {
  public:
    static constexpr int kEnd = -1;
    static constexpr int kOther = 0x100;

    explicit FoldedBytes(TextView text) noexcept : text_(text) {}

    int Next() noexcept {
        if (pos_ >= text_.size()) {
            return kEnd;
        }
        const auto lead = static_cast<unsigned char>(text_[pos_]);
        if (lead < 0x80) {
            ++pos_;
            return lead;
        }
        if (pos_ + 1 >= text_.size()) {  // a lead byte with no trail ends the text
            pos_ = text_.size();
            return kEnd;
        }
        const auto trail = static_cast<unsigned char>(text_[pos_ + 1]);
        pos_ += 2;
        if (lead == 0xA3 && trail >= 0xA1 && trail <= 0xFE) {
            return trail - 0x80;  // full-width ASCII: ０ → 0, ． → ., Ｅ → E, ＋ → +, …
        }
        if (lead == 0xA1) {
            switch (trail) {
                case 0xA1:
                    return ' ';  // ideographic space
                case 0xAB:
                    return '~';
                case 0xEE:
                case 0xEF:
                    return '*';
                default:
                    break;
            }
        }
        return kOther;
    }

  private:
    TextView text_;
    std::size_t pos_ = 0;
};

constexpr bool IsDigit(int c) noexcept {
    return c >= '0' && c <= '9';
}
constexpr bool IsCSpace(int c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

Text MakeText(TextView bytes) {
    const TextView text = bytes.substr(0, bytes.find('\0'));
    return Text(text.data(), text.size());
}

Text MakeText(const char* zeroTerminated) {
    return zeroTerminated == nullptr ? Text() : Text(zeroTerminated);
}

int CompareText(TextView a, TextView b) noexcept {
    const std::size_t common = a.size() < b.size() ? a.size() : b.size();
    const int c = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
    if (c != 0) {
        return c < 0 ? -1 : 1;
    }
    // The shorter text meets its terminator first, and the terminator is the smallest byte.
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

std::size_t TextLength(TextView t) noexcept {
    return t.size();
}

Text DuplicateText(TextView t) {
    return Text(t.data(), t.size());
}

Text JoinTexts(std::initializer_list<TextView> parts) {
    std::size_t total = 0;
    for (TextView part : parts) {
        total += part.size();
    }
    Text joined;
    joined.reserve(total);
    for (TextView part : parts) {
        joined.append(part.data(), part.size());
    }
    return joined;
}

Text JoinTexts(const TextArray& parts) {
    std::size_t total = 0;
    for (const Text& part : parts) {
        total += part.size();
    }
    Text joined;
    joined.reserve(total);
    for (const Text& part : parts) {
        joined.append(part);
    }
    return joined;
}

int FindText(TextView text, TextView sub, std::optional<int> start, bool ignoreCase) noexcept {
    const std::size_t len = text.size();
    // A plain byte offset: a start inside a double-byte character is not moved back to its lead.
    std::size_t p = 0;
    if (start && *start > 1) {
        p = static_cast<std::size_t>(*start) - 1;
    }
    if (p >= len) {
        return -1;  // nothing to search, not even for the empty text
    }
    if (sub.empty()) {
        return 1;
    }
    while (len - p >= sub.size()) {
        if (MatchesAt(text.data() + p, sub, ignoreCase)) {
            return static_cast<int>(p + 1);
        }
        if (IsLeadByte(text[p])) {
            if (p + 1 == len) {
                return -1;
            }
            p += 2;
        } else {
            ++p;
        }
    }
    return -1;
}

TextArray SplitText(TextView text, std::optional<TextView> separator, std::optional<int> maxCount) {
    const TextView sep = separator.value_or(TextView(","));
    // -1: no limit.
    const long long limit = maxCount ? (*maxCount < 0 ? 0 : *maxCount) : -1;
    TextArray result;
    if (text.empty() || limit == 0) {
        return result;
    }
    if (sep.empty()) {
        result.Append(text);
        return result;
    }

    // One pass over the text collecting the members' places; the array is then sized once.
    std::vector<TextView, RuntimeAllocator<TextView>> members;
    const std::size_t len = text.size();
    std::size_t segment = 0;
    std::size_t p = 0;
    bool limitReached = false;
    while (len - p >= sep.size()) {
        if (text[p] == sep[0] && std::memcmp(text.data() + p, sep.data(), sep.size()) == 0) {
            members.push_back(text.substr(segment, p - segment));
            p += sep.size();
            segment = p;
            if (limit >= 0 && static_cast<long long>(members.size()) == limit) {
                limitReached = true;  // the rest of the text is dropped
                break;
            }
        } else if (IsLeadByte(text[p])) {
            if (p + 1 == len) {
                break;
            }
            p += 2;
        } else {
            ++p;
        }
    }
    // A trailing separator leaves nothing here, so it adds no empty last member.
    if (!limitReached && segment < len) {
        members.push_back(text.substr(segment));
    }

    result.Reserve(static_cast<int>(members.size()));
    for (TextView member : members) {
        result.Append(member);
    }
    return result;
}

Text IntegerToText(std::int32_t value) {
    char digits[16];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;  // 11 characters always fit
    return Text(digits, static_cast<std::size_t>(end - digits));
}

double ToNumber(TextView text) {
    // The C library's atof grammar: white space, an optional sign, digits with an optional
    // decimal point, an optional exponent; the longest such prefix counts. The number is read
    // with from_chars, which ignores the locale: the decimal point is '.' whatever the user's
    // settings say.
    FoldedBytes in(text);
    int c = in.Next();
    while (IsCSpace(c)) {
        c = in.Next();
    }
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = in.Next();
    }

    Text number;
    bool anyDigit = false;
    // For telling overflow from underflow when the value is out of range: the decimal order of
    // the first significant digit.
    long long integerDigits = 0;  // after leading zeros
    long long fractionZeros = 0;  // zeros after the point before the first significant digit
    bool significant = false;
    while (IsDigit(c)) {
        anyDigit = true;
        if (c != '0' || significant) {
            significant = true;
            ++integerDigits;
        }
        number.push_back(static_cast<char>(c));
        c = in.Next();
    }
    if (c == '.') {
        number.push_back('.');
        c = in.Next();
        while (IsDigit(c)) {
            anyDigit = true;
            if (!significant) {
                if (c == '0') {
                    ++fractionZeros;
                } else {
                    significant = true;
                }
            }
            number.push_back(static_cast<char>(c));
            c = in.Next();
        }
    }
    if (!anyDigit) {
        return 0.0;
    }
    long long exponent = 0;
    if (c == 'e' || c == 'E') {
        // Taken only when digits follow; "1e" and "1e+" read as 1.
        const std::size_t mantissaEnd = number.size();
        number.push_back('e');
        c = in.Next();
        if (c == '+' || c == '-') {
            number.push_back(static_cast<char>(c));
            c = in.Next();
        }
        const bool negativeExponent = number.back() == '-';
        bool exponentDigits = false;
        while (IsDigit(c)) {
            exponentDigits = true;
            if (exponent < 1'000'000'000'000LL) {
                exponent = exponent * 10 + (c - '0');
            }
            number.push_back(static_cast<char>(c));
            c = in.Next();
        }
        if (!exponentDigits) {
            number.resize(mantissaEnd);
        }
        if (negativeExponent) {
            exponent = -exponent;
        }
    }

    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(number.data(), number.data() + number.size(), value,
                                           std::chars_format::general);
    (void)ptr;
    if (ec == std::errc::result_out_of_range) {
        const long long order =
            integerDigits > 0 ? integerDigits - 1 + exponent : exponent - fractionZeros - 1;
        value = order > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (ec != std::errc()) {
        value = 0.0;
    }
    return negative ? -value : value;
}

std::int32_t FloatToInteger(double value) noexcept {
    // 2^63: the first magnitude a 64-bit integer cannot hold (−2^63 is refused as well).
    constexpr double kLimit = 9223372036854775808.0;
    if (std::isnan(value) || !(std::fabs(value) < kLimit)) {
        return 0;
    }
    // A conversion to an integer type always truncates toward zero, whatever the rounding mode.
    const auto wide = static_cast<std::int64_t>(value);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(wide)));
}

Text SpacesText(int n) {
    return n <= 0 ? Text() : Text(static_cast<std::size_t>(n), ' ');
}

const Text& TextArray::operator[](int k) const {
    if (k < 1) {
        RaiseRuntimeError(kErrorIndexBelowOne);
    }
    if (k > Count()) {
        RaiseRuntimeError(kErrorIndexAboveCount);
    }
    return members_[static_cast<std::size_t>(k - 1)];
}

}  // namespace rh
