// FindText against a plain reference: the first character start at or after the start offset
// where the sub-text's bytes (ASCII letters folded when asked) are found.
//
// Input: flags (bit 0 ignore case, bit 1 start given), a 32-bit start, a sub-text length byte,
// the sub-text, then the text.
#include <optional>

#include "fuzz_support.h"
#include "runtime/text.h"

namespace {

bool SameByte(unsigned char a, unsigned char b, bool ignoreCase) {
    if (a == b) {
        return true;
    }
    const bool letter = (a | 0x20) >= 'a' && (a | 0x20) <= 'z';
    return ignoreCase && letter && (a ^ 0x20) == b;
}

int Reference(std::string_view text, std::string_view sub, std::optional<int> start,
              bool ignoreCase) {
    const long long first = start ? static_cast<long long>(*start) - 1 : 0;
    const std::size_t offset = first < 0 ? 0 : static_cast<std::size_t>(first);
    if (offset >= text.size()) {
        return -1;
    }
    if (sub.empty()) {
        return 1;
    }
    const std::vector<bool> starts = fuzz::CharacterStarts(text, offset);
    for (std::size_t i = offset; i + sub.size() <= text.size(); ++i) {
        if (!starts[i]) {
            continue;
        }
        std::size_t k = 0;
        while (k < sub.size() && SameByte(static_cast<unsigned char>(text[i + k]),
                                          static_cast<unsigned char>(sub[k]), ignoreCase)) {
            ++k;
        }
        if (k == sub.size()) {
            return static_cast<int>(i + 1);
        }
    }
    return -1;
}

bool IsAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const std::uint8_t flags = in.Byte();
    const auto rawStart = in.Value<std::int32_t>();
    const std::size_t subLength = in.Byte();
    const std::string_view sub = in.Text(subLength);
    const std::string_view text = in.Rest();
    const bool ignoreCase = (flags & 1) != 0;
    const std::optional<int> start =
        (flags & 2) ? std::optional<int>(rawStart) : std::optional<int>();

    const int found = rh::FindText(text, sub, start, ignoreCase);
    FUZZ_CHECK(found == Reference(text, sub, start, ignoreCase));

    if (found != -1 && !sub.empty()) {
        // A character start of the walk, holding the sub-text's bytes.
        const std::size_t at = static_cast<std::size_t>(found - 1);
        const long long first = start ? static_cast<long long>(*start) - 1 : 0;
        FUZZ_CHECK(static_cast<long long>(at) >= first);
        FUZZ_CHECK(fuzz::CharacterStarts(text, first < 0 ? 0 : first)[at]);
        FUZZ_CHECK(at + sub.size() <= text.size());
        if (!ignoreCase) {
            FUZZ_CHECK(text.substr(at, sub.size()) == sub);
        }
        // Searching again from the match finds the same place.
        FUZZ_CHECK(rh::FindText(text, sub, found, ignoreCase) == found);
    }
    // Without double-byte characters it is an ordinary substring search.
    if (!start && !ignoreCase && !sub.empty() && IsAscii(text)) {
        const std::size_t plain = text.find(sub);
        FUZZ_CHECK(found == (plain == std::string_view::npos ? -1 : static_cast<int>(plain + 1)));
    }
    return 0;
}
