#pragma once
// The stand-in browser's second engine: a real Chromium, driven through its DevTools protocol.
//
// One Chromium serves the whole run; the scripts start it behind a small relay on 127.0.0.1
// (scripts/chromium_relay.py) and name the relay in REELHAWK_STANDIN_CHROMIUM ("127.0.0.1:port").
// Messages are JSON objects, each ended by a NUL byte. A process keeps one connection; each
// browser control gets a browser context and a page of its own (a ChromiumPage).
//
// Every request Chromium makes is answered here from the local web folder
// (REELHAWK_STANDIN_WEBROOT) with the same address mapping as the document model's loader;
// nothing goes to the network. A call waits at most a couple of seconds: a Chromium that is gone
// or hangs makes every call fail fast, and callers show an empty page.

#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace standin {

using Json = nlohmann::json;

// The engine a browser control uses: REELHAWK_STANDIN_ENGINE=chromium, else the document model.
bool ChromiumEngineChosen();

// What the notify message of a page says, in its wParam. The address that goes with a page
// navigating, a page not found or a download is the page's NoticeUrl().
enum ChromiumNotice : WPARAM {
    kChromiumPageLoaded = 0,      // the main frame has finished loading a page
    kChromiumPageNavigating = 1,  // the page itself started a navigation (a form, a link, a script)
    kChromiumPageNotFound = 2,    // the page asked for is not in the web folder
    kChromiumPageDownload = 3,    // the main frame's answer is a file to download, not a page
};

class ChromiumPage : public std::enable_shared_from_this<ChromiumPage> {
  public:
    // A fresh browser context and page; null (and the reason logged) when Chromium is not there.
    // notifyWindow receives loadedMessage whenever the main frame has finished loading a page.
    static std::shared_ptr<ChromiumPage> Open(HWND notifyWindow, UINT loadedMessage);
    ~ChromiumPage();
    ChromiumPage(const ChromiumPage&) = delete;
    ChromiumPage& operator=(const ChromiumPage&) = delete;

    // The result of a command in this page's session, or nothing on error or time-out.
    std::optional<Json> Call(const char* method, Json params = Json::object());
    // A command whose answer nobody waits for.
    void Send(const char* method, Json params = Json::object());

    void Navigate(const std::wstring& url);
    void Stop();
    // The control's answer to a navigation the page itself started (a kChromiumPageNavigating
    // notice): until it comes, the navigation's request for the main frame waits in Chromium, so
    // a refused navigation never replaces the page.
    void AllowNavigation(bool allowed);
    // Whether a request Chromium paused may be answered now; false when it is held for the
    // control's answer, or was refused (then it has been failed).
    bool MayServe(const Json& request);

    // The page's document as a remote object id; empty when it cannot be had.
    std::string EvaluateDocument();
    // A remote object that is no longer needed.
    void ReleaseObject(const std::string& objectId);
    // The remote objects of an answer whose function threw.
    void ReleaseThrown(const Json& answer);

    // The pages of this process's controls now.
    static std::vector<std::shared_ptr<ChromiumPage>> All();
    // What Chromium itself holds for this page, found by asking it (for tests and benchmarks;
    // -1 when it cannot be had): the remote objects of the shown page's script context, whoever
    // asked for them; the bytes of the page's heaps after a garbage collection; its DOM nodes.
    long HeldRemoteObjects();
    long long HeapBytes();
    long DomNodes();

    // The address of the page last committed in the main frame.
    std::wstring CommittedUrl() const;
    bool Loading() const { return loading_; }
    // False once the connection to Chromium has gone (Chromium or the relay ended).
    bool Alive() const;

    // The element objects standing for nodes now, by Chromium's node id (weak: each object
    // removes itself), so that one node always gives the same object while it lives. The
    // control's thread only.
    std::map<long long, IDispatch*> elementObjects;

    // Called by the connection's reader with each event of this page's session.
    void OnEvent(const std::string& method, const Json& params);
    // Tells the notify window (from any thread); the address is kept for NoticeUrl().
    void Notify(ChromiumNotice notice, const std::wstring& url);
    std::wstring NoticeUrl() const;

  private:
    ChromiumPage() = default;

    std::string session_;
    std::string context_;
    std::string frame_;  // main frame id
    HWND notify_ = nullptr;
    UINT loadedMessage_ = 0;
    std::atomic<bool> loading_{false};
    bool committed_ = false;  // the main frame committed a page since its last load event
    // The page's own navigations: how many notices of them the control has not answered yet, its
    // answer to the latest when that came before the navigation's main-frame request, and that
    // request while it waits for the answer. Under mutex_.
    enum class Verdict { kNone, kAllowed, kRefused };
    int answersAwaited_ = 0;
    Verdict verdict_ = Verdict::kNone;
    Json heldRequest_;
    // Fails a paused request of this page; the held one, if there is one (mutex_ held).
    void Abort(const Json& request);
    void DropHeldRequest();
    mutable std::mutex mutex_;
    std::wstring committedUrl_;
    std::wstring noticeUrl_;
};

// A remote object of a page (its object id), released in Chromium when the last holder lets go.
class RemoteHandle {
  public:
    RemoteHandle(std::shared_ptr<ChromiumPage> page, std::string id);
    ~RemoteHandle();
    RemoteHandle(const RemoteHandle&) = delete;
    RemoteHandle& operator=(const RemoteHandle&) = delete;

    const std::shared_ptr<ChromiumPage>& page() const { return page_; }
    const std::string& id() const { return id_; }

    // The document object standing for this handle now, if any (weak: the object clears it), so
    // that every holder of the document gets the same object, as with the model.
    IDispatch* automationObject = nullptr;

  private:
    std::shared_ptr<ChromiumPage> page_;
    std::wstring notFoundUrl_;  // a page refused before it reached Chromium
    std::string id_;
};

// What a browser control shows when Chromium is its engine: the page, the document handed out for
// it, and the address it is at. Lives on the control's thread.
class ChromiumView {
  public:
    explicit ChromiumView(UINT loadedMessage) : loadedMessage_(loadedMessage) {}
    ChromiumView(const ChromiumView&) = delete;
    ChromiumView& operator=(const ChromiumView&) = delete;

    // Starts loading an address (already normalised). A page that is not in the web folder is
    // logged as not found and the shown page stays; without Chromium nothing is shown.
    void Navigate(const std::wstring& url, HWND notifyWindow);
    // The main frame has loaded (loadedMessage arrived): the new page becomes the document.
    // False when nothing changed.
    bool OnLoaded();
    void Stop();
    // The control's answer to the page's own navigation (see ChromiumPage::AllowNavigation).
    void AllowNavigation(bool allowed) {
        if (page_) {
            page_->AllowNavigation(allowed);
        }
    }

    // A new object for the shown page's document, or null.
    IDispatch* Document() const;
    bool HasDocument() const { return document_ != nullptr; }
    const std::wstring& Url() const { return url_; }
    const std::wstring& Title() const { return title_; }
    bool Busy() const { return page_ && page_->Loading(); }
    // The address that goes with the latest navigating or not-found notice.
    std::wstring NoticeUrl() const {
        return !notFoundUrl_.empty() ? notFoundUrl_ : page_ ? page_->NoticeUrl() : std::wstring();
    }
    // The notice has been dealt with.
    void NoticeTaken() { notFoundUrl_.clear(); }

  private:
    UINT loadedMessage_;
    std::shared_ptr<ChromiumPage> page_;
    std::wstring notFoundUrl_;  // a page refused before it reached Chromium
    std::shared_ptr<RemoteHandle> document_;
    std::wstring url_;
    std::wstring title_;
};

// Remote objects of Chromium that this module's automation objects hold now.
long LiveRemoteObjectCount();

// Automation objects over a ChromiumPage: the same members, with the same type information, as
// the document model's objects (dom_objects.h).
IDispatch* NewChromiumDocumentObject(std::shared_ptr<RemoteHandle> document);

}  // namespace standin
