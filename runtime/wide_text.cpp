#include "runtime/wide_text.h"

#include <climits>

namespace rh {

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
    if (wide == nullptr) {
        return text;
    }
    std::size_t count = 0;
    while (count < length && wide[count] != L'\0') {
        ++count;
    }
    if (count == 0 || count > static_cast<std::size_t>(INT_MAX)) {
        return text;
    }
    const int wideCount = static_cast<int>(count);
    const int bytes =
        WideCharToMultiByte(kProgramCodePage, 0, wide, wideCount, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return text;
    }
    text.resize(static_cast<std::size_t>(bytes));
    WideCharToMultiByte(kProgramCodePage, 0, wide, wideCount, text.data(), bytes, nullptr, nullptr);
    return text;
}

}  // namespace rh
