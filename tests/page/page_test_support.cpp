#include "tests/page/page_test_support.h"

#include <oleacc.h>

#include <cstring>

#include "standin/dom_objects.h"

namespace pagetest {

namespace {

// IHTMLDocument, the interface the page object asks for.
constexpr GUID kIidHtmlDocument = {
    0x626FC520, 0xA41E, 0x11CF, {0xA7, 0x31, 0x00, 0xA0, 0xC9, 0x08, 0x26, 0x37}};

bool SameObject(IUnknown* a, IUnknown* b) {
    if (a == nullptr || b == nullptr) {
        return false;
    }
    IUnknown* identityA = nullptr;
    IUnknown* identityB = nullptr;
    a->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identityA));
    b->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identityB));
    const bool same = identityA != nullptr && identityA == identityB;
    if (identityA != nullptr) {
        identityA->Release();
    }
    if (identityB != nullptr) {
        identityB->Release();
    }
    return same;
}

HINSTANCE OtherCaseClassInstance() {
    return GetModuleHandleA("oleacc.dll");
}

LRESULT CALLBACK BoxProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

ReferenceCounts ReferenceCounts::Now() {
    return {standin::LiveObjectCount(), standin::LiveReferenceCount()};
}

std::ostream& operator<<(std::ostream& out, const ReferenceCounts& counts) {
    return out << counts.objects << " objects holding " << counts.references << " references";
}

void HoldDocument(rh::PageAutomation& page, const std::shared_ptr<standin::Document>& document) {
    page.document = rh::ComObject::Adopt(standin::GetDocumentObject(document));
}

bool IsElement(const rh::ComObject& element, const std::shared_ptr<standin::Document>& document,
               standin::Node* node) {
    IDispatch* expected = standin::GetElementObject(document, node);
    const bool same = SameObject(element.Get(), expected);
    if (expected != nullptr) {
        expected->Release();
    }
    return same;
}

std::wstring Wide(const rh::Text& text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), length);
    return wide;
}

std::shared_ptr<standin::Document> HeldDocument(const rh::PageAutomation& page) {
    return standin::DocumentOfObject(page.document.Get());
}

// ---------------------------------------------------------------------------------------------
// Windows

LRESULT CALLBACK DocumentWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    static const UINT getObject = RegisterWindowMessageA("WM_HTML_GETOBJECT");
    if (message == getObject) {
        auto* state =
            reinterpret_cast<DocumentWindowState*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (state == nullptr) {
            return 0;
        }
        ++state->requests;
        IDispatch* object = standin::GetDocumentObject(state->document);
        if (object == nullptr) {
            return 0;
        }
        const LRESULT result = LresultFromObject(kIidHtmlDocument, wParam, object);
        object->Release();
        return result;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void RegisterTestWindowClasses() {
    static const bool registered = [] {
        const HINSTANCE instance = GetModuleHandleA(nullptr);
        WNDCLASSA box{};
        box.lpfnWndProc = BoxProc;
        box.hInstance = instance;
        box.lpszClassName = kBoxClass;
        RegisterClassA(&box);
        WNDCLASSA documentClass{};
        documentClass.lpfnWndProc = DocumentWindowProc;
        documentClass.hInstance = instance;
        documentClass.lpszClassName = kDocumentWindowClass;
        RegisterClassA(&documentClass);
        // Class names are looked up without regard to case within one module, so the lookalike
        // belongs to another one.
        documentClass.hInstance = OtherCaseClassInstance();
        documentClass.lpszClassName = kOtherCaseDocumentClass;
        RegisterClassA(&documentClass);
        return true;
    }();
    (void)registered;
}

WindowTree::WindowTree() {
    RegisterTestWindowClasses();
    root_ = CreateWindowExA(0, kBoxClass, "tree", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr,
                            GetModuleHandleA(nullptr), nullptr);
}

WindowTree::~WindowTree() {
    if (root_ != nullptr) {
        DestroyWindow(root_);
    }
}

HWND WindowTree::AddBox(HWND parent) {
    return CreateWindowExA(0, kBoxClass, "", WS_CHILD, 0, 0, 10, 10, parent, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
}

HWND WindowTree::AddDocumentWindow(HWND parent, std::shared_ptr<standin::Document> document,
                                   const char* windowClass) {
    const HINSTANCE instance = std::strcmp(windowClass, kOtherCaseDocumentClass) == 0
                                   ? OtherCaseClassInstance()
                                   : GetModuleHandleA(nullptr);
    HWND window = CreateWindowExA(0, windowClass, "", WS_CHILD, 0, 0, 10, 10, parent, nullptr,
                                  instance, nullptr);
    if (window == nullptr) {
        return nullptr;
    }
    states_.push_back(std::make_unique<DocumentWindowState>());
    states_.back()->document = std::move(document);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(states_.back().get()));
    return window;
}

DocumentWindowState& WindowTree::StateOf(HWND documentWindow) {
    return *reinterpret_cast<DocumentWindowState*>(
        GetWindowLongPtrA(documentWindow, GWLP_USERDATA));
}

}  // namespace pagetest
