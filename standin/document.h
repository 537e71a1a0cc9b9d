#pragma once
// The stand-in browser's document model: a small HTML node tree, a tolerant loader for our own
// pages, a builder for tests that want a page without writing HTML, and what the page does when
// its elements are clicked or written. Text is UTF-16, as it travels through BSTRs.
//
// Automation access (IDispatch objects with type information over this tree) is in
// dom_objects.h; addresses in url.h.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

class Document;

enum class NodeKind { Document, Element, Text, Comment };

// How an attribute was written, so that markup reads back the way the page wrote it; except that
// every "&" of a value reads back as "&amp;", as a browser's serializer writes it.
enum class Quoting {
    Double,    // name="value"
    Single,    // name='value'
    Unquoted,  // name=value
    Bare,      // name (no value)
};

struct Attribute {
    std::wstring name;   // as written
    std::wstring value;  // entities decoded
    Quoting quoting = Quoting::Double;
    std::wstring source;      // the value exactly as the page wrote it (entities not decoded)
    bool fromSource = false;  // false for attributes set by code: markup then escapes the value
};

struct AttributeInit {
    std::wstring_view name;
    std::wstring_view value;
    Quoting quoting = Quoting::Double;
};

// What a click asks of the browser that shows the page.
struct NavigationRequest {
    enum class Kind { Link, Submit };
    Kind kind = Kind::Link;
    std::wstring url;  // absolute
};

class Node : public std::enable_shared_from_this<Node> {
  public:
    Node(Document* owner, NodeKind kind);
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    NodeKind Kind() const { return kind_; }
    bool IsElement() const { return kind_ == NodeKind::Element; }
    Document* Owner() const { return owner_; }
    Node* Parent() const { return parent_; }
    const std::vector<std::shared_ptr<Node>>& Children() const { return children_; }
    // An owning pointer to this node while it is in a tree (below a parent, or the document's
    // root); null once it has been taken out. Constant time: pages hold many thousands of
    // siblings.
    std::shared_ptr<Node> Self() const;

    // Elements. Tag and attribute names compare case-insensitively.
    const std::wstring& TagName() const { return name_; }  // as written
    bool HasTag(std::wstring_view tag) const;
    bool IsVoid() const;  // input, br, img, ...: no content, no end tag
    const std::vector<Attribute>& Attributes() const { return attributes_; }
    const Attribute* FindAttribute(std::wstring_view name) const;
    std::wstring GetAttribute(std::wstring_view name) const;  // empty when absent
    bool HasAttribute(std::wstring_view name) const { return FindAttribute(name) != nullptr; }
    void SetAttribute(std::wstring_view name, std::wstring_view value,
                      Quoting quoting = Quoting::Double);
    void RemoveAttribute(std::wstring_view name);

    // Text and comment nodes.
    const std::wstring& Data() const { return data_; }

    // Building. Each returns the new node, which the tree owns.
    Node* AppendElement(std::wstring_view tag,
                        std::initializer_list<AttributeInit> attributes = {});
    Node* AppendText(std::wstring_view text);
    Node* AppendComment(std::wstring_view text);
    void AppendHtml(std::wstring_view html);  // parses a fragment in the context of this element
    void RemoveChildren();
    void AppendChild(std::shared_ptr<Node> child);
    void InsertChild(size_t index, std::shared_ptr<Node> child);
    std::shared_ptr<Node> RemoveChild(Node* child);

    // Reading back.
    std::wstring OuterHtml() const;
    std::wstring InnerHtml() const;
    std::wstring InnerText() const;    // rendered text: spaces collapsed, line breaks for blocks
    std::wstring TextContent() const;  // all text below, as written

    // Elements below this node, in document order (not the node itself).
    std::vector<Node*> Descendants() const;
    Node* Ancestor(std::wstring_view tag) const;  // nearest enclosing element of that tag

    // The element properties the page offers, as a browser reports them.
    std::wstring TypeProperty() const;
    std::wstring HrefProperty() const;  // resolved against the document's address
    std::wstring Value() const;
    bool SetValue(std::wstring_view value);     // false when the element refuses it
    bool SetInnerHtml(std::wstring_view html);  // false for elements without content
    bool Checked() const;
    bool Disabled() const { return HasAttribute(L"disabled"); }
    Node* Form() const { return Ancestor(L"form"); }

    // What a user's click does: follows a link, submits or resets a form, toggles a box.
    void Click();

  private:
    friend class Document;
    friend class HtmlParser;
    friend class HtmlReader;
    void Touch();
    void ResetFormState();
    void WriteHtml(std::wstring& out) const;
    void WriteText(std::wstring& out) const;

    Document* owner_;
    NodeKind kind_;
    Node* parent_ = nullptr;
    std::vector<std::shared_ptr<Node>> children_;
    std::wstring name_;  // tag name for elements
    std::vector<Attribute> attributes_;
    std::wstring data_;    // text or comment
    std::wstring source_;  // text as written (entities undecoded), when it came from a page
    bool fromSource_ = false;
    bool rawText_ = false;  // text of script/style/textarea/...: never escaped in markup
    std::optional<std::wstring> dirtyValue_;
    std::optional<bool> dirtyChecked_;

  public:
    // Automation object currently standing for this element (weak: the object clears it).
    void* automationObject = nullptr;
};

class Document : public std::enable_shared_from_this<Document> {
  public:
    // An empty page (html, head and body) at the given address.
    static std::shared_ptr<Document> Create(std::wstring url = L"about:blank");
    // A page from markup.
    static std::shared_ptr<Document> Parse(std::wstring_view html, std::wstring url);
    // A page from the bytes of a file: UTF-8 unless the page declares gbk/gb2312 (code page 936).
    static std::shared_ptr<Document> Load(std::string_view bytes, std::wstring url);

    explicit Document(std::wstring url);
    ~Document();
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    const std::wstring& Url() const { return url_; }
    std::wstring BaseUrl() const;  // the first <base href>, else the address
    std::wstring Title() const;
    std::wstring Charset() const { return charset_; }

    Node* Root() const { return root_.get(); }
    Node* DocumentElement() const;  // <html>
    Node* Head() const;
    Node* Body() const;

    // Every element of the page (below <html>), in document order.
    std::vector<Node*> AllElements() const { return root_->Descendants(); }
    std::vector<Node*> ElementsByTag(std::wstring_view tag) const;
    Node* ElementById(std::wstring_view id) const;

    // Increases on every change of the tree, so cached views know when to look again.
    uint64_t Version() const { return version_; }

    // Who follows links and submissions of this page. Without a handler clicks change nothing
    // outside the page.
    void SetNavigationHandler(std::function<void(const NavigationRequest&)> handler);
    void RequestNavigation(const NavigationRequest& request);

    // Automation object currently standing for this document (weak: the object clears it).
    void* automationObject = nullptr;

  private:
    friend class Node;
    friend class HtmlParser;
    friend class HtmlReader;
    void Normalize();  // gives the tree its html/head/body skeleton

    std::wstring url_;
    std::wstring charset_ = L"utf-8";
    std::shared_ptr<Node> root_;
    uint64_t version_ = 0;
    // The base address as last worked out, and the version of the page it was worked out for.
    mutable uint64_t baseUrlVersion_ = UINT64_MAX;
    mutable std::wstring baseUrl_;
    std::function<void(const NavigationRequest&)> navigate_;
};

// Lower-case ASCII letters only: tag, attribute and type names.
std::wstring LowerAscii(std::wstring_view text);
bool EqualsNoCase(std::wstring_view a, std::wstring_view b);

// Entities of a page's text, decoded (&amp; &lt; &#233; &#x4E2D; &nbsp; ...). Unknown ones stay.
std::wstring DecodeEntities(std::wstring_view text);

// The code page a page's bytes are written in: 936 when it declares gbk, gb2312 or gb18030 in a
// <meta charset> or http-equiv content type, else UTF-8.
unsigned DetectCodePage(std::string_view bytes);

// Conversions between UTF-16 and byte texts.
std::wstring BytesToWide(std::string_view bytes, unsigned codePage);
std::string WideToBytes(std::wstring_view text, unsigned codePage);
inline std::wstring Utf8ToWide(std::string_view bytes) {
    return BytesToWide(bytes, 65001);
}
inline std::string WideToUtf8(std::wstring_view text) {
    return WideToBytes(text, 65001);
}

}  // namespace standin
