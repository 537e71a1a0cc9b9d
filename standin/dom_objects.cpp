#include "standin/dom_objects.h"

#include <mshtml.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "standin/automation_object.h"

namespace standin {
namespace {

// Member ids.
enum : DISPID {
    kItem = DISPID_VALUE,  // collection
    kLength = 1,
    kTags = 2,
    kType = 101,  // element
    kName,
    kId,
    kTitle,
    kHref,
    kInnerText,
    kClassName,
    kInnerHtml,
    kOuterHtml,
    kValue,
    kClick,
    kAll,
    kTagName,
    kGetAttribute,
    kParentElement,
    kChecked,
    kBody = 201,  // document
    kDocumentAll,
    kUrl,
    kDocumentTitle,
    kReadyState,
    kGetElementById,
};

PARAMDATA g_textParam[] = {{const_cast<OLECHAR*>(L"v"), VT_BSTR}};
PARAMDATA g_variantParam[] = {{const_cast<OLECHAR*>(L"v"), VT_VARIANT}};
PARAMDATA g_nameParam[] = {{const_cast<OLECHAR*>(L"name"), VT_BSTR}};

#define GETTER(name, id, type, slot) \
    { const_cast<OLECHAR*>(name), nullptr, id, slot, CC_STDCALL, 0, DISPATCH_PROPERTYGET, type }
#define PUTTER(name, id, slot)                                                                  \
    {                                                                                           \
        const_cast<OLECHAR*>(name), g_textParam, id, slot, CC_STDCALL, 1, DISPATCH_PROPERTYPUT, \
            VT_EMPTY                                                                            \
    }
#define METHOD(name, id, params, count, type, slot) \
    { const_cast<OLECHAR*>(name), params, id, slot, CC_STDCALL, count, DISPATCH_METHOD, type }

METHODDATA g_elementMembers[] = {
    GETTER(L"type", kType, VT_BSTR, 7),
    GETTER(L"name", kName, VT_BSTR, 8),
    GETTER(L"id", kId, VT_BSTR, 9),
    GETTER(L"title", kTitle, VT_BSTR, 10),
    GETTER(L"href", kHref, VT_BSTR, 11),
    GETTER(L"innerText", kInnerText, VT_BSTR, 12),
    GETTER(L"className", kClassName, VT_BSTR, 13),
    GETTER(L"innerHTML", kInnerHtml, VT_BSTR, 14),
    PUTTER(L"innerHTML", kInnerHtml, 15),
    GETTER(L"outerHTML", kOuterHtml, VT_BSTR, 16),
    GETTER(L"value", kValue, VT_BSTR, 17),
    PUTTER(L"value", kValue, 18),
    METHOD(L"click", kClick, nullptr, 0, VT_EMPTY, 19),
    GETTER(L"all", kAll, VT_DISPATCH, 20),
    GETTER(L"tagName", kTagName, VT_BSTR, 21),
    METHOD(L"getAttribute", kGetAttribute, g_nameParam, 1, VT_VARIANT, 22),
    GETTER(L"parentElement", kParentElement, VT_DISPATCH, 23),
    GETTER(L"checked", kChecked, VT_BOOL, 24),
};

METHODDATA g_collectionMembers[] = {
    METHOD(L"item", kItem, g_variantParam, 1, VT_DISPATCH, 7),
    GETTER(L"length", kLength, VT_I4, 8),
    METHOD(L"tags", kTags, g_variantParam, 1, VT_DISPATCH, 9),
};

METHODDATA g_documentMembers[] = {
    GETTER(L"body", kBody, VT_DISPATCH, 8),
    GETTER(L"all", kDocumentAll, VT_DISPATCH, 9),
    GETTER(L"URL", kUrl, VT_BSTR, 10),
    GETTER(L"title", kDocumentTitle, VT_BSTR, 11),
    GETTER(L"readyState", kReadyState, VT_BSTR, 12),
    METHOD(L"getElementById", kGetElementById, g_nameParam, 1, VT_DISPATCH, 13),
};

#undef GETTER
#undef PUTTER
#undef METHOD

// The interface type info of a member table, made once and kept for the life of the process.
ITypeInfo* BuildTypeInfo(METHODDATA* members, UINT count) {
    INTERFACEDATA data = {members, count};
    ITypeInfo* coclass = nullptr;
    if (FAILED(CreateDispTypeInfo(&data, LOCALE_SYSTEM_DEFAULT, &coclass))) {
        return nullptr;
    }
    // CreateDispTypeInfo describes a class; callers bind on the interface it implements, as they
    // do with a browser's dispatch interfaces.
    ITypeInfo* iface = nullptr;
    HREFTYPE href = 0;
    if (FAILED(coclass->GetRefTypeOfImplType(0, &href)) ||
        FAILED(coclass->GetRefTypeInfo(href, &iface))) {
        return coclass;
    }
    return iface;  // the class stays referenced too, for the life of the process
}

}  // namespace

ITypeInfo* ElementTypeInfo() {
    static ITypeInfo* info = BuildTypeInfo(g_elementMembers, ARRAYSIZE(g_elementMembers));
    return info;
}
ITypeInfo* CollectionTypeInfo() {
    static ITypeInfo* info = BuildTypeInfo(g_collectionMembers, ARRAYSIZE(g_collectionMembers));
    return info;
}
ITypeInfo* DocumentTypeInfo() {
    static ITypeInfo* info = BuildTypeInfo(g_documentMembers, ARRAYSIZE(g_documentMembers));
    return info;
}

namespace {

// {5E3A9C1B-7D41-4F0E-9B2A-6C8D1E4F7A30}: asks an object of this model for itself.
const IID IID_StandinObject = {
    0x5e3a9c1b, 0x7d41, 0x4f0e, {0x9b, 0x2a, 0x6c, 0x8d, 0x1e, 0x4f, 0x7a, 0x30}};

std::wstring TextOf(const VARIANT& v) {
    BSTR text = v.bstrVal;
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

HRESULT Failure(EXCEPINFO* info, HRESULT code, const wchar_t* description) {
    if (info) {
        ZeroMemory(info, sizeof(*info));
        info->scode = code;
        info->bstrSource = SysAllocString(L"Reelhawk stand-in document");
        info->bstrDescription = SysAllocString(description);
    }
    return DISP_E_EXCEPTION;
}

// The kind of call Invoke was asked for, checked against what the member is.
enum class Access { Get, Put, Call };

// Checks flags and argument counts for one member; fills access.
HRESULT CheckCall(WORD flags, const DISPPARAMS* params, bool readable, bool writable, bool function,
                  UINT minArgs, UINT maxArgs, Access& access) {
    UINT count = params ? params->cArgs : 0;
    UINT named = params ? params->cNamedArgs : 0;
    if ((flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0) {
        if (!writable) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (count != 1) {
            return DISP_E_BADPARAMCOUNT;
        }
        if (named > 1 || (named == 1 && params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)) {
            return DISP_E_PARAMNOTFOUND;
        }
        access = Access::Put;
        return S_OK;
    }
    if (named > 0) {
        return DISP_E_NONAMEDARGS;
    }
    if (function && (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) != 0) {
        if (count < minArgs) {
            return DISP_E_PARAMNOTOPTIONAL;
        }
        if (count > maxArgs) {
            return DISP_E_BADPARAMCOUNT;
        }
        access = Access::Call;
        return S_OK;
    }
    if (readable && (flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) != 0) {
        if (count != 0) {
            return DISP_E_BADPARAMCOUNT;
        }
        access = Access::Get;
        return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
}

// The model's objects stand for a node of a document and keep the document alive; they recognise
// each other by IID_StandinObject.
template <class Interface>
class ModelObject : public Automation<Interface, std::shared_ptr<Document>> {
  public:
    ModelObject(std::shared_ptr<Document> document, ITypeInfo* typeInfo)
        : Automation<Interface, std::shared_ptr<Document>>(std::move(document), typeInfo) {}

    const std::shared_ptr<Document>& document() const { return this->owner(); }

  protected:
    void* Identify(REFIID iid) override {
        return IsEqualIID(iid, IID_StandinObject) ? static_cast<Interface*>(this) : nullptr;
    }
};

IDispatch* NewCollection(const std::shared_ptr<Document>& document, std::shared_ptr<Node> root,
                         std::wstring tag, bool empty);
IDispatch* ElementObjectOf(const std::shared_ptr<Document>& document,
                           const std::shared_ptr<Node>& node);

class ElementObject final : public ModelObject<IDispatch> {
  public:
    ElementObject(std::shared_ptr<Document> document, std::shared_ptr<Node> node)
        : ModelObject(std::move(document), ElementTypeInfo()), node_(std::move(node)) {
        node_->automationObject = this;
    }
    ~ElementObject() override { node_->automationObject = nullptr; }

  protected:
    HRESULT Call(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* info,
                 UINT* argErr) override {
        Node& node = *node_;
        bool writable = id == kValue || id == kInnerHtml;
        bool function = id == kClick || id == kGetAttribute;
        UINT args = id == kGetAttribute ? 1 : 0;
        if (id < kType || id > kChecked) {
            return DISP_E_MEMBERNOTFOUND;
        }
        Access access;
        HRESULT hr = CheckCall(flags, params, !function, writable, function, args, args, access);
        if (FAILED(hr)) {
            return hr;
        }
        if (access == Access::Put) {
            std::wstring value;
            hr = TextArgument(params, 0, value, argErr);
            if (FAILED(hr)) {
                return hr;
            }
            if (id == kValue) {
                return node.SetValue(value) ? S_OK
                                            : Failure(info, E_ACCESSDENIED, L"Access is denied.");
            }
            return node.SetInnerHtml(value)
                       ? S_OK
                       : Failure(info, E_INVALIDARG, L"Invalid target element for this operation.");
        }
        switch (id) {
            case kType:
                return ReturnText(result, node.TypeProperty());
            case kName:
                return ReturnText(result, node.GetAttribute(L"name"));
            case kId:
                return ReturnText(result, node.GetAttribute(L"id"));
            case kTitle:
                return ReturnText(result, node.GetAttribute(L"title"));
            case kHref:
                return ReturnText(result, node.HrefProperty());
            case kInnerText:
                return ReturnText(result, node.InnerText());
            case kClassName:
                return ReturnText(result, node.GetAttribute(L"class"));
            case kInnerHtml:
                return ReturnText(result, node.InnerHtml());
            case kOuterHtml:
                return ReturnText(result, node.OuterHtml());
            case kValue:
                return ReturnText(result, node.Value());
            case kTagName:
                return ReturnText(result, UpperTag(node.TagName()));
            case kChecked:
                if (result) {
                    V_VT(result) = VT_BOOL;
                    V_BOOL(result) = node.Checked() ? VARIANT_TRUE : VARIANT_FALSE;
                }
                return S_OK;
            case kAll:
                return ReturnObject(result, NewCollection(document(), node_, L"", false));
            case kParentElement: {
                Node* parent = node.Parent();
                if (!parent || !parent->IsElement()) {
                    return ReturnObject(result, nullptr);
                }
                return ReturnObject(result, GetElementObject(document(), parent));
            }
            case kClick:
                // Keep this object (and the page) alive while the click runs: it may navigate.
                AddRef();
                node.Click();
                Release();
                return S_OK;
            case kGetAttribute: {
                std::wstring attrName;
                hr = TextArgument(params, 0, attrName, argErr);
                if (FAILED(hr)) {
                    return hr;
                }
                const Attribute* attr = node.FindAttribute(attrName);
                if (!attr) {
                    if (result) {
                        V_VT(result) = VT_NULL;
                    }
                    return S_OK;
                }
                return ReturnText(result, attr->value);
            }
            default:
                return DISP_E_MEMBERNOTFOUND;
        }
    }

  private:
    static std::wstring UpperTag(const std::wstring& tag) {
        std::wstring out(tag);
        for (wchar_t& c : out) {
            if (c >= L'a' && c <= L'z') {
                c = static_cast<wchar_t>(c - L'a' + L'A');
            }
        }
        return out;
    }

    std::shared_ptr<Node> node_;
};

class CollectionObject final : public ModelObject<IDispatch> {
  public:
    CollectionObject(std::shared_ptr<Document> document, std::shared_ptr<Node> root,
                     std::wstring tag, bool empty)
        : ModelObject(std::move(document), CollectionTypeInfo()),
          root_(std::move(root)),
          tag_(std::move(tag)),
          empty_(empty) {}

  protected:
    HRESULT Call(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                 UINT* argErr) override {
        if (id != kItem && id != kLength && id != kTags) {
            return DISP_E_MEMBERNOTFOUND;
        }
        bool function = id != kLength;
        Access access;
        HRESULT hr = CheckCall(flags, params, !function, false, function, function ? 1 : 0,
                               function ? 1 : 0, access);
        if (FAILED(hr)) {
            return hr;
        }
        const std::vector<std::shared_ptr<Node>>& items = Items();
        if (id == kLength) {
            if (result) {
                V_VT(result) = VT_I4;
                V_I4(result) = static_cast<LONG>(items.size());
            }
            return S_OK;
        }
        VARIANT arg;
        hr = Argument(params, 0, VT_VARIANT, arg, argErr);
        if (FAILED(hr)) {
            return hr;
        }
        if (id == kTags) {
            VARIANT name;
            VariantInit(&name);
            hr = VariantChangeType(&name, &arg, 0, VT_BSTR);
            VariantClear(&arg);
            if (FAILED(hr)) {
                if (argErr) {
                    *argErr = 0;
                }
                return DISP_E_TYPEMISMATCH;
            }
            std::wstring tag = TextOf(name);
            VariantClear(&name);
            // Of a collection already limited to one tag, another tag leaves nothing.
            bool empty = empty_ || (!tag_.empty() && !EqualsNoCase(tag_, tag));
            return ReturnObject(result, NewCollection(document(), root_, tag, empty));
        }
        // item: a position, or an id or name.
        IDispatch* found = nullptr;
        if (V_VT(&arg) == VT_BSTR) {
            std::wstring key = TextOf(arg);
            for (const auto& node : items) {
                const Attribute* idAttr = node->FindAttribute(L"id");
                const Attribute* nameAttr = node->FindAttribute(L"name");
                if ((idAttr && idAttr->value == key) || (nameAttr && nameAttr->value == key)) {
                    found = ElementObjectOf(document(), node);
                    break;
                }
            }
        } else if (V_VT(&arg) != VT_EMPTY && V_VT(&arg) != VT_ERROR && V_VT(&arg) != VT_NULL) {
            VARIANT index;
            VariantInit(&index);
            if (FAILED(VariantChangeType(&index, &arg, 0, VT_I4))) {
                VariantClear(&arg);
                if (argErr) {
                    *argErr = 0;
                }
                return DISP_E_TYPEMISMATCH;
            }
            LONG i = V_I4(&index);
            if (i >= 0 && static_cast<size_t>(i) < items.size()) {
                found = ElementObjectOf(document(), items[static_cast<size_t>(i)]);
            }
        }
        VariantClear(&arg);
        return ReturnObject(result, found);
    }

  private:
    // The members, taken again whenever the page has changed since the last look.
    const std::vector<std::shared_ptr<Node>>& Items() {
        uint64_t version = document()->Version();
        if (!valid_ || version != version_) {
            items_.clear();
            if (!empty_) {
                Collect(*root_);
            }
            version_ = version;
            valid_ = true;
        }
        return items_;
    }

    void Collect(const Node& node) {
        for (const auto& child : node.Children()) {
            if (child->IsElement()) {
                if (tag_.empty() || child->HasTag(tag_)) {
                    items_.push_back(child);
                }
                Collect(*child);
            }
        }
    }

    std::shared_ptr<Node> root_;
    std::wstring tag_;
    bool empty_;
    bool valid_ = false;
    uint64_t version_ = 0;
    std::vector<std::shared_ptr<Node>> items_;
};

class DocumentObject final : public ModelObject<IHTMLDocument> {
  public:
    explicit DocumentObject(std::shared_ptr<Document> document)
        : ModelObject(std::move(document), DocumentTypeInfo()) {
        this->document()->automationObject = this;
    }
    ~DocumentObject() override { document()->automationObject = nullptr; }

    // IHTMLDocument: pages here run no scripts.
    STDMETHODIMP get_Script(IDispatch** script) override {
        if (script) {
            *script = nullptr;
        }
        return E_NOTIMPL;
    }

  protected:
    bool Answers(REFIID iid) const override { return IsEqualIID(iid, IID_IHTMLDocument); }

    HRESULT Call(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                 UINT* argErr) override {
        if (id < kBody || id > kGetElementById) {
            return DISP_E_MEMBERNOTFOUND;
        }
        bool function = id == kGetElementById;
        Access access;
        HRESULT hr = CheckCall(flags, params, !function, false, function, function ? 1 : 0,
                               function ? 1 : 0, access);
        if (FAILED(hr)) {
            return hr;
        }
        Document& doc = *document();
        switch (id) {
            case kBody: {
                Node* body = doc.Body();
                return ReturnObject(result, body ? GetElementObject(document(), body) : nullptr);
            }
            case kDocumentAll:
                return ReturnObject(result,
                                    NewCollection(document(), doc.Root()->Self(), L"", false));
            case kUrl:
                return ReturnText(result, doc.Url());
            case kDocumentTitle:
                return ReturnText(result, doc.Title());
            case kReadyState:
                return ReturnText(result, L"complete");
            case kGetElementById: {
                std::wstring key;
                hr = TextArgument(params, 0, key, argErr);
                if (FAILED(hr)) {
                    return hr;
                }
                Node* element = doc.ElementById(key);
                return ReturnObject(result,
                                    element ? GetElementObject(document(), element) : nullptr);
            }
            default:
                return DISP_E_MEMBERNOTFOUND;
        }
    }
};

// The element's object, made when none stands for it yet.
IDispatch* ElementObjectOf(const std::shared_ptr<Document>& document,
                           const std::shared_ptr<Node>& node) {
    if (node->automationObject) {
        auto* existing = static_cast<ElementObject*>(node->automationObject);
        existing->AddRef();
        return existing;
    }
    return new (std::nothrow) ElementObject(document, node);
}

IDispatch* NewCollection(const std::shared_ptr<Document>& document, std::shared_ptr<Node> root,
                         std::wstring tag, bool empty) {
    if (!root) {
        return nullptr;
    }
    return new (std::nothrow) CollectionObject(document, std::move(root), std::move(tag), empty);
}

}  // namespace

IDispatch* GetDocumentObject(const std::shared_ptr<Document>& document) {
    if (!document) {
        return nullptr;
    }
    if (document->automationObject) {
        auto* existing = static_cast<DocumentObject*>(document->automationObject);
        existing->AddRef();
        return existing;
    }
    return new (std::nothrow) DocumentObject(document);
}

IDispatch* GetElementObject(const std::shared_ptr<Document>& document, Node* element) {
    if (!document || !element || !element->IsElement() || element->Owner() != document.get()) {
        return nullptr;
    }
    if (element->automationObject) {
        auto* existing = static_cast<ElementObject*>(element->automationObject);
        existing->AddRef();
        return existing;
    }
    std::shared_ptr<Node> owned = element->Self();
    if (!owned) {
        return nullptr;
    }
    return ElementObjectOf(document, owned);
}

std::shared_ptr<Document> DocumentOfObject(IUnknown* object) {
    if (!object) {
        return nullptr;
    }
    void* self = nullptr;
    if (FAILED(object->QueryInterface(IID_StandinObject, &self)) || !self) {
        return nullptr;
    }
    // Every object of the model derives from ModelObject<I> with I first in its bases; the pointer
    // handed out is the object's own.
    if (auto* element = dynamic_cast<ElementObject*>(static_cast<IDispatch*>(self))) {
        return element->document();
    }
    if (auto* collection = dynamic_cast<CollectionObject*>(static_cast<IDispatch*>(self))) {
        return collection->document();
    }
    if (auto* doc = dynamic_cast<DocumentObject*>(static_cast<IDispatch*>(self))) {
        return doc->document();
    }
    return nullptr;
}

AutomationCounts& ModuleAutomationCounts() {
    static AutomationCounts counts;
    return counts;
}

long LiveObjectCount() {
    return ModuleAutomationCounts().objects;
}
long LiveReferenceCount() {
    return ModuleAutomationCounts().references;
}
long InvokeCount() {
    return ModuleAutomationCounts().invokes;
}

}  // namespace standin
