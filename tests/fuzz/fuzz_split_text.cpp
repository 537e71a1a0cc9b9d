// SplitText: the members and separators put back together give the text; every member ends at
// a character boundary of the scan, where the separator's bytes are; no member still holds a
// separator; a maximum keeps the first members of the unlimited split.
//
// Input: flags (bit 0 separator given, bit 1 maximum given), a 16-bit maximum, a separator
// length byte (up to 16), the separator, then the text.
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "runtime/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const std::uint8_t flags = in.Byte();
    const auto rawMax = in.Value<std::int16_t>();
    const std::size_t sepLength = in.Byte() % 17;
    const std::string_view givenSep = in.Text(sepLength);
    const std::string_view text = in.Rest();
    const std::optional<std::string_view> separator =
        (flags & 1) ? std::optional<std::string_view>(givenSep) : std::nullopt;
    const std::string_view sep = separator.value_or(",");

    const rh::TextArray all = rh::SplitText(text, separator);
    const int count = all.Count();
    if (text.empty()) {
        FUZZ_CHECK(count == 0);
    } else if (sep.empty()) {
        FUZZ_CHECK(count == 1 && rh::View(all[1]) == text);
    } else {
        FUZZ_CHECK(count >= 1);
        // Walk the members through the text: each is followed by a separator, except the last,
        // which may also end the text. The scan steps over whole characters from each member's
        // start, so a member ends where such a step lands.
        std::size_t at = 0;
        for (int k = 1; k <= count; ++k) {
            const std::string_view member = rh::View(all[k]);
            FUZZ_CHECK(text.substr(at, member.size()) == member);
            FUZZ_CHECK(rh::FindText(member, sep) == -1);
            const std::size_t end = at + member.size();
            std::size_t step = at;
            while (step < end) {
                step += static_cast<unsigned char>(text[step]) >= 0x80 ? 2 : 1;
            }
            at = end;
            if (k < count || at < text.size()) {
                FUZZ_CHECK(step == end);
                FUZZ_CHECK(text.substr(at, sep.size()) == sep);
                at += sep.size();
            } else {
                FUZZ_CHECK(!member.empty());  // an empty last member stands before a separator
            }
        }
        FUZZ_CHECK(at == text.size());

        // Joined back with the separators between the members.
        std::string joined;
        for (int k = 1; k <= count; ++k) {
            if (k > 1) {
                joined += sep;
            }
            joined += rh::View(all[k]);
        }
        FUZZ_CHECK(joined == text || joined + std::string(sep) == text);
    }

    // JoinTexts of the members is their plain concatenation.
    std::string concatenated;
    for (const rh::Text& member : all) {
        concatenated.append(member.data(), member.size());
    }
    FUZZ_CHECK(rh::View(rh::JoinTexts(all)) == concatenated);

    if (flags & 2) {
        const rh::TextArray limited = rh::SplitText(text, separator, rawMax);
        const int expected = rawMax <= 0 ? 0 : (rawMax < count ? rawMax : count);
        FUZZ_CHECK(limited.Count() == expected);
        for (int k = 1; k <= limited.Count(); ++k) {
            FUZZ_CHECK(limited[k] == all[k]);
        }
    }
    return 0;
}
