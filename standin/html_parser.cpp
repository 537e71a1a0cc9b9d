#include "standin/html_parser.h"

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "standin/document.h"

namespace standin {
namespace {

// Elements nest at most this deep below the container; deeper ones get no content of their own,
// so that reading a page back never recurses without bound.
constexpr size_t kMaxDepth = 512;

bool IsSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\f';
}
bool IsAsciiLetter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

bool OneOf(std::wstring_view tag, std::initializer_list<std::wstring_view> set) {
    return std::find(set.begin(), set.end(), tag) != set.end();
}

// Starting one of these ends an open paragraph.
bool ClosesParagraph(std::wstring_view tag) {
    return OneOf(tag, {L"address", L"article",  L"aside",  L"blockquote", L"center", L"div",
                       L"dl",      L"fieldset", L"figure", L"footer",     L"form",   L"h1",
                       L"h2",      L"h3",       L"h4",     L"h5",         L"h6",     L"header",
                       L"hr",      L"li",       L"main",   L"nav",        L"ol",     L"p",
                       L"pre",     L"section",  L"table",  L"ul",         L"dd",     L"dt"});
}

// Elements that a search for an open element to close does not look beyond.
bool IsScopeBoundary(std::wstring_view tag) {
    return OneOf(tag, {L"table", L"td", L"th", L"caption", L"html", L"button", L"object",
                       L"marquee", L"applet", L"iframe"});
}

struct StartTag {
    std::wstring name;
    std::vector<Attribute> attributes;
    bool selfClosing = false;
};

}  // namespace

class HtmlReader {
  public:
    explicit HtmlReader(Node* container) : container_(container) { Push(container); }

    void Run(std::wstring_view html) {
        text_ = html;
        pos_ = 0;
        while (pos_ < text_.size()) {
            if (text_[pos_] == L'<' && ReadMarkup()) {
                continue;
            }
            size_t next = text_.find(L'<', pos_ + 1);
            if (next == std::wstring_view::npos) {
                next = text_.size();
            }
            AddText(text_.substr(pos_, next - pos_), false);
            pos_ = next;
        }
    }

  private:
    Node* Current() const { return stack_.back(); }

    void Push(Node* node) {
        stack_.push_back(node);
        names_.push_back(LowerAscii(node->TagName()));
        ++open_[names_.back()];
    }
    void Pop() {
        --open_[names_.back()];
        stack_.pop_back();
        names_.pop_back();
    }
    const std::wstring& TopName() const { return names_.back(); }

    bool StartsWith(std::wstring_view prefix) const {
        return text_.substr(pos_, prefix.size()) == prefix;
    }

    // A tag, comment or declaration at pos_; false when the '<' is just text.
    bool ReadMarkup() {
        if (StartsWith(L"<!--")) {
            size_t end = text_.find(L"-->", pos_ + 4);
            std::wstring_view body = end == std::wstring_view::npos
                                         ? text_.substr(pos_ + 4)
                                         : text_.substr(pos_ + 4, end - pos_ - 4);
            Current()->AppendComment(body);
            pos_ = end == std::wstring_view::npos ? text_.size() : end + 3;
            return true;
        }
        if (StartsWith(L"<!") || StartsWith(L"<?")) {
            // <!DOCTYPE ...> and processing instructions carry nothing for us.
            size_t end = text_.find(L'>', pos_);
            pos_ = end == std::wstring_view::npos ? text_.size() : end + 1;
            return true;
        }
        if (StartsWith(L"</")) {
            if (pos_ + 2 >= text_.size() || !IsAsciiLetter(text_[pos_ + 2])) {
                if (pos_ + 2 < text_.size() && text_[pos_ + 2] == L'>') {
                    pos_ += 3;  // "</>" is dropped, as browsers do
                    return true;
                }
                return false;
            }
            size_t start = pos_ + 2;
            size_t end = start;
            while (end < text_.size() && !IsSpace(text_[end]) && text_[end] != L'>' &&
                   text_[end] != L'/') {
                ++end;
            }
            std::wstring name(text_.substr(start, end - start));
            size_t close = text_.find(L'>', end);
            pos_ = close == std::wstring_view::npos ? text_.size() : close + 1;
            EndElement(LowerAscii(name));
            return true;
        }
        if (pos_ + 1 < text_.size() && IsAsciiLetter(text_[pos_ + 1])) {
            StartTag tag = ReadStartTag();
            StartElement(std::move(tag));
            return true;
        }
        return false;
    }

    StartTag ReadStartTag() {
        StartTag tag;
        size_t i = pos_ + 1;
        size_t nameStart = i;
        while (i < text_.size() && !IsSpace(text_[i]) && text_[i] != L'>' && text_[i] != L'/') {
            ++i;
        }
        tag.name.assign(text_.substr(nameStart, i - nameStart));
        while (i < text_.size()) {
            while (i < text_.size() && (IsSpace(text_[i]) || text_[i] == L'/')) {
                if (text_[i] == L'/' && i + 1 < text_.size() && text_[i + 1] == L'>') {
                    tag.selfClosing = true;
                }
                ++i;
            }
            if (i >= text_.size()) {
                break;
            }
            if (text_[i] == L'>') {
                ++i;
                break;
            }
            size_t attrStart = i;
            ++i;  // the first character of a name may be anything, even '='
            while (i < text_.size() && !IsSpace(text_[i]) && text_[i] != L'>' && text_[i] != L'/' &&
                   text_[i] != L'=') {
                ++i;
            }
            Attribute attr;
            attr.name.assign(text_.substr(attrStart, i - attrStart));
            attr.fromSource = true;
            attr.quoting = Quoting::Bare;
            size_t j = i;
            while (j < text_.size() && IsSpace(text_[j])) {
                ++j;
            }
            if (j < text_.size() && text_[j] == L'=') {
                ++j;
                while (j < text_.size() && IsSpace(text_[j])) {
                    ++j;
                }
                if (j < text_.size() && (text_[j] == L'"' || text_[j] == L'\'')) {
                    wchar_t quote = text_[j];
                    size_t close = text_.find(quote, j + 1);
                    if (close == std::wstring_view::npos) {
                        // An unterminated value runs to the end of the tag, not of the page.
                        close = text_.find(L'>', j + 1);
                        if (close == std::wstring_view::npos) {
                            close = text_.size();
                        }
                        attr.source.assign(text_.substr(j + 1, close - j - 1));
                        i = close;
                    } else {
                        attr.source.assign(text_.substr(j + 1, close - j - 1));
                        i = close + 1;
                    }
                    attr.quoting = quote == L'"' ? Quoting::Double : Quoting::Single;
                } else {
                    size_t end = j;
                    while (end < text_.size() && !IsSpace(text_[end]) && text_[end] != L'>') {
                        ++end;
                    }
                    attr.source.assign(text_.substr(j, end - j));
                    attr.quoting = Quoting::Unquoted;
                    i = end;
                }
                attr.value = DecodeEntities(attr.source);
            }
            // The first of two attributes with one name wins.
            bool duplicate =
                std::any_of(tag.attributes.begin(), tag.attributes.end(),
                            [&](const Attribute& a) { return EqualsNoCase(a.name, attr.name); });
            if (!duplicate) {
                tag.attributes.push_back(std::move(attr));
            }
        }
        pos_ = i;
        return tag;
    }

    void AddText(std::wstring_view source, bool raw) {
        if (source.empty()) {
            return;
        }
        if (!raw && Current()->HasTag(L"head") &&
            std::any_of(source.begin(), source.end(), [](wchar_t c) { return !IsSpace(c); })) {
            Pop();  // text is page content: the head has ended
        }
        Node* parent = Current();
        if (!parent->children_.empty()) {
            Node* last = parent->children_.back().get();
            if (last->kind_ == NodeKind::Text && last->fromSource_ && last->rawText_ == raw) {
                last->source_ += source;
                last->data_ = raw ? last->source_ : DecodeEntities(last->source_);
                return;
            }
        }
        auto node = std::make_shared<Node>(parent->Owner(), NodeKind::Text);
        node->source_.assign(source);
        node->fromSource_ = true;
        node->rawText_ = raw;
        node->data_ = raw ? node->source_ : DecodeEntities(source);
        parent->AppendChild(std::move(node));
    }

    int FindOpen(std::wstring_view tag, bool stopAtScope) const {
        auto open = open_.find(std::wstring(tag));
        if (open == open_.end() || open->second == 0) {
            return -1;  // the common case, answered without walking the stack
        }
        for (int i = static_cast<int>(stack_.size()) - 1; i > 0; --i) {
            const std::wstring& name = names_[static_cast<size_t>(i)];
            if (name == tag) {
                return i;
            }
            if (stopAtScope && IsScopeBoundary(name)) {
                return -1;
            }
        }
        return -1;
    }

    void PopTo(int index) {
        while (stack_.size() > static_cast<size_t>(index)) {
            Pop();
        }
    }

    void CloseImplied(std::wstring_view tag) {
        auto topIs = [&](std::initializer_list<std::wstring_view> set) {
            return stack_.size() > 1 && OneOf(TopName(), set);
        };
        if (tag == L"li") {
            for (int i = static_cast<int>(stack_.size()) - 1; i > 0; --i) {
                const std::wstring& name = names_[static_cast<size_t>(i)];
                if (name == L"li") {
                    PopTo(i);
                    break;
                }
                if (name == L"ul" || name == L"ol" || IsScopeBoundary(name)) {
                    break;
                }
            }
        } else if (tag == L"dt" || tag == L"dd") {
            while (topIs({L"dt", L"dd"})) {
                Pop();
            }
        } else if (tag == L"option") {
            while (topIs({L"option"})) {
                Pop();
            }
        } else if (tag == L"optgroup") {
            while (topIs({L"option", L"optgroup"})) {
                Pop();
            }
        } else if (tag == L"tr") {
            while (topIs({L"td", L"th", L"tr"})) {
                Pop();
            }
        } else if (tag == L"td" || tag == L"th") {
            while (topIs({L"td", L"th"})) {
                Pop();
            }
        } else if (tag == L"a") {
            int open = FindOpen(L"a", true);  // links do not nest
            if (open > 0) {
                PopTo(open);
            }
        }
        if (ClosesParagraph(tag)) {
            int open = FindOpen(L"p", true);
            if (open > 0) {
                PopTo(open);
            }
        }
    }

    void StartElement(StartTag tag) {
        std::wstring lower = LowerAscii(tag.name);
        // A page has one html, head and body; later start tags only add missing attributes.
        if (lower == L"html" || lower == L"body" || lower == L"head") {
            Node* existing = FindStructural(lower);
            if (existing) {
                for (Attribute& attr : tag.attributes) {
                    if (!existing->FindAttribute(attr.name)) {
                        existing->attributes_.push_back(std::move(attr));
                    }
                }
                if (lower == L"body" || lower == L"head") {
                    // Content that follows goes inside it.
                    int open = FindOpen(lower, false);
                    if (open > 0) {
                        PopTo(open + 1);
                    }
                }
                return;
            }
        }
        if (!OneOf(lower, {L"title", L"meta", L"link", L"base", L"style", L"script", L"noscript",
                           L"head", L"html"})) {
            int head = FindOpen(L"head", false);  // page content ends the head
            if (head > 0) {
                PopTo(head);
            }
        }
        if (lower == L"form" && FindOpen(L"form", false) > 0) {
            return;  // forms do not nest: the inner start tag is ignored
        }
        CloseImplied(lower);
        auto node = std::make_shared<Node>(Current()->Owner(), NodeKind::Element);
        node->name_ = std::move(tag.name);
        node->attributes_ = std::move(tag.attributes);
        Node* element = node.get();
        Current()->AppendChild(std::move(node));
        if (element->IsVoid()) {
            return;
        }
        if (stack_.size() > kMaxDepth) {
            return;  // past this depth elements are kept empty, as browsers cap nesting too
        }
        if (HtmlParser::IsRawTextTag(lower)) {
            // Text up to the matching end tag, which may be missing.
            size_t end = pos_;
            for (;;) {
                end = text_.find(L"</", end);
                if (end == std::wstring_view::npos) {
                    end = text_.size();
                    break;
                }
                std::wstring_view candidate = text_.substr(end + 2, lower.size());
                size_t after = end + 2 + lower.size();
                if (EqualsNoCase(candidate, lower) &&
                    (after >= text_.size() || IsSpace(text_[after]) || text_[after] == L'>' ||
                     text_[after] == L'/')) {
                    break;
                }
                end += 2;
            }
            Push(element);
            AddText(text_.substr(pos_, end - pos_), !HtmlParser::IsEscapableRawTextTag(lower));
            Pop();
            if (end < text_.size()) {
                size_t close = text_.find(L'>', end);
                pos_ = close == std::wstring_view::npos ? text_.size() : close + 1;
            } else {
                pos_ = end;
            }
            return;
        }
        Push(element);
    }

    Node* FindStructural(std::wstring_view lower) const {
        // Only meaningful when parsing a whole page into the document's root.
        if (container_->Kind() != NodeKind::Document) {
            return nullptr;
        }
        for (Node* element : container_->Descendants()) {
            if (element->HasTag(lower)) {
                return element;
            }
        }
        return nullptr;
    }

    void EndElement(const std::wstring& lower) {
        if (lower == L"html" || lower == L"body") {
            return;  // content after them still belongs to the body
        }
        int open = FindOpen(lower, false);
        if (open > 0) {
            PopTo(open);
        }
    }

    Node* container_;
    std::vector<Node*> stack_;
    std::vector<std::wstring> names_;             // lower-case tag names of stack_
    std::unordered_map<std::wstring, int> open_;  // how many of each are in stack_
    std::wstring_view text_;
    size_t pos_ = 0;
};

bool HtmlParser::IsRawTextTag(std::wstring_view lowerTag) {
    return OneOf(lowerTag, {L"script", L"style", L"textarea", L"title", L"xmp", L"iframe",
                            L"noembed", L"noframes"});
}

bool HtmlParser::IsEscapableRawTextTag(std::wstring_view lowerTag) {
    return lowerTag == L"textarea" || lowerTag == L"title";
}

void HtmlParser::ParseInto(Node* container, std::wstring_view html) {
    HtmlReader reader(container);
    reader.Run(html);
}

}  // namespace standin
