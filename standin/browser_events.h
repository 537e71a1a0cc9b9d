#pragma once
// The browser control's outgoing events: the one connection point (DWebBrowserEvents2) through
// which a host learns that navigation started, that a page arrived and that it is complete.

#include <windows.h>
#include <ocidl.h>

#include <string>
#include <vector>

namespace standin {

class BrowserEvents final : public IConnectionPoint {
  public:
    // container: the object that hands this point out (not counted; it owns this object).
    explicit BrowserEvents(IConnectionPointContainer* container) : container_(container) {}
    ~BrowserEvents();
    BrowserEvents(const BrowserEvents&) = delete;
    BrowserEvents& operator=(const BrowserEvents&) = delete;

    // The container is going away: sinks are let go and nothing more is fired.
    void Disconnect();

    // Each fires one DWebBrowserEvents2 member at every connected sink, with the browser as the
    // event's pDisp where the member has one. Sinks may navigate or release the browser meanwhile;
    // the caller keeps the browser alive across the call.
    // BeforeNavigate2: true when a sink cancelled the navigation.
    bool BeforeNavigate2(IDispatch* browser, const std::wstring& url);
    void DownloadBegin();
    void NavigateComplete2(IDispatch* browser, const std::wstring& url);
    void DownloadComplete();
    void DocumentComplete(IDispatch* browser, const std::wstring& url);
    void NavigateError(IDispatch* browser, const std::wstring& url, LONG status);

    // ---- IUnknown: lives and dies with its container ----
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return container_ ? container_->AddRef() : 1; }
    STDMETHODIMP_(ULONG) Release() override { return container_ ? container_->Release() : 1; }

    // ---- IConnectionPoint ----
    STDMETHODIMP GetConnectionInterface(IID* iid) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** out) override;

  private:
    struct Sink {
        DWORD cookie;
        IDispatch* sink;
    };
    // Invokes the member on a snapshot of the sinks, each held for the call.
    void Fire(DISPID member, const wchar_t* name, const std::wstring& detail, DISPPARAMS& params);
    void FireWithAddress(DISPID member, const wchar_t* name, IDispatch* browser,
                         const std::wstring& url);

    IConnectionPointContainer* container_;
    std::vector<Sink> sinks_;
    DWORD nextCookie_ = 1;
};

}  // namespace standin
