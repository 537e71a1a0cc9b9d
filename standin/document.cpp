#include "standin/document.h"

#include <windows.h>

#include <algorithm>
#include <cctype>

#include "standin/call_log.h"
#include "standin/html_parser.h"
#include "standin/url.h"

namespace standin {
namespace {

bool IsSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\f';
}

bool OneOf(std::wstring_view tag, std::initializer_list<std::wstring_view> set) {
    return std::find(set.begin(), set.end(), tag) != set.end();
}

bool IsVoidTag(std::wstring_view lower) {
    return OneOf(lower, {L"area", L"base", L"br", L"col", L"embed", L"hr", L"img", L"input",
                         L"keygen", L"link", L"meta", L"param", L"source", L"track", L"wbr"});
}

// Elements that stand on lines of their own in rendered text.
bool IsBlockTag(std::wstring_view lower) {
    return OneOf(lower, {L"address", L"article", L"aside", L"blockquote", L"center", L"dd",
                         L"div",     L"dl",      L"dt",    L"fieldset",   L"figure", L"footer",
                         L"form",    L"h1",      L"h2",    L"h3",         L"h4",     L"h5",
                         L"h6",      L"header",  L"hr",    L"li",         L"main",   L"nav",
                         L"ol",      L"p",       L"pre",   L"section",    L"table",  L"tr",
                         L"ul",      L"caption", L"body",  L"html"});
}

// Elements whose content is never part of the rendered text.
bool IsUnrenderedTag(std::wstring_view lower) {
    return OneOf(lower, {L"script", L"style", L"head", L"title", L"iframe", L"noscript",
                         L"template", L"textarea", L"select", L"noembed", L"noframes"});
}

std::wstring EscapeText(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        switch (c) {
            case L'&':
                out += L"&amp;";
                break;
            case L'<':
                out += L"&lt;";
                break;
            case L'>':
                out += L"&gt;";
                break;
            case 0xA0:
                out += L"&nbsp;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::wstring EscapeAttribute(std::wstring_view text, Quoting quoting) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        if (c == L'&') {
            out += L"&amp;";
        } else if (c == 0xA0) {
            out += L"&nbsp;";
        } else if (c == L'"' && quoting != Quoting::Single) {
            out += L"&quot;";
        } else if (c == L'\'' && quoting == Quoting::Single) {
            out += L"&#39;";
        } else {
            out += c;
        }
    }
    return out;
}

std::wstring CollapseSpaces(std::wstring_view text) {
    std::wstring out;
    bool space = false;
    for (wchar_t c : text) {
        if (IsSpace(c)) {
            space = !out.empty();
        } else {
            if (space) {
                out += L' ';
            }
            space = false;
            out += c;
        }
    }
    return out;
}

struct Entity {
    std::wstring_view name;
    wchar_t value;
};

constexpr Entity kEntities[] = {
    {L"amp", L'&'},      {L"lt", L'<'},      {L"gt", L'>'},      {L"quot", L'"'},
    {L"apos", L'\''},    {L"nbsp", 0xA0},    {L"copy", 0xA9},    {L"reg", 0xAE},
    {L"middot", 0xB7},   {L"laquo", 0xAB},   {L"raquo", 0xBB},   {L"times", 0xD7},
    {L"hellip", 0x2026}, {L"mdash", 0x2014}, {L"ndash", 0x2013}, {L"yen", 0xA5},
    {L"ldquo", 0x201C},  {L"rdquo", 0x201D}, {L"lsquo", 0x2018}, {L"rsquo", 0x2019},
    {L"bull", 0x2022},   {L"trade", 0x2122}, {L"deg", 0xB0},     {L"emsp", 0x2003},
};

void AppendCodePoint(std::wstring& out, unsigned long cp) {
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        out += static_cast<wchar_t>(0xFFFD);
    } else if (cp >= 0x10000) {
        cp -= 0x10000;
        out += static_cast<wchar_t>(0xD800 + (cp >> 10));
        out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
    } else {
        out += static_cast<wchar_t>(cp);
    }
}

// The form controls a submission carries, as name/value pairs in document order.
void CollectFormData(Node* form, Node* submitter,
                     std::vector<std::pair<std::wstring, std::wstring>>& data) {
    for (Node* element : form->Descendants()) {
        if (element->Disabled()) {
            continue;
        }
        std::wstring name = element->GetAttribute(L"name");
        std::wstring tag = LowerAscii(element->TagName());
        if (tag == L"input") {
            std::wstring type = element->TypeProperty();
            if (type == L"submit" || type == L"image" || type == L"button" || type == L"reset") {
                if (element != submitter || type == L"button" || type == L"reset") {
                    continue;
                }
                if (type == L"image") {
                    std::wstring prefix = name.empty() ? L"" : name + L".";
                    data.emplace_back(prefix + L"x", L"0");
                    data.emplace_back(prefix + L"y", L"0");
                } else if (!name.empty()) {
                    data.emplace_back(name, element->Value());
                }
            } else if (name.empty()) {
                continue;
            } else if (type == L"checkbox" || type == L"radio") {
                if (element->Checked()) {
                    data.emplace_back(name, element->Value());
                }
            } else if (type == L"file") {
                data.emplace_back(name, L"");
            } else {
                data.emplace_back(name, element->Value());
            }
        } else if (tag == L"textarea" && !name.empty()) {
            // Line breaks of a text area travel as CR LF.
            std::wstring value;
            std::wstring raw = element->Value();
            for (size_t i = 0; i < raw.size(); ++i) {
                if (raw[i] == L'\r') {
                    value += L"\r\n";
                    if (i + 1 < raw.size() && raw[i + 1] == L'\n') {
                        ++i;
                    }
                } else if (raw[i] == L'\n') {
                    value += L"\r\n";
                } else {
                    value += raw[i];
                }
            }
            data.emplace_back(name, value);
        } else if (tag == L"select" && !name.empty()) {
            std::vector<Node*> options;
            for (Node* option : element->Descendants()) {
                if (option->HasTag(L"option")) {
                    options.push_back(option);
                }
            }
            bool any = false;
            for (Node* option : options) {
                if (option->HasAttribute(L"selected")) {
                    data.emplace_back(name, option->Value());
                    any = true;
                    if (!element->HasAttribute(L"multiple")) {
                        break;
                    }
                }
            }
            if (!any && !options.empty() && !element->HasAttribute(L"multiple")) {
                data.emplace_back(name, options.front()->Value());
            }
        } else if (tag == L"button" && element == submitter && !name.empty()) {
            data.emplace_back(name, element->Value());
        }
    }
}

std::wstring DescribeForLog(const Node& element) {
    std::wstring text = LowerAscii(element.TagName());
    std::wstring type = element.TypeProperty();
    std::wstring name = element.GetAttribute(L"name");
    std::wstring id = element.GetAttribute(L"id");
    if (!type.empty()) {
        text += L" type=" + LogEscape(type);
    }
    if (!name.empty()) {
        text += L" name=" + LogEscape(name);
    }
    if (!id.empty()) {
        text += L" id=" + LogEscape(id);
    }
    return text;
}

}  // namespace

// ---- text helpers ----

std::wstring LowerAscii(std::wstring_view text) {
    std::wstring out(text);
    for (wchar_t& c : out) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return out;
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        wchar_t x = a[i] >= L'A' && a[i] <= L'Z' ? static_cast<wchar_t>(a[i] - L'A' + L'a') : a[i];
        wchar_t y = b[i] >= L'A' && b[i] <= L'Z' ? static_cast<wchar_t>(b[i] - L'A' + L'a') : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

namespace {

// The character reference that starts at text[i] (an "&"): its length, with what it stands for
// appended to `out`; 0, with nothing appended, when no reference we know starts there.
size_t DecodeReferenceAt(std::wstring_view text, size_t i, std::wstring& out) {
    size_t j = i + 1;
    if (j < text.size() && text[j] == L'#') {
        ++j;
        bool hex = j < text.size() && (text[j] == L'x' || text[j] == L'X');
        if (hex) {
            ++j;
        }
        unsigned long cp = 0;
        size_t digits = 0;
        while (j < text.size()) {
            wchar_t c = text[j];
            int d = -1;
            if (c >= L'0' && c <= L'9') {
                d = c - L'0';
            } else if (hex && c >= L'a' && c <= L'f') {
                d = c - L'a' + 10;
            } else if (hex && c >= L'A' && c <= L'F') {
                d = c - L'A' + 10;
            }
            if (d < 0) {
                break;
            }
            cp = std::min<unsigned long>(cp * (hex ? 16 : 10) + d, 0x110000);
            ++digits;
            ++j;
        }
        if (digits == 0) {
            return 0;
        }
        if (j < text.size() && text[j] == L';') {
            ++j;
        }
        AppendCodePoint(out, cp);
        return j - i;
    }
    size_t semicolon = text.find(L';', j);
    if (semicolon != std::wstring_view::npos && semicolon - j <= 8) {
        std::wstring_view name = text.substr(j, semicolon - j);
        for (const Entity& entity : kEntities) {
            if (entity.name == name) {
                out += entity.value;
                return semicolon + 1 - i;
            }
        }
    }
    return 0;
}

// An attribute value kept as the page wrote it, with every "&" written as "&amp;" the way a
// browser's serializer writes it: a reference that stands for "&" and an "&" that starts no
// reference both become "&amp;"; other references stay as written.
std::wstring SerializeSourceValue(std::wstring_view source) {
    std::wstring out;
    out.reserve(source.size());
    size_t i = 0;
    while (i < source.size()) {
        if (source[i] != L'&') {
            out += source[i++];
            continue;
        }
        std::wstring decoded;
        const size_t length = DecodeReferenceAt(source, i, decoded);
        if (length == 0 || decoded == L"&") {
            out += L"&amp;";
            i += length == 0 ? 1 : length;
        } else {
            out.append(source.substr(i, length));
            i += length;
        }
    }
    return out;
}

}  // namespace

std::wstring DecodeEntities(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == L'&') {
            if (const size_t length = DecodeReferenceAt(text, i, out)) {
                i += length;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

unsigned DetectCodePage(std::string_view bytes) {
    if (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF &&
        static_cast<unsigned char>(bytes[1]) == 0xBB &&
        static_cast<unsigned char>(bytes[2]) == 0xBF) {
        return CP_UTF8;
    }
    std::string head(bytes.substr(0, 4096));
    for (char& c : head) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    size_t meta = 0;
    while ((meta = head.find("<meta", meta)) != std::string::npos) {
        size_t end = head.find('>', meta);
        std::string tag =
            head.substr(meta, end == std::string::npos ? std::string::npos : end - meta);
        meta += 5;
        size_t at = tag.find("charset");
        if (at == std::string::npos) {
            continue;
        }
        at += 7;
        while (at < tag.size() &&
               (tag[at] == ' ' || tag[at] == '=' || tag[at] == '"' || tag[at] == '\'')) {
            ++at;
        }
        size_t stop = at;
        while (stop < tag.size() && (std::isalnum(static_cast<unsigned char>(tag[stop])) ||
                                     tag[stop] == '-' || tag[stop] == '_')) {
            ++stop;
        }
        std::string charset = tag.substr(at, stop - at);
        if (charset == "gbk" || charset == "gb2312" || charset == "gb18030" || charset == "x-gbk" ||
            charset == "cp936") {
            return 936;
        }
        return CP_UTF8;
    }
    return CP_UTF8;
}

std::wstring BytesToWide(std::string_view bytes, unsigned codePage) {
    if (bytes.empty()) {
        return {};
    }
    int length =
        MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(),
                        length);
    return out;
}

std::string WideToBytes(std::wstring_view text, unsigned codePage) {
    if (text.empty()) {
        return {};
    }
    int length = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), length,
                        nullptr, nullptr);
    return out;
}

// ---- Node ----

Node::Node(Document* owner, NodeKind kind) : owner_(owner), kind_(kind) {}

std::shared_ptr<Node> Node::Self() const {
    if (!parent_) {
        return owner_ && owner_->root_.get() == this ? owner_->root_ : nullptr;
    }
    // Every node is made by make_shared and owned by its parent while it has one.
    return std::const_pointer_cast<Node>(shared_from_this());
}

bool Node::HasTag(std::wstring_view tag) const {
    return kind_ == NodeKind::Element && EqualsNoCase(name_, tag);
}

bool Node::IsVoid() const {
    return kind_ == NodeKind::Element && IsVoidTag(LowerAscii(name_));
}

const Attribute* Node::FindAttribute(std::wstring_view name) const {
    for (const Attribute& attr : attributes_) {
        if (EqualsNoCase(attr.name, name)) {
            return &attr;
        }
    }
    return nullptr;
}

std::wstring Node::GetAttribute(std::wstring_view name) const {
    const Attribute* attr = FindAttribute(name);
    return attr ? attr->value : std::wstring();
}

void Node::SetAttribute(std::wstring_view name, std::wstring_view value, Quoting quoting) {
    for (Attribute& attr : attributes_) {
        if (EqualsNoCase(attr.name, name)) {
            attr.value.assign(value);
            attr.quoting = quoting;
            attr.fromSource = false;
            attr.source.clear();
            Touch();
            return;
        }
    }
    Attribute attr;
    attr.name.assign(name);
    attr.value.assign(value);
    attr.quoting = quoting;
    attributes_.push_back(std::move(attr));
    Touch();
}

void Node::RemoveAttribute(std::wstring_view name) {
    auto it = std::remove_if(attributes_.begin(), attributes_.end(),
                             [&](const Attribute& a) { return EqualsNoCase(a.name, name); });
    if (it != attributes_.end()) {
        attributes_.erase(it, attributes_.end());
        Touch();
    }
}

void Node::Touch() {
    if (owner_) {
        ++owner_->version_;
    }
}

void Node::AppendChild(std::shared_ptr<Node> child) {
    InsertChild(children_.size(), std::move(child));
}

void Node::InsertChild(size_t index, std::shared_ptr<Node> child) {
    if (child->parent_) {
        child->parent_->RemoveChild(child.get());
    }
    child->parent_ = this;
    children_.insert(
        children_.begin() + static_cast<std::ptrdiff_t>(std::min(index, children_.size())),
        std::move(child));
    Touch();
}

std::shared_ptr<Node> Node::RemoveChild(Node* child) {
    for (auto it = children_.begin(); it != children_.end(); ++it) {
        if (it->get() == child) {
            std::shared_ptr<Node> removed = std::move(*it);
            children_.erase(it);
            removed->parent_ = nullptr;
            Touch();
            return removed;
        }
    }
    return nullptr;
}

void Node::RemoveChildren() {
    for (auto& child : children_) {
        child->parent_ = nullptr;
    }
    children_.clear();
    Touch();
}

Node* Node::AppendElement(std::wstring_view tag, std::initializer_list<AttributeInit> attributes) {
    auto node = std::make_shared<Node>(owner_, NodeKind::Element);
    node->name_.assign(tag);
    for (const AttributeInit& init : attributes) {
        Attribute attr;
        attr.name.assign(init.name);
        attr.value.assign(init.value);
        attr.quoting = init.quoting;
        node->attributes_.push_back(std::move(attr));
    }
    Node* raw = node.get();
    AppendChild(std::move(node));
    return raw;
}

Node* Node::AppendText(std::wstring_view text) {
    auto node = std::make_shared<Node>(owner_, NodeKind::Text);
    node->data_.assign(text);
    node->rawText_ = kind_ == NodeKind::Element && HtmlParser::IsRawTextTag(LowerAscii(name_)) &&
                     !HtmlParser::IsEscapableRawTextTag(LowerAscii(name_));
    Node* raw = node.get();
    AppendChild(std::move(node));
    return raw;
}

Node* Node::AppendComment(std::wstring_view text) {
    auto node = std::make_shared<Node>(owner_, NodeKind::Comment);
    node->data_.assign(text);
    Node* raw = node.get();
    AppendChild(std::move(node));
    return raw;
}

void Node::AppendHtml(std::wstring_view html) {
    std::wstring lower = LowerAscii(name_);
    if (kind_ == NodeKind::Element && HtmlParser::IsRawTextTag(lower)) {
        AppendText(HtmlParser::IsEscapableRawTextTag(lower) ? DecodeEntities(html)
                                                            : std::wstring(html));
        return;
    }
    HtmlParser::ParseInto(this, html);
}

std::vector<Node*> Node::Descendants() const {
    std::vector<Node*> out;
    std::vector<std::pair<const Node*, size_t>> stack{{this, 0}};
    while (!stack.empty()) {
        auto& [node, index] = stack.back();
        if (index >= node->children_.size()) {
            stack.pop_back();
            continue;
        }
        Node* child = node->children_[index++].get();
        if (child->kind_ == NodeKind::Element) {
            out.push_back(child);
            stack.emplace_back(child, 0);
        }
    }
    return out;
}

Node* Node::Ancestor(std::wstring_view tag) const {
    for (Node* node = parent_; node; node = node->parent_) {
        if (node->HasTag(tag)) {
            return node;
        }
    }
    return nullptr;
}

void Node::WriteHtml(std::wstring& out) const {
    switch (kind_) {
        case NodeKind::Text:
            if (fromSource_) {
                out += source_;
            } else {
                out += rawText_ ? data_ : EscapeText(data_);
            }
            return;
        case NodeKind::Comment:
            out += L"<!--";
            out += data_;
            out += L"-->";
            return;
        case NodeKind::Document:
            for (const auto& child : children_) {
                child->WriteHtml(out);
            }
            return;
        case NodeKind::Element:
            break;
    }
    out += L"<";
    out += name_;
    for (const Attribute& attr : attributes_) {
        out += L" ";
        out += attr.name;
        std::wstring value = attr.fromSource ? SerializeSourceValue(attr.source)
                                             : EscapeAttribute(attr.value, attr.quoting);
        switch (attr.quoting) {
            case Quoting::Double:
                out += L"=\"" + value + L"\"";
                break;
            case Quoting::Single:
                out += L"='" + value + L"'";
                break;
            case Quoting::Unquoted:
                out += L"=" + value;
                break;
            case Quoting::Bare:
                break;
        }
    }
    out += L">";
    if (IsVoid()) {
        return;
    }
    for (const auto& child : children_) {
        child->WriteHtml(out);
    }
    out += L"</";
    out += name_;
    out += L">";
}

void Node::WriteText(std::wstring& out) const {
    if (kind_ == NodeKind::Text) {
        out += data_;
        return;
    }
    for (const auto& child : children_) {
        if (child->kind_ != NodeKind::Comment) {
            child->WriteText(out);
        }
    }
}

std::wstring Node::OuterHtml() const {
    std::wstring out;
    WriteHtml(out);
    return out;
}

std::wstring Node::InnerHtml() const {
    std::wstring out;
    for (const auto& child : children_) {
        child->WriteHtml(out);
    }
    return out;
}

std::wstring Node::TextContent() const {
    std::wstring out;
    WriteText(out);
    return out;
}

namespace {

// Builds rendered text: runs of white space become one space, blocks and <br> break lines.
class TextRenderer {
  public:
    void Walk(const Node& node, bool pre) {
        for (const auto& child : node.Children()) {
            if (child->Kind() == NodeKind::Text) {
                Text(child->Data(), pre);
            } else if (child->Kind() == NodeKind::Element) {
                std::wstring tag = LowerAscii(child->TagName());
                if (tag == L"br") {
                    ++breaks_;
                    space_ = false;
                    continue;
                }
                if (IsUnrenderedTag(tag)) {
                    continue;
                }
                bool block = IsBlockTag(tag);
                if (block) {
                    Break();
                }
                Walk(*child, pre || tag == L"pre");
                if (block) {
                    Break();
                } else if (tag == L"td" || tag == L"th") {
                    space_ = !out_.empty();
                }
            }
        }
    }

    std::wstring Result() const { return out_; }

  private:
    void Break() {
        if (!out_.empty() && breaks_ == 0) {
            breaks_ = 1;
        }
        space_ = false;
    }

    void Flush() {
        if (breaks_ > 0) {
            if (!out_.empty()) {
                for (int i = 0; i < breaks_; ++i) {
                    out_ += L"\r\n";
                }
            }
            breaks_ = 0;
            space_ = false;
        } else if (space_) {
            out_ += L' ';
            space_ = false;
        }
    }

    void Text(const std::wstring& text, bool pre) {
        for (wchar_t c : text) {
            if (pre) {
                Flush();
                if (c == L'\n') {
                    out_ += L"\r\n";
                } else if (c != L'\r') {
                    out_ += c;
                }
            } else if (IsSpace(c)) {
                space_ = !out_.empty() || space_;
            } else {
                if (out_.empty()) {
                    space_ = false;
                }
                Flush();
                out_ += c == 0xA0 ? L' ' : c;
            }
        }
    }

    std::wstring out_;
    int breaks_ = 0;
    bool space_ = false;
};

}  // namespace

std::wstring Node::InnerText() const {
    if (kind_ == NodeKind::Text) {
        return CollapseSpaces(data_);
    }
    if (HasTag(L"textarea") || HasTag(L"title") || HasTag(L"script") || HasTag(L"style")) {
        return TextContent();
    }
    TextRenderer renderer;
    renderer.Walk(*this, HasTag(L"pre"));
    return renderer.Result();
}

std::wstring Node::TypeProperty() const {
    if (kind_ != NodeKind::Element) {
        return {};
    }
    std::wstring tag = LowerAscii(name_);
    std::wstring type = LowerAscii(CollapseSpaces(GetAttribute(L"type")));
    if (tag == L"input") {
        static const std::wstring_view kKnown[] = {
            L"text",   L"password", L"file",     L"hidden",        L"submit", L"reset",
            L"button", L"image",    L"checkbox", L"radio",         L"search", L"email",
            L"url",    L"tel",      L"number",   L"range",         L"date",   L"color",
            L"month",  L"week",     L"time",     L"datetime-local"};
        for (std::wstring_view known : kKnown) {
            if (type == known) {
                return type;
            }
        }
        return L"text";  // absent or unknown types are text fields
    }
    if (tag == L"button") {
        return type == L"reset" || type == L"button" ? type : L"submit";
    }
    if (tag == L"textarea") {
        return L"textarea";
    }
    if (tag == L"select") {
        return HasAttribute(L"multiple") ? L"select-multiple" : L"select-one";
    }
    return GetAttribute(L"type");  // a, link, ol, ...: the attribute as written
}

std::wstring Node::HrefProperty() const {
    if (kind_ != NodeKind::Element ||
        !(HasTag(L"a") || HasTag(L"area") || HasTag(L"link") || HasTag(L"base"))) {
        return {};
    }
    const Attribute* href = FindAttribute(L"href");
    if (!href) {
        return {};
    }
    if (!owner_) {
        return href->value;
    }
    return ResolveUrl(HasTag(L"base") ? owner_->Url() : owner_->BaseUrl(), href->value);
}

std::wstring Node::Value() const {
    if (dirtyValue_) {
        return *dirtyValue_;
    }
    if (HasTag(L"textarea")) {
        std::wstring text = TextContent();
        if (!text.empty() && text[0] == L'\n') {
            text.erase(0, 1);  // the line break right after <textarea> is not content
        } else if (text.size() >= 2 && text[0] == L'\r' && text[1] == L'\n') {
            text.erase(0, 2);
        }
        return text;
    }
    if (HasTag(L"select")) {
        Node* first = nullptr;
        for (Node* option : Descendants()) {
            if (option->HasTag(L"option")) {
                if (option->HasAttribute(L"selected")) {
                    return option->Value();
                }
                if (!first) {
                    first = option;
                }
            }
        }
        return first ? first->Value() : std::wstring();
    }
    if (HasTag(L"option")) {
        return HasAttribute(L"value") ? GetAttribute(L"value") : CollapseSpaces(TextContent());
    }
    if (HasTag(L"input")) {
        std::wstring type = TypeProperty();
        if ((type == L"checkbox" || type == L"radio") && !HasAttribute(L"value")) {
            return L"on";
        }
    }
    return GetAttribute(L"value");
}

bool Node::SetValue(std::wstring_view value) {
    if (kind_ != NodeKind::Element) {
        return false;
    }
    std::wstring text(value);
    if (HasTag(L"input")) {
        std::wstring type = TypeProperty();
        if (type == L"file" && !text.empty()) {
            return false;  // a page may only clear a file field, never choose the file
        }
        // A one-line field drops line breaks.
        text.erase(std::remove_if(text.begin(), text.end(),
                                  [](wchar_t c) { return c == L'\r' || c == L'\n'; }),
                   text.end());
    }
    LogLine(L"Value " + DescribeForLog(*this) + L" " + LogEscape(text));
    dirtyValue_ = std::move(text);
    return true;
}

bool Node::SetInnerHtml(std::wstring_view html) {
    if (kind_ != NodeKind::Element || IsVoid()) {
        return false;
    }
    RemoveChildren();
    AppendHtml(html);
    return true;
}

bool Node::Checked() const {
    if (dirtyChecked_) {
        return *dirtyChecked_;
    }
    return HasAttribute(L"checked");
}

void Node::ResetFormState() {
    for (Node* element : Descendants()) {
        element->dirtyValue_.reset();
        element->dirtyChecked_.reset();
    }
}

void Node::Click() {
    if (kind_ != NodeKind::Element) {
        return;
    }
    LogLine(L"Click " + DescribeForLog(*this));
    if (Disabled()) {
        return;
    }
    std::wstring tag = LowerAscii(name_);
    std::wstring type = TypeProperty();
    if (tag == L"input" || tag == L"button") {
        Node* form = Form();
        if (tag == L"input" && type == L"checkbox") {
            dirtyChecked_ = !Checked();
        } else if (tag == L"input" && type == L"radio") {
            std::wstring name = GetAttribute(L"name");
            if (!name.empty() && owner_) {
                Node* scope = form ? form : owner_->Root();
                for (Node* other : scope->Descendants()) {
                    if (other != this && other->HasTag(L"input") &&
                        other->TypeProperty() == L"radio" && other->GetAttribute(L"name") == name) {
                        other->dirtyChecked_ = false;
                    }
                }
            }
            dirtyChecked_ = true;
        } else if (type == L"reset" && form) {
            form->ResetFormState();
        } else if ((type == L"submit" || (tag == L"input" && type == L"image")) && form && owner_) {
            std::vector<std::pair<std::wstring, std::wstring>> data;
            CollectFormData(form, this, data);
            std::wstring query;
            for (const auto& [name, value] : data) {
                if (!query.empty()) {
                    query += L'&';
                }
                query += FormEncode(name) + L"=" + FormEncode(value);
            }
            std::wstring action = form->GetAttribute(L"action");
            std::wstring target =
                action.empty() ? owner_->Url() : ResolveUrl(owner_->BaseUrl(), action);
            UrlParts parts = SplitUrl(target);
            if (parts.scheme == L"javascript") {
                return;
            }
            parts.hasQuery = true;
            parts.query = query;
            parts.hasFragment = false;
            parts.fragment.clear();
            std::wstring url = JoinUrl(parts);
            LogLine(L"Submit " + LogEscape(url));
            owner_->RequestNavigation({NavigationRequest::Kind::Submit, url});
        }
        return;
    }
    // A click on a link, or on anything inside one, follows it.
    const Node* link = this;
    while (link &&
           !((link->HasTag(L"a") || link->HasTag(L"area")) && link->HasAttribute(L"href"))) {
        link = link->parent_;
    }
    if (!link || !owner_) {
        return;
    }
    std::wstring href = link->GetAttribute(L"href");
    std::wstring url = link->HrefProperty();
    if (SplitUrl(url).scheme == L"javascript") {
        return;
    }
    size_t start = href.find_first_not_of(L" \t\r\n");
    if (start != std::wstring::npos && href[start] == L'#') {
        return;  // a jump within the page loads nothing
    }
    LogLine(L"Link " + LogEscape(url));
    owner_->RequestNavigation({NavigationRequest::Kind::Link, url});
}

// ---- Document ----

Document::Document(std::wstring url)
    : url_(url.empty() ? L"about:blank" : NormalizeAddress(url)),
      root_(std::make_shared<Node>(this, NodeKind::Document)) {}

Document::~Document() = default;

std::shared_ptr<Document> Document::Create(std::wstring url) {
    auto doc = std::make_shared<Document>(std::move(url));
    doc->Normalize();
    return doc;
}

std::shared_ptr<Document> Document::Parse(std::wstring_view html, std::wstring url) {
    auto doc = std::make_shared<Document>(std::move(url));
    HtmlParser::ParseInto(doc->root_.get(), html);
    doc->Normalize();
    return doc;
}

std::shared_ptr<Document> Document::Load(std::string_view bytes, std::wstring url) {
    unsigned codePage = DetectCodePage(bytes);
    std::wstring text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
        codePage = 1200;
    } else {
        text = BytesToWide(bytes, codePage);
        if (!text.empty() && text[0] == 0xFEFF) {
            text.erase(0, 1);
        }
    }
    auto doc = Parse(text, std::move(url));
    doc->charset_ = codePage == 936 ? L"gbk" : codePage == 1200 ? L"utf-16" : L"utf-8";
    return doc;
}

Node* Document::DocumentElement() const {
    for (const auto& child : root_->children_) {
        if (child->HasTag(L"html")) {
            return child.get();
        }
    }
    return nullptr;
}

Node* Document::Head() const {
    Node* html = DocumentElement();
    if (!html) {
        return nullptr;
    }
    for (const auto& child : html->children_) {
        if (child->HasTag(L"head")) {
            return child.get();
        }
    }
    return nullptr;
}

Node* Document::Body() const {
    Node* html = DocumentElement();
    if (!html) {
        return nullptr;
    }
    for (const auto& child : html->children_) {
        if (child->HasTag(L"body")) {
            return child.get();
        }
    }
    return nullptr;
}

std::wstring Document::BaseUrl() const {
    // Every link address read asks for it: walk the page again only when it has changed.
    if (baseUrlVersion_ != version_) {
        baseUrl_ = url_;
        for (Node* element : AllElements()) {
            if (element->HasTag(L"base") && element->HasAttribute(L"href")) {
                baseUrl_ = ResolveUrl(url_, element->GetAttribute(L"href"));
                break;
            }
        }
        baseUrlVersion_ = version_;
    }
    return baseUrl_;
}

std::wstring Document::Title() const {
    for (Node* element : AllElements()) {
        if (element->HasTag(L"title")) {
            return CollapseSpaces(element->TextContent());
        }
    }
    return {};
}

std::vector<Node*> Document::ElementsByTag(std::wstring_view tag) const {
    std::vector<Node*> out;
    for (Node* element : AllElements()) {
        if (element->HasTag(tag)) {
            out.push_back(element);
        }
    }
    return out;
}

Node* Document::ElementById(std::wstring_view id) const {
    for (Node* element : AllElements()) {
        const Attribute* attr = element->FindAttribute(L"id");
        if (attr && attr->value == id) {
            return element;
        }
    }
    return nullptr;
}

void Document::SetNavigationHandler(std::function<void(const NavigationRequest&)> handler) {
    navigate_ = std::move(handler);
}

void Document::RequestNavigation(const NavigationRequest& request) {
    if (navigate_) {
        // A copy: the handler may replace itself while it runs.
        auto handler = navigate_;
        handler(request);
    }
}

void Document::Normalize() {
    // Children are moved in bulk: a page of many top-level nodes must not cost a removal each.
    auto adopt = [](Node* parent, std::shared_ptr<Node> child) {
        child->parent_ = parent;
        parent->children_.push_back(std::move(child));
    };
    auto makeElement = [this](const wchar_t* tag) {
        auto element = std::make_shared<Node>(this, NodeKind::Element);
        element->name_ = tag;
        return element;
    };
    auto isBlankText = [](const Node& node) {
        return node.kind_ == NodeKind::Text && std::all_of(node.data_.begin(), node.data_.end(),
                                                           [](wchar_t c) { return IsSpace(c); });
    };
    auto isHeadContent = [](const Node& node) {
        return node.kind_ == NodeKind::Element &&
               OneOf(LowerAscii(node.name_),
                     {L"title", L"meta", L"link", L"base", L"style", L"script"});
    };

    Node* root = root_.get();
    Node* html = DocumentElement();
    if (!html) {
        std::shared_ptr<Node> element = makeElement(L"html");
        html = element.get();
        std::vector<std::shared_ptr<Node>> children;
        children.swap(root->children_);
        for (auto& child : children) {
            Node* parent = child->kind_ == NodeKind::Comment ? root : html;
            adopt(parent, std::move(child));
        }
        adopt(root, std::move(element));
    }
    std::shared_ptr<Node> head = Head() ? Head()->Self() : makeElement(L"head");
    std::shared_ptr<Node> body = Body() ? Body()->Self() : nullptr;
    bool hadBody = body != nullptr;
    if (!body) {
        body = makeElement(L"body");
    }
    std::vector<std::shared_ptr<Node>> children;
    children.swap(html->children_);
    std::vector<std::shared_ptr<Node>> beforeBody;  // content that belongs at the body's start
    std::vector<std::shared_ptr<Node>> kept;        // comments and blank text of <html> itself
    bool inHead = true;
    bool afterBody = false;
    for (auto& child : children) {
        if (child == head) {
            continue;
        }
        if (child == body) {
            afterBody = true;
            continue;
        }
        if (!hadBody) {
            // Leading head elements go to the head; everything from the first content on to the
            // body.
            if (inHead && (isHeadContent(*child) || isBlankText(*child) ||
                           child->kind_ == NodeKind::Comment)) {
                if (!isBlankText(*child)) {
                    adopt(head.get(), std::move(child));
                }
                continue;
            }
            inHead = false;
            adopt(body.get(), std::move(child));
        } else if (isBlankText(*child) || child->kind_ == NodeKind::Comment) {
            kept.push_back(std::move(child));
        } else if (afterBody) {
            adopt(body.get(), std::move(child));
        } else {
            child->parent_ = body.get();
            beforeBody.push_back(std::move(child));
        }
    }
    body->children_.insert(body->children_.begin(), beforeBody.begin(), beforeBody.end());
    adopt(html, std::move(head));
    for (auto& child : kept) {
        adopt(html, std::move(child));
    }
    adopt(html, std::move(body));
}

}  // namespace standin
