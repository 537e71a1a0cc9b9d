// Which links of the resolver's result page are video links, and how a video link's address is
// cut out of the link's markup. They are all the program knows about that page's output.
#pragma once

#include <optional>

#include "runtime/text.h"

namespace rh {

// True when the text holds ".flv", ".mp4" or ".m3u8" anywhere (case-sensitive, not only at the
// end: "a.m3u8?x=1" counts).
bool IsVideoLink(TextView text);

// The address in a link's outer HTML: the value of the first attribute written with =" up to the
// next =" or the end of the start tag's ">, with the references a browser writes into attribute
// values ("&amp;", "&lt;", "&gt;", "&quot;") turned back into their characters and "&nbsp;" into
// "%C2%A0" (as a browser's address parser writes U+00A0), then every ";" removed. The resolver
// writes each video link with its address as the only quoted attribute, so that value is the
// address.
// Markup that has no such value (empty, no =" before the first ">, nothing after the first =")
// gives no address; an attribute written as ="" followed by another =" gives the empty address.
std::optional<Text> ExtractLinkAddress(TextView outerHtml);

}  // namespace rh
