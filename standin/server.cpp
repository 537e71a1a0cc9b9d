// The stand-in browser as an in-process COM server: the class object for the web browser
// control's class, and what tests ask the module directly.

#include <windows.h>
#include <objbase.h>

#include "standin/browser.h"
#include "standin/upstream.h"
#include "standin/chromium.h"
#include "standin/dom_objects.h"

namespace {

volatile LONG g_locks = 0;

constexpr CLSID kClsidWebBrowser = {
    0x8856f961, 0x340a, 0x11d0, {0xa9, 0x6b, 0x00, 0xc0, 0x4f, 0xd7, 0x05, 0xa2}};

// A figure of every Chromium page of this process added up; -1 when there is none or one of them
// cannot say.
template <class Figure, class Measure>
Figure SumOverChromiumPages(Measure measure) {
    auto pages = standin::ChromiumPage::All();
    if (pages.empty()) {
        return -1;
    }
    Figure sum = 0;
    for (const auto& page : pages) {
        const Figure figure = measure(*page);
        if (figure < 0) {
            return -1;
        }
        sum += figure;
    }
    return sum;
}

class BrowserFactory final : public IClassFactory {
  public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) {
            return E_POINTER;
        }
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // The factory is static; its references only keep the module loaded.
    STDMETHODIMP_(ULONG) AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&g_locks));
    }
    STDMETHODIMP_(ULONG) Release() override {
        return static_cast<ULONG>(InterlockedDecrement(&g_locks));
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) {
            return E_POINTER;
        }
        *out = nullptr;
        if (outer) {
            return CLASS_E_NOAGGREGATION;
        }
        return standin::CreateWebBrowser(iid, out);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) {
            InterlockedIncrement(&g_locks);
        } else {
            InterlockedDecrement(&g_locks);
        }
        return S_OK;
    }
};

BrowserFactory g_factory;

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        standin::SetModuleInstance(instance);
    } else if (reason == DLL_PROCESS_DETACH && !reserved) {
        // Unloaded while the process goes on: its window procedures go with it.
        standin::UnregisterWindowClasses();
    }
    return TRUE;
}

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) {
        return E_POINTER;
    }
    *out = nullptr;
    if (!IsEqualCLSID(clsid, kClsidWebBrowser)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return g_factory.QueryInterface(iid, out);
}

HRESULT WINAPI DllCanUnloadNow() {
    return g_locks == 0 && standin::LiveBrowserCount() == 0 && standin::LiveObjectCount() == 0 &&
                   standin::RunningUpstreamFetches() == 0
               ? S_OK
               : S_FALSE;
}

// For tests: what is still alive in this module.
LONG WINAPI ReelhawkStandinLiveObjects() {
    return standin::LiveObjectCount();
}
LONG WINAPI ReelhawkStandinLiveReferences() {
    return standin::LiveReferenceCount();
}
// Chromium's remote objects that automation objects of this module still hold.
LONG WINAPI ReelhawkStandinLiveRemoteObjects() {
    return standin::LiveRemoteObjectCount();
}
// What Chromium itself holds for this process's controls, asked of it (-1 without Chromium):
// remote objects of the shown pages, bytes of their heaps after a garbage collection, DOM nodes.
LONG WINAPI ReelhawkStandinChromiumHeldObjects() {
    return SumOverChromiumPages<LONG>(
        [](standin::ChromiumPage& page) { return page.HeldRemoteObjects(); });
}
LONGLONG WINAPI ReelhawkStandinChromiumHeapBytes() {
    return SumOverChromiumPages<LONGLONG>(
        [](standin::ChromiumPage& page) { return page.HeapBytes(); });
}
LONG WINAPI ReelhawkStandinChromiumDomNodes() {
    return SumOverChromiumPages<LONG>([](standin::ChromiumPage& page) { return page.DomNodes(); });
}
LONG WINAPI ReelhawkStandinLiveBrowsers() {
    return standin::LiveBrowserCount();
}
LONG WINAPI ReelhawkStandinInvokeCount() {
    return standin::InvokeCount();
}

}  // extern "C"
