#include "page/page_automation.h"

#include <objbase.h>
#include <oleacc.h>

#include <span>

#include "runtime/events.h"

namespace rh {

namespace {

// The browser's document window and the message that hands out its document.
constexpr char kDocumentWindowClass[] = "Internet Explorer_Server";
constexpr char kGetObjectMessage[] = "WM_HTML_GETOBJECT";
constexpr UINT kGetObjectTimeout = 1000;  // milliseconds
// IHTMLDocument, {626FC520-A41E-11CF-A731-00A0C9082637}.
constexpr GUID kIidHtmlDocument = {
    0x626FC520, 0xA41E, 0x11CF, {0xA7, 0x31, 0x00, 0xA0, 0xC9, 0x08, 0x26, 0x37}};

constexpr char kTextInputTypes[] = "text|password|file";
constexpr char kButtonTypes[] = "button|submit|reset";
constexpr char kLinkLabel[] = "链";

// Properties compared with an identifier, in the order they are tried.
constexpr const char* kFormControlProperties[] = {"name", "id", "title"};
constexpr const char* kLinkProperties[] = {"href", "id", "title", "innerText", "className"};

// The class name as GetClassNameA gives it into a 50-byte buffer (so at most 49 characters).
Text ReadClassName(HWND window) {
    Text buffer = SpacesText(50);
    GetClassNameA(window, buffer.data(), 50);
    return MakeText(buffer.c_str());
}

bool IsDocumentWindowClass(HWND window) {
    return CompareText(ReadClassName(window), kDocumentWindowClass) == 0;
}

// The body's elements of one tag, in document order; empty when the document or a step is missing.
ComObject TagCollection(const ComObject& document, TextView tag) {
    ComObject body = ReadObjectProperty(document, "body");
    ComObject all = ReadObjectProperty(body, "all");
    ClearObject(body);
    return CallObjectMethod(all, "tags", tag);
}

int CollectionSize(const ComObject& collection) {
    return FloatToInteger(ReadNumberProperty(collection, "length"));
}

// Member `position` of a collection, counting from 1.
ComObject CollectionItem(const ComObject& collection, int position) {
    return CallObjectMethod(collection, "item", static_cast<double>(position - 1));
}

int IdentifierIndex(TextView identifier) {
    return FloatToInteger(ToNumber(identifier));
}

// One step of a lookup: counts the candidate and decides whether it is the one. A property equal
// to the identifier either uses up one skip (the candidate is then passed over entirely, even by
// position) or selects it; otherwise its running position selects it. Positions of 0 or less
// never select, whatever running count the caller started from.
bool IsSelected(const ComObject& element, std::span<const char* const> properties,
                TextView identifier, int index, int& skip, int& runningCount) {
    ++runningCount;
    for (const char* name : properties) {
        if (CompareText(ReadTextProperty(element, name), identifier) == 0) {
            if (skip > 0) {
                --skip;
                return false;
            }
            return true;
        }
    }
    return index > 0 && runningCount == index;
}

// The form-control pass over one tag: the first accepted, selected element, or empty.
ComObject ScanFormControls(const ComObject& document, TextView tag, TextView typeList,
                           TextView identifier, int index, int& skip, int& runningCount) {
    const ComObject collection = TagCollection(document, tag);
    const int size = CollectionSize(collection);
    for (int i = 1; i <= size; ++i) {
        ComObject element = CollectionItem(collection, i);
        if (FindText(typeList, ReadTextProperty(element, "type")) == -1) {
            continue;  // not of an accepted type: not a candidate, not counted
        }
        if (IsSelected(element, kFormControlProperties, identifier, index, skip, runningCount)) {
            return element;
        }
    }
    return {};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Lifetime

PageAutomation::PageAutomation() : comInitialised_(SUCCEEDED(CoInitialize(nullptr))) {}

PageAutomation::PageAutomation(const PageAutomation& other)
    : document(other.document),
      windowHandle(other.windowHandle),
      comInitialised_(SUCCEEDED(CoInitialize(nullptr))) {}

PageAutomation& PageAutomation::operator=(const PageAutomation& other) {
    document = other.document;
    windowHandle = other.windowHandle;
    return *this;
}

PageAutomation::~PageAutomation() {
    // The document is released while COM is still up. A failed start (a thread already in
    // another apartment mode) owes nothing: uninitialising then would end someone else's COM.
    ClearObject(document);
    if (comInitialised_) {
        CoUninitialize();
    }
}

// ---------------------------------------------------------------------------------------------
// Attaching to the browser document

bool PageAutomation::AttachToBrowser(HWND browserWindow) {
    if (!IsWindow(browserWindow)) {
        return false;
    }
    windowHandle = browserWindow;
    GetDocumentFromWindow(windowHandle);
    // A browser without a document window yet leaves an earlier document in place.
    return !IsEmptyObject(document);
}

HWND PageAutomation::FindDocumentWindow(HWND parent) {
    // A null parent would make FindWindowExA walk every top-level window of the desktop.
    if (parent == nullptr) {
        return nullptr;
    }
    // Walk while there is a sibling: a valid handle may have its high bit set.
    for (HWND child = FindWindowExA(parent, nullptr, nullptr, nullptr); child != nullptr;) {
        if (IsDocumentWindowClass(child)) {
            return child;
        }
        if (HWND found = FindDocumentWindow(child)) {
            return found;
        }
        child = FindWindowExA(parent, child, nullptr, nullptr);
        ProcessPendingEvents();
    }
    return nullptr;
}

bool PageAutomation::GetDocumentFromWindow(HWND window) {
    if (!IsDocumentWindowClass(window)) {
        window = FindDocumentWindow(window);
        if (window == nullptr) {
            return false;
        }
    }
    const UINT message = RegisterWindowMessageA(kGetObjectMessage);
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window, message, 0, 0, SMTO_ABORTIFHUNG, kGetObjectTimeout, &result);
    ClearObject(document);
    IUnknown* handedOver = nullptr;
    const HRESULT hr = ObjectFromLresult(static_cast<LRESULT>(result), kIidHtmlDocument, 0,
                                         reinterpret_cast<void**>(&handedOver));
    if (hr != S_OK) {
        if (SUCCEEDED(hr) && handedOver != nullptr) {
            handedOver->Release();
        }
        return false;
    }
    document = ComObject::Adopt(handedOver);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Locating page elements

ComObject PageAutomation::FindFormControl(TextView typeList, TextView identifier, int skip,
                                          int& runningCount) {
    const int index = IdentifierIndex(identifier);
    ComObject found =
        ScanFormControls(document, "input", typeList, identifier, index, skip, runningCount);
    // Positions number the accepted inputs first and the accepted button elements after them.
    if (IsEmptyObject(found) && FindText(typeList, "button") != -1) {
        found =
            ScanFormControls(document, "button", typeList, identifier, index, skip, runningCount);
    }
    if (IsEmptyObject(found)) {
        runningCount = -1;
    }
    return found;
}

int PageAutomation::WalkLinks(TextView label, bool mark) {
    const ComObject links = TagCollection(document, "a");
    const int size = CollectionSize(links);
    for (int i = 1; i <= size; ++i) {
        const ComObject link = CollectionItem(links, i);
        if (mark) {
            const Text html = ReadTextProperty(link, "innerHTML");
            WriteProperty(
                link, "innerHTML",
                JoinTexts({html, "<font color=red>", label, IntegerToText(i), "</font>"}));
        }
    }
    // Read again: marking may have changed the page.
    return CollectionSize(links);
}

ComObject PageAutomation::LocateLink(TextView identifier, int skip, int& runningCount) {
    const int index = IdentifierIndex(identifier);
    const ComObject links = TagCollection(document, "a");
    const int size = CollectionSize(links);
    for (int i = 1; i <= size; ++i) {
        ComObject link = CollectionItem(links, i);
        if (IsSelected(link, kLinkProperties, identifier, index, skip, runningCount)) {
            return link;
        }
    }
    runningCount = -1;
    return {};
}

ComObject PageAutomation::FindTextInput(TextView identifier, int skip) {
    int runningCount = 0;
    return FindFormControl(kTextInputTypes, identifier, skip, runningCount);
}

ComObject PageAutomation::FindButton(TextView identifier, int skip) {
    int runningCount = 0;
    return FindFormControl(kButtonTypes, identifier, skip, runningCount);
}

ComObject PageAutomation::FindLink(TextView identifier, int skip) {
    int runningCount = 0;
    return LocateLink(identifier, skip, runningCount);
}

// ---------------------------------------------------------------------------------------------
// Element operations

bool PageAutomation::SetElementValue(TextView identifier, TextView value, int skip) {
    const ComObject input = FindTextInput(identifier, skip);
    return WriteProperty(input, "value", value);
}

bool PageAutomation::ClickElement(TextView identifier, int skip) {
    const ComObject button = FindButton(identifier, skip);
    // What the click sets off is the page's business; finding the button is the result.
    CallMethod(button, "click");
    return !IsEmptyObject(button);
}

int PageAutomation::CountLinks(int mark) {
    return WalkLinks(kLinkLabel, mark != 0);
}

Text PageAutomation::GetLinkOuterHtml(TextView identifier, int skip) {
    const ComObject link = FindLink(identifier, skip);
    return ReadTextProperty(link, "outerHTML");
}

Text PageAutomation::GetLinkInnerText(TextView identifier, int skip) {
    const ComObject link = FindLink(identifier, skip);
    return ReadTextProperty(link, "innerText");
}

// ---------------------------------------------------------------------------------------------
// Every link in turn

LinkCollection::LinkCollection(const PageAutomation& page)
    : links_(TagCollection(page.document, "a")), size_(CollectionSize(links_)) {}

ComObject LinkCollection::Item(int position) const {
    if (position < 1 || position > size_) {
        return {};
    }
    return CollectionItem(links_, position);
}

}  // namespace rh
