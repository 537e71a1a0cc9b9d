// Shared by the page automation tests: documents of the stand-in's model held by the page object,
// reference-count bookkeeping, and plain Win32 window trees with document windows of our own that
// hand out a model document through "WM_HTML_GETOBJECT".
#pragma once

#include <windows.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "page/page_automation.h"
#include "standin/document.h"

namespace pagetest {

// The live automation objects of the document model and the sum of their references.
struct ReferenceCounts {
    long objects = 0;
    long references = 0;
    static ReferenceCounts Now();
    bool operator==(const ReferenceCounts&) const = default;
};
std::ostream& operator<<(std::ostream& out, const ReferenceCounts& counts);

// Lets the page object hold the document's automation object, as an attach would.
void HoldDocument(rh::PageAutomation& page, const std::shared_ptr<standin::Document>& document);

// Whether an element reference stands for that node of the model.
bool IsElement(const rh::ComObject& element, const std::shared_ptr<standin::Document>& document,
               standin::Node* node);

// A model element's attribute or value, as UTF-16.
std::wstring Wide(const rh::Text& text);  // from the ANSI code page

// Window classes of the tests, registered once per process:
//   kBoxClass              a plain container window;
//   "Internet Explorer_Server" and the same name in other letter cases: document windows that
//                          answer "WM_HTML_GETOBJECT" with LresultFromObject of their document.
inline constexpr char kBoxClass[] = "ReelhawkTestBox";
inline constexpr char kDocumentWindowClass[] = "Internet Explorer_Server";
inline constexpr char kOtherCaseDocumentClass[] = "Internet Explorer_server";

// What a document window of the tests hands out, and how often it was asked.
struct DocumentWindowState {
    std::shared_ptr<standin::Document> document;  // null: answers 0
    int requests = 0;
};

// A top-level, never shown window to build trees under. Destroys itself (and its tree).
class WindowTree {
  public:
    WindowTree();
    ~WindowTree();
    WindowTree(const WindowTree&) = delete;
    WindowTree& operator=(const WindowTree&) = delete;

    HWND Root() const { return root_; }
    HWND AddBox(HWND parent);
    // A document window of `windowClass` that hands out `document` (owned by the tree).
    HWND AddDocumentWindow(HWND parent, std::shared_ptr<standin::Document> document,
                           const char* windowClass = kDocumentWindowClass);
    DocumentWindowState& StateOf(HWND documentWindow);

  private:
    HWND root_ = nullptr;
    std::vector<std::unique_ptr<DocumentWindowState>> states_;
};

// Registers the classes above (idempotent).
void RegisterTestWindowClasses();
// The window procedure of the document windows, for windows that tests make themselves.
LRESULT CALLBACK DocumentWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The document currently held by the page, as a model document (null when none or foreign).
std::shared_ptr<standin::Document> HeldDocument(const rh::PageAutomation& page);

}  // namespace pagetest
