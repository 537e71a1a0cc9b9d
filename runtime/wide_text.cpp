#include "runtime/wide_text.h"

#include <climits>

namespace rh {
namespace {

// The number of units before the first NUL, at most `length`; 0 for none or too many to convert.
std::size_t UnitsToNul(const wchar_t* wide, std::size_t length) {
    if (wide == nullptr) {
        return 0;
    }
    std::size_t count = 0;
    while (count < length && wide[count] != L'\0') {
        ++count;
    }
    return count > static_cast<std::size_t>(INT_MAX) ? 0 : count;
}

// The character's UTF-8 bytes, each as "%XX".
void AppendPercentEncodedUtf8(Text& text, char32_t character) {
    unsigned char bytes[4];
    std::size_t count = 0;
    if (character < 0x80) {
        bytes[count++] = static_cast<unsigned char>(character);
    } else if (character < 0x800) {
        bytes[count++] = static_cast<unsigned char>(0xC0 | (character >> 6));
        bytes[count++] = static_cast<unsigned char>(0x80 | (character & 0x3F));
    } else if (character < 0x10000) {
        bytes[count++] = static_cast<unsigned char>(0xE0 | (character >> 12));
        bytes[count++] = static_cast<unsigned char>(0x80 | ((character >> 6) & 0x3F));
        bytes[count++] = static_cast<unsigned char>(0x80 | (character & 0x3F));
    } else {
        bytes[count++] = static_cast<unsigned char>(0xF0 | (character >> 18));
        bytes[count++] = static_cast<unsigned char>(0x80 | ((character >> 12) & 0x3F));
        bytes[count++] = static_cast<unsigned char>(0x80 | ((character >> 6) & 0x3F));
        bytes[count++] = static_cast<unsigned char>(0x80 | (character & 0x3F));
    }
    constexpr char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < count; ++i) {
        text += '%';
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0xF];
    }
}

}  // namespace

std::size_t WideFromTextInto(TextView text, wchar_t* out, std::size_t capacity) noexcept {
    const std::size_t end = text.find('\0');
    if (end != TextView::npos) {
        text = text.substr(0, end);
    }
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) {
        return 0;
    }
    const int length = static_cast<int>(text.size());
    const int count = MultiByteToWideChar(kProgramCodePage, 0, text.data(), length, nullptr, 0);
    if (count <= 0) {
        return 0;
    }
    if (out != nullptr && capacity >= static_cast<std::size_t>(count)) {
        MultiByteToWideChar(kProgramCodePage, 0, text.data(), length, out, count);
    }
    return static_cast<std::size_t>(count);
}

WideText WideFromText(TextView text) {
    WideText wide;
    const std::size_t count = WideFromTextInto(text, nullptr, 0);
    if (count == 0) {
        return wide;
    }
    wide.resize(count);
    WideFromTextInto(text, wide.data(), count);
    return wide;
}

Text TextFromWide(const wchar_t* wide, std::size_t length) {
    Text text;
    const std::size_t count = UnitsToNul(wide, length);
    if (count == 0) {
        return text;
    }
    const int wideCount = static_cast<int>(count);
    const int bytes = WideCharToMultiByte(kProgramCodePage, WC_NO_BEST_FIT_CHARS, wide, wideCount,
                                          nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return text;
    }
    text.resize(static_cast<std::size_t>(bytes));
    WideCharToMultiByte(kProgramCodePage, WC_NO_BEST_FIT_CHARS, wide, wideCount, text.data(), bytes,
                        nullptr, nullptr);
    return text;
}

Text AddressTextFromWide(const wchar_t* wide, std::size_t length) {
    const std::size_t count = UnitsToNul(wide, length);
    if (count == 0) {
        return Text();
    }
    // Most texts are all GBK: one conversion then says so.
    BOOL defaulted = FALSE;
    if (WideCharToMultiByte(kProgramCodePage, WC_NO_BEST_FIT_CHARS, wide, static_cast<int>(count),
                            nullptr, 0, nullptr, &defaulted) > 0 &&
        !defaulted) {
        return TextFromWide(wide, count);
    }
    Text text;
    text.reserve(count);
    for (std::size_t i = 0; i < count;) {
        const wchar_t unit = wide[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count && wide[i + 1] >= 0xDC00 &&
            wide[i + 1] <= 0xDFFF) {
            // Beyond the first plane, where code page 936 holds nothing.
            AppendPercentEncodedUtf8(
                text, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (wide[i + 1] - 0xDC00));
            i += 2;
            continue;
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) {
            AppendPercentEncodedUtf8(text, 0xFFFD);  // half a pair
            ++i;
            continue;
        }
        char bytes[4] = {};
        defaulted = FALSE;
        const int got = WideCharToMultiByte(kProgramCodePage, WC_NO_BEST_FIT_CHARS, wide + i, 1,
                                            bytes, sizeof bytes, nullptr, &defaulted);
        if (got > 0 && !defaulted) {
            text.append(bytes, static_cast<std::size_t>(got));
        } else {
            AppendPercentEncodedUtf8(text, unit);
        }
        ++i;
    }
    return text;
}

}  // namespace rh
