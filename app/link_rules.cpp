#include "app/link_rules.h"

#include <array>
#include <utility>

namespace rh {
namespace {

// The references a browser writes into an attribute value when it serializes an element again
// for "outerHTML", and the characters they stand for.
constexpr std::array<std::pair<TextView, char>, 4> kSerializerReferences = {{
    {"&amp;", '&'},
    {"&lt;", '<'},
    {"&gt;", '>'},
    {"&quot;", '"'},
}};

// The value with each of those references replaced by its character, in one left-to-right pass
// over whole characters: "&amp;lt;" gives "&lt;", and an "&" that is the trail byte of a
// double-byte character starts nothing.
Text DecodeSerializerReferences(TextView value) {
    Text decoded;
    decoded.reserve(value.size());
    std::size_t i = 0;
    while (i < value.size()) {
        const char ch = value[i];
        if (static_cast<unsigned char>(ch) >= 0x80) {
            decoded += value.substr(i, 2);
            i += 2;
            continue;
        }
        bool replaced = false;
        if (ch == '&') {
            for (const auto& [reference, character] : kSerializerReferences) {
                if (value.substr(i, reference.size()) == reference) {
                    decoded += character;
                    i += reference.size();
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) {
            decoded += ch;
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
