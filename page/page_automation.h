// The program's one handle on the HTML document that the hidden browser shows: it attaches to the
// browser's document window, finds form controls and links in the document by identifier or
// position, and reads, writes and clicks them.
//
// Identifiers. An identifier text selects an element two ways at once: an element is taken when
// one of a fixed list of its text properties equals the identifier byte for byte, or, failing
// that, when its running position equals the number the identifier reads as
// (FloatToInteger(ToNumber(identifier))). So "1" selects the first candidate whatever its name,
// and an identifier that reads as 0 or less selects by property only. The skip count passes over
// that many property matches (never over a position match).
//
// Every call takes the document's collections afresh; nothing is kept between calls. Element
// references come back as ComObjects that the caller owns; everything else a call takes is
// released before it returns. Failures of the page are silent: empty objects, empty texts, 0,
// false, and a running count of -1.
#pragma once

#include <windows.h>

#include "runtime/automation.h"
#include "runtime/text.h"

namespace rh {

class PageAutomation {
  public:
    // The browser's current document; empty until the first successful attach.
    ComObject document;
    // The last handle that AttachToBrowser accepted; null until then.
    HWND windowHandle = nullptr;

    // Initialises COM for the creating (user-interface) thread; destruction releases the
    // document and then uninitialises COM.
    PageAutomation();
    ~PageAutomation();
    // A second instance with the same window handle and a second reference to the same document.
    // It initialises COM for itself, so that each instance's destruction balances its own start.
    PageAutomation(const PageAutomation& other);
    // Takes the other instance's window handle and document; each keeps its own COM start.
    PageAutomation& operator=(const PageAutomation& other);

    // Remembers `browserWindow` and takes the document of the "Internet Explorer_Server" window
    // at or below it. True when a document is held afterwards (an attach that finds no document
    // window keeps the earlier document). False, changing nothing, when the handle is no window.
    bool AttachToBrowser(HWND browserWindow);
    // The first window of class "Internet Explorer_Server" below `parent` (depth first, a window
    // before its children, siblings in z-order), or null. Waiting window events are dispatched
    // between siblings, so handlers may run during the walk.
    HWND FindDocumentWindow(HWND parent);
    // Asks the document window (`window` itself or the first one below it) for its document and
    // holds what it hands over. False when there is no document window (the held document is
    // kept) or the window handed over no document (nothing is held then).
    bool GetDocumentFromWindow(HWND window);

    // The general form-control lookup: accepted "input" elements (their "type" found in
    // `typeList`, one text such as "text|password|file"), then, when the list names "button",
    // accepted "button" elements; candidates are matched on "name", "id" and "title".
    // `runningCount` advances once per candidate and is -1 when nothing was found.
    ComObject FindFormControl(TextView typeList, TextView identifier, int skip, int& runningCount);
    // Walks every link of the document; with `mark`, appends a red label and the link's number to
    // each link's markup. Returns the number of links.
    int WalkLinks(TextView label, bool mark);
    // The general link lookup over the document's "a" elements, matched on "href", "id",
    // "title", "innerText" and "className".
    ComObject LocateLink(TextView identifier, int skip, int& runningCount);
    // A text, password or file input.
    ComObject FindTextInput(TextView identifier, int skip = 0);
    // Writes the "value" of the text input the identifier selects; true when the write succeeded.
    bool SetElementValue(TextView identifier, TextView value, int skip = 0);
    // A button, submit or reset input, or after them a "button" element of such a type.
    ComObject FindButton(TextView identifier, int skip = 0);
    // Calls "click" on the button the identifier selects; true when a button was found.
    bool ClickElement(TextView identifier, int skip = 0);
    ComObject FindLink(TextView identifier, int skip = 0);
    // The number of links in the document; a non-zero mark labels them on the page.
    int CountLinks(int mark = 0);
    // The "outerHTML" or "innerText" of the link the identifier selects; empty when none.
    Text GetLinkOuterHtml(TextView identifier, int skip = 0);
    Text GetLinkInnerText(TextView identifier, int skip = 0);

  private:
    // Whether this instance's CoInitialize succeeded and so owes a CoUninitialize.
    bool comInitialised_ = false;
};

// The links of the page's body, taken once, for a caller that visits every link in turn by its
// place on the page. No identifier is involved, so no link can stand in for another, and no visit
// walks the links before it. Holds the collection only for its own lifetime.
class LinkCollection {
  public:
    // Empty (size 0) when the page object holds no document or the document has no body.
    explicit LinkCollection(const PageAutomation& page);

    int Size() const { return size_; }
    // Link `position` in document order, counting from 1; empty outside 1..Size().
    ComObject Item(int position) const;

  private:
    ComObject links_;
    int size_ = 0;
};

}  // namespace rh
