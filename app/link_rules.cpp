#include "app/link_rules.h"

namespace rh {

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
    const Text value = DuplicateText(View(pieces[2]));

    // Every ";" in the value is dropped.
    pieces = SplitText(View(value), TextView(";"));
    return JoinTexts(pieces);
}

}  // namespace rh
