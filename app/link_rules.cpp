#include "app/link_rules.h"

#include <array>
#include <utility>

namespace rh {
namespace {

// The references a browser writes into an attribute value when it serializes an element again
// for "outerHTML", and what they stand for in an address. U+00A0 is written "&nbsp;"; a browser's
// address parser makes that character "%C2%A0" (its UTF-8 bytes percent-encoded).
constexpr std::array<std::pair<TextView, TextView>, 5> kSerializerReferences = {{
    {"&amp;", "&"},
    {"&lt;", "<"},
    {"&gt;", ">"},
    {"&quot;", "\""},
    {"&nbsp;", "%C2%A0"},
}};

// The value with each of those references replaced by what it stands for, in one left-to-right
// pass: "&amp;lt;" gives "&lt;". The pass goes byte by byte: "&" is never the trail byte of a
// double-byte character (those are 0x40 and above), so whatever stands before an "&" (0x80, the
// euro sign, a single byte, or a lead byte with no valid trail) it starts a reference.
Text DecodeSerializerReferences(TextView value) {
    Text decoded;
    decoded.reserve(value.size());
    std::size_t i = 0;
    while (i < value.size()) {
        bool replaced = false;
        if (value[i] == '&') {
            for (const auto& [reference, meaning] : kSerializerReferences) {
                if (value.substr(i, reference.size()) == reference) {
                    decoded += meaning;
                    i += reference.size();
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) {
            decoded += value[i];
            ++i;
        }
    }
    return decoded;
}

}  // namespace

bool IsVideoLink(TextView text) {
    for (TextView marker : {TextView(".flv"), TextView(".mp4"), TextView(".m3u8")}) {
        if (FindText(text, marker) != -1) {
            return true;
        }
    }
    return false;
}

std::optional<Text> ExtractLinkAddress(TextView outerHtml) {
    // The start tag: everything before the first ">.
    TextArray pieces = SplitText(outerHtml, TextView("\">"));
    if (pieces.Count() < 1) {
        return std::nullopt;
    }
    const Text startTag = DuplicateText(View(pieces[1]));

    // The first quoted attribute value runs from the first =" to the next one.
    pieces = SplitText(View(startTag), TextView("=\""));
    if (pieces.Count() < 2) {
        return std::nullopt;
    }
    // A browser hands the markup back serialized afresh, every "&" of a value written as "&amp;";
    // the address is what the value stands for. Decoded before the semicolons go, which would
    // otherwise leave "&amp" behind.
    const Text value = DecodeSerializerReferences(View(pieces[2]));

    // Every ";" left in the value is dropped.
    pieces = SplitText(View(value), TextView(";"));
    return JoinTexts(pieces);
}

}  // namespace rh
