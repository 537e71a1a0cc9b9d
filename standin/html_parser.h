#pragma once
// The tolerant HTML loader behind Document::Parse and innerHTML (internal to the document model).

#include <string_view>

namespace standin {

class Node;

class HtmlParser {
  public:
    // Appends the nodes of the markup to the children of container. Never fails: what it cannot
    // read as markup it keeps as text; unclosed elements end with their container.
    static void ParseInto(Node* container, std::wstring_view html);

    // Elements whose content is text up to their end tag (never markup).
    static bool IsRawTextTag(std::wstring_view lowerTag);
    // Of those, the ones whose text still has its entities decoded.
    static bool IsEscapableRawTextTag(std::wstring_view lowerTag);
};

}  // namespace standin
