// Automation objects over Chromium's live DOM: each stands for a remote object of the page (its
// object id) and answers each member by running a small function on it in the page. An object of a
// page that has gone answers empty values: Chromium no longer knows its id.

#include <mshtml.h>
#include <oleauto.h>

#include <map>
#include <string>
#include <vector>

#include "standin/automation_object.h"
#include "standin/call_log.h"
#include "standin/chromium.h"
#include "standin/document.h"
#include "standin/dom_objects.h"

namespace standin {
namespace {

volatile LONG g_liveRemote = 0;

// Element properties, read the way the old control reports them.
constexpr char kTypeFunction[] =
    "function(){var t=this.tagName.toLowerCase(),"
    "y=(this.getAttribute('type')||'').trim().replace(/\\s+/g,' ').toLowerCase();"
    "if(t==='input'){return ['text','password','file','hidden','submit','reset','button','image',"
    "'checkbox','radio','search','email','url','tel','number','range','date','color','month',"
    "'week','time','datetime-local'].indexOf(y)>=0?y:'text'}"
    "if(t==='button'){return y==='reset'||y==='button'?y:'submit'}"
    "if(t==='textarea'){return 'textarea'}"
    "if(t==='select'){return this.multiple?'select-multiple':'select-one'}"
    "return this.getAttribute('type')||''}";
constexpr char kHrefFunction[] =
    "function(){var t=this.tagName.toLowerCase();"
    "return (t==='a'||t==='area'||t==='link'||t==='base')&&this.hasAttribute('href')?this.href:''}";
constexpr char kValueFunction[] =
    "function(){var t=this.tagName.toLowerCase();"
    "if(t==='input'||t==='textarea'||t==='select'||t==='option'||t==='button'){return this.value}"
    "return this.getAttribute('value')||''}";
constexpr char kSetValueFunction[] =
    "function(v){if(this.tagName.toLowerCase()==='input'&&this.type==='file'&&v!==''){return false}"
    "if('value' in this){this.value=v}else{this.setAttribute('value',v)}return true}";
constexpr char kSetInnerHtmlFunction[] =
    "function(v){if(['area','base','br','col','embed','hr','img','input','link','meta','param',"
    "'source','track','wbr'].indexOf(this.tagName.toLowerCase())>=0){return false}"
    "this.innerHTML=v;return true}";
// The element as the call log names it: tag, then type, name and id where it has them.
const std::string& DescribeFunction() {
    static const std::string function =
        std::string("function(){var d=this.tagName.toLowerCase(),y=(") + kTypeFunction +
        ").call(this),n=this.getAttribute('name'),i=this.getAttribute('id');"
        "if(y){d+=' type='+y}if(n){d+=' name='+n}if(i){d+=' id='+i}return d}";
    return function;
}
constexpr char kCountFunction[] = "function(t){return this.getElementsByTagName(t||'*').length}";
constexpr char kItemFunction[] =
    "function(t,k){var l=this.getElementsByTagName(t||'*');if(typeof k==='number'){return "
    "l[k]||null}"
    "for(var i=0;i<l.length;i++){if(l[i].getAttribute('id')===k||l[i].getAttribute('name')===k)"
    "{return l[i]}}return null}";

// The member's name for a member id of a type info.
std::wstring MemberName(ITypeInfo* info, DISPID id) {
    BSTR name = nullptr;
    UINT count = 0;
    if (!info || FAILED(info->GetNames(id, &name, 1, &count)) || count == 0 || !name) {
        return {};
    }
    std::wstring text(name, SysStringLen(name));
    SysFreeString(name);
    return text;
}

using Handle = std::shared_ptr<RemoteHandle>;

// What a function run on a remote object gave back: a value, an object, or nothing.
struct Outcome {
    bool ok = false;
    Json value;            // by value
    std::string objectId;  // an object (null when the function gave null)
    long long node = 0;    // the node it is, when it is one and Chromium said which
};

Outcome Run(const Handle& self, const char* function, Json arguments, bool byValue) {
    Outcome outcome;
    Json args = Json::array();
    for (auto& argument : arguments) {
        args.push_back({{"value", std::move(argument)}});
    }
    Json request = {{"objectId", self->id()},
                    {"functionDeclaration", function},
                    {"arguments", std::move(args)},
                    {"returnByValue", byValue},
                    {"silent", true}};
    if (!byValue) {
        // An object comes with a description of itself; a node's names the node, which saves
        // asking which node it is.
        request["serializationOptions"] = {{"serialization", "deep"}, {"maxDepth", 0}};
    }
    auto result = self->page()->Call("Runtime.callFunctionOn", std::move(request));
    if (!result || !result->contains("result")) {
        return outcome;
    }
    if (result->contains("exceptionDetails")) {
        self->page()->ReleaseThrown(*result);
        return outcome;
    }
    const Json& remote = (*result)["result"];
    outcome.ok = true;
    if (byValue) {
        outcome.value = remote.value("value", Json());
    } else {
        outcome.objectId = remote.value("objectId", "");
        if (remote.contains("deepSerializedValue") && remote["deepSerializedValue"].is_object()) {
            const Json& described = remote["deepSerializedValue"];
            if (described.value("type", "") == "node" && described.contains("value") &&
                described["value"].is_object()) {
                outcome.node = described["value"].value("backendNodeId", 0LL);
            }
        }
    }
    return outcome;
}

std::wstring TextOf(const Json& value) {
    if (value.is_string()) {
        return Utf8ToWide(value.get<std::string>());
    }
    if (value.is_number_integer()) {
        return std::to_wstring(value.get<long long>());
    }
    if (value.is_number()) {
        return Utf8ToWide(value.dump());
    }
    return {};
}

IDispatch* NewElement(const std::shared_ptr<ChromiumPage>& page, const std::string& objectId,
                      long long node);
IDispatch* NewCollection(Handle root, std::string tag, bool empty);

// What the three kinds of object share: the remote object they stand for, members taken by name.
template <class Interface>
class Remote : public Automation<Interface, Handle> {
  public:
    Remote(Handle self, ITypeInfo* typeInfo)
        : Automation<Interface, Handle>(std::move(self), typeInfo) {}

  protected:
    HRESULT Call(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                 UINT* argErr) override {
        std::wstring name = MemberName(this->typeInfo(), id);
        if (name.empty()) {
            return DISP_E_MEMBERNOTFOUND;
        }
        bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
        HRESULT hr = Member(name, put, params, result);
        if (hr == DISP_E_TYPEMISMATCH && argErr) {
            *argErr = 0;
        }
        return hr;
    }
    virtual HRESULT Member(const std::wstring& name, bool put, DISPPARAMS* params,
                           VARIANT* result) = 0;

    const Handle& self() const { return this->owner(); }

    HRESULT Text(VARIANT* result, const char* function, Json args = Json::array()) {
        Outcome outcome = Run(self(), function, std::move(args), true);
        return ReturnText(result, outcome.ok ? TextOf(outcome.value) : std::wstring());
    }
    HRESULT Element(VARIANT* result, const char* function, Json args = Json::array()) {
        Outcome outcome = Run(self(), function, std::move(args), false);
        return ReturnObject(result,
                            outcome.objectId.empty()
                                ? nullptr
                                : NewElement(self()->page(), outcome.objectId, outcome.node));
    }
};

class ElementObject final : public Remote<IDispatch> {
  public:
    ElementObject(Handle self, long long node)
        : Remote(std::move(self), ElementTypeInfo()), node_(node) {
        if (node_) {
            this->self()->page()->elementObjects[node_] = this;
        }
    }
    ~ElementObject() override {
        if (node_) {
            self()->page()->elementObjects.erase(node_);
        }
    }

  private:
    std::wstring Description() {
        Outcome outcome = Run(self(), DescribeFunction().c_str(), Json::array(), true);
        return outcome.ok ? LogEscape(TextOf(outcome.value)) : std::wstring(L"(gone)");
    }

  protected:
    HRESULT Member(const std::wstring& name, bool put, DISPPARAMS* params,
                   VARIANT* result) override {
        if (put) {
            std::wstring value;
            if (FAILED(TextArgument(params, 0, value, nullptr))) {
                return DISP_E_TYPEMISMATCH;
            }
            const char* function = name == L"value"       ? kSetValueFunction
                                   : name == L"innerHTML" ? kSetInnerHtmlFunction
                                                          : nullptr;
            if (!function) {
                return DISP_E_MEMBERNOTFOUND;
            }
            if (name == L"value") {
                LogLine(L"Value " + Description() + L" " + LogEscape(value));
            }
            Outcome outcome = Run(self(), function, Json::array({WideToUtf8(value)}), true);
            return outcome.ok && outcome.value == true ? S_OK : E_ACCESSDENIED;
        }
        if (name == L"type") {
            return Text(result, kTypeFunction);
        }
        if (name == L"name" || name == L"id" || name == L"title" || name == L"className") {
            std::string attribute = name == L"className" ? "class" : WideToUtf8(name);
            return Text(result, "function(n){return this.getAttribute(n)||''}",
                        Json::array({attribute}));
        }
        if (name == L"href") {
            return Text(result, kHrefFunction);
        }
        if (name == L"innerText") {
            return Text(result, "function(){return this.innerText}");
        }
        if (name == L"innerHTML") {
            return Text(result, "function(){return this.innerHTML}");
        }
        if (name == L"outerHTML") {
            return Text(result, "function(){return this.outerHTML}");
        }
        if (name == L"value") {
            return Text(result, kValueFunction);
        }
        if (name == L"tagName") {
            return Text(result, "function(){return this.tagName}");
        }
        if (name == L"click") {
            // Logged first: what the click starts (a submission, a link) is logged as it happens.
            LogLine(L"Click " + Description());
            Run(self(), "function(){this.click()}", Json::array(), true);
            return S_OK;
        }
        if (name == L"checked") {
            Outcome outcome = Run(self(), "function(){return !!this.checked}", Json::array(), true);
            if (result) {
                V_VT(result) = VT_BOOL;
                V_BOOL(result) = outcome.ok && outcome.value == true ? VARIANT_TRUE : VARIANT_FALSE;
            }
            return S_OK;
        }
        if (name == L"getAttribute") {
            std::wstring attribute;
            if (HRESULT hr = TextArgument(params, 0, attribute, nullptr); FAILED(hr)) {
                return hr;
            }
            Outcome outcome = Run(self(), "function(n){return this.getAttribute(n)}",
                                  Json::array({WideToUtf8(attribute)}), true);
            if (!outcome.ok || !outcome.value.is_string()) {
                if (result) {
                    V_VT(result) = VT_NULL;
                }
                return S_OK;
            }
            return ReturnText(result, TextOf(outcome.value));
        }
        if (name == L"parentElement") {
            return Element(result, "function(){return this.parentElement}");
        }
        if (name == L"all") {
            return ReturnObject(result, NewCollection(self(), {}, false));
        }
        return DISP_E_MEMBERNOTFOUND;
    }

  private:
    long long node_;
};

class CollectionObject final : public Remote<IDispatch> {
  public:
    CollectionObject(Handle root, std::string tag, bool empty)
        : Remote(std::move(root), CollectionTypeInfo()), tag_(std::move(tag)), empty_(empty) {}

  protected:
    HRESULT Member(const std::wstring& name, bool put, DISPPARAMS* params,
                   VARIANT* result) override {
        if (put) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (name == L"length") {
            LONG count = 0;
            if (!empty_) {
                Outcome outcome = Run(self(), kCountFunction, Json::array({tag_}), true);
                count = outcome.ok && outcome.value.is_number() ? outcome.value.get<LONG>() : 0;
            }
            if (result) {
                V_VT(result) = VT_I4;
                V_I4(result) = count;
            }
            return S_OK;
        }
        VARIANT arg;
        if (HRESULT hr = Argument(params, 0, VT_VARIANT, arg, nullptr); FAILED(hr)) {
            return hr;
        }
        if (name == L"tags") {
            VARIANT tag;
            VariantInit(&tag);
            HRESULT hr = VariantChangeType(&tag, &arg, 0, VT_BSTR);
            VariantClear(&arg);
            if (FAILED(hr)) {
                return DISP_E_TYPEMISMATCH;
            }
            std::string wanted = WideToUtf8(std::wstring(V_BSTR(&tag), SysStringLen(V_BSTR(&tag))));
            VariantClear(&tag);
            // Of a collection already limited to one tag, another tag leaves nothing.
            bool empty =
                empty_ || (!tag_.empty() && !EqualsNoCase(Utf8ToWide(tag_), Utf8ToWide(wanted)));
            return ReturnObject(result, NewCollection(self(), wanted, empty));
        }
        if (name != L"item") {
            VariantClear(&arg);
            return DISP_E_MEMBERNOTFOUND;
        }
        Json key;
        if (V_VT(&arg) == VT_BSTR) {
            key = WideToUtf8(std::wstring(V_BSTR(&arg), SysStringLen(V_BSTR(&arg))));
        } else if (V_VT(&arg) != VT_EMPTY && V_VT(&arg) != VT_ERROR && V_VT(&arg) != VT_NULL) {
            VARIANT index;
            VariantInit(&index);
            if (FAILED(VariantChangeType(&index, &arg, 0, VT_I4))) {
                VariantClear(&arg);
                return DISP_E_TYPEMISMATCH;
            }
            key = V_I4(&index);
        }
        VariantClear(&arg);
        if (empty_ || key.is_null() || (key.is_number() && key.get<LONG>() < 0)) {
            return ReturnObject(result, nullptr);
        }
        return Element(result, kItemFunction, Json::array({tag_, key}));
    }

  private:
    std::string tag_;
    bool empty_;
};

class DocumentObject final : public Remote<IHTMLDocument> {
  public:
    explicit DocumentObject(Handle self) : Remote(std::move(self), DocumentTypeInfo()) {
        this->self()->automationObject = this;
    }
    ~DocumentObject() override { self()->automationObject = nullptr; }

    STDMETHODIMP get_Script(IDispatch** script) override {
        if (script) {
            *script = nullptr;
        }
        return E_NOTIMPL;
    }

  protected:
    bool Answers(REFIID iid) const override { return IsEqualIID(iid, IID_IHTMLDocument); }

    HRESULT Member(const std::wstring& name, bool put, DISPPARAMS* params,
                   VARIANT* result) override {
        if (put) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (name == L"body") {
            return Element(result, "function(){return this.body}");
        }
        if (name == L"all") {
            return ReturnObject(result, NewCollection(self(), {}, false));
        }
        if (name == L"URL") {
            return Text(result, "function(){return this.URL}");
        }
        if (name == L"title") {
            return Text(result, "function(){return this.title}");
        }
        if (name == L"readyState") {
            return Text(result, "function(){return this.readyState}");
        }
        if (name == L"getElementById") {
            std::wstring id;
            if (HRESULT hr = TextArgument(params, 0, id, nullptr); FAILED(hr)) {
                return hr;
            }
            return Element(result, "function(i){return this.getElementById(i)}",
                           Json::array({WideToUtf8(id)}));
        }
        return DISP_E_MEMBERNOTFOUND;
    }
};

IDispatch* NewElement(const std::shared_ptr<ChromiumPage>& page, const std::string& objectId,
                      long long node) {
    auto handle = std::make_shared<RemoteHandle>(page, objectId);
    // Which node this is: an element already standing for it is handed out again.
    if (node == 0) {
        auto described = page->Call("DOM.describeNode", {{"objectId", objectId}});
        if (described && described->contains("node")) {
            node = (*described)["node"].value("backendNodeId", 0LL);
        }
    }
    auto existing = page->elementObjects.find(node);
    if (node && existing != page->elementObjects.end()) {
        existing->second->AddRef();
        return existing->second;
    }
    return new (std::nothrow) ElementObject(std::move(handle), node);
}

IDispatch* NewCollection(Handle root, std::string tag, bool empty) {
    return new (std::nothrow) CollectionObject(std::move(root), std::move(tag), empty);
}

}  // namespace

RemoteHandle::RemoteHandle(std::shared_ptr<ChromiumPage> page, std::string id)
    : page_(std::move(page)), id_(std::move(id)) {
    InterlockedIncrement(&g_liveRemote);
}

RemoteHandle::~RemoteHandle() {
    page_->ReleaseObject(id_);
    InterlockedDecrement(&g_liveRemote);
}

IDispatch* NewChromiumDocumentObject(std::shared_ptr<RemoteHandle> document) {
    if (!document) {
        return nullptr;
    }
    if (IDispatch* existing = document->automationObject) {
        existing->AddRef();
        return existing;
    }
    return new (std::nothrow) DocumentObject(std::move(document));
}

long LiveRemoteObjectCount() {
    return g_liveRemote;
}

}  // namespace standin
