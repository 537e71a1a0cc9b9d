// The browser component: a container window of its own class that hosts the web browser control
// through a small OLE container (client site, in-place site and frame of our own).
#pragma once

#include <windows.h>
#include <ole2.h>
#include <exdisp.h>

namespace rh {

class BrowserSite;
class BrowserEventSink;
struct HtmlViewerProperties;

// Control identifier of the browser control's window inside the container.
inline constexpr int kBrowserControlId = 0xE900;

// Posted to the container's parent when the page starts or stops loading (lParam: the container
// window). Posted rather than sent: the browser tells us from inside its own calls, and what the
// parent does about it runs from the message loop instead.
inline constexpr UINT kBrowserStateChangedMessage = WM_APP + 0x52;

class BrowserContainer {
  public:
    static constexpr const wchar_t* kClassName = L"ReelhawkBrowserBox";

    BrowserContainer() = default;
    ~BrowserContainer();
    BrowserContainer(const BrowserContainer&) = delete;
    BrowserContainer& operator=(const BrowserContainer&) = delete;

    static bool RegisterWindowClass(HINSTANCE instance);
    static void UnregisterWindowClass(HINSTANCE instance);

    // Creates the container window (shown or not as the style says); null when it could not be.
    HWND Create(HWND parent, DWORD style, DWORD exStyle, int x, int y, int width, int height,
                int controlId);
    // Creates the browser control in the client area, activates it in place, applies the
    // settings and starts loading the address without waiting. False when the control could
    // not be created or activated; the container then stays empty.
    bool Embed(const HtmlViewerProperties& properties);
    bool HasBrowser() const noexcept { return ole_ != nullptr; }
    // From the start of a navigation of the top-level page until its document is complete, the
    // navigation failed, or its download ended with the control idle (not busy, its document
    // complete), as the control's events and state tell.
    bool PageLoading() const noexcept { return loading_; }
    // For the event sink.
    void OnNavigationStarted(IDispatch* browser);
    void OnNavigationEnded(IDispatch* browser);
    void OnDownloadEnded();

    LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  private:
    void OnSize();
    void OnDestroy();
    // Takes the control down: leaves in-place activation, closes it and drops our site.
    void Release() noexcept;
    void ConnectEvents();
    bool IsTopLevel(IDispatch* browser) const;
    void SetLoading(bool loading);

    HWND window_ = nullptr;
    IOleObject* ole_ = nullptr;
    IOleInPlaceObject* inPlace_ = nullptr;
    IWebBrowser2* browser_ = nullptr;
    BrowserSite* site_ = nullptr;
    BrowserEventSink* sink_ = nullptr;
    IConnectionPoint* events_ = nullptr;
    DWORD eventsCookie_ = 0;
    bool loading_ = false;
};

}  // namespace rh
