// The stand-in browser control driven the way the program drives the system's browser: created
// for the web browser control's class, in-place activated in a window by a small OLE host,
// navigated to the demo resolver, its document taken with "WM_HTML_GETOBJECT" and worked through
// plain IDispatch by member name.

#include <winsock2.h>
#include <gtest/gtest.h>
#include <exdisp.h>
#include <mshtml.h>
#include <oleacc.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dispatch_client.h"
#include "ole_host.h"
#include "standin_checks.h"
#include "standin/document.h"
#include "standin/url.h"
#include "runtime/window_handle.h"

using namespace standin_test;

namespace {

const CLSID kClsidWebBrowser = {
    0x8856f961, 0x340a, 0x11d0, {0xa9, 0x6b, 0x00, 0xc0, 0x4f, 0xd7, 0x05, 0xa2}};
const wchar_t kResolver[] = L"http://resolver.reelhawk.test/";

std::wstring Widen(const char* text) {
    return standin::BytesToWide(text, CP_ACP);
}

LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

// Dispatches whatever arrives until the condition holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000) {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done()) {
            return true;
        }
        if (GetTickCount64() >= end) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

void PumpFor(DWORD ms) {
    PumpUntil([] { return false; }, ms);
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

HWND FindByClass(HWND parent, const wchar_t* className) {
    for (HWND child = FindWindowExW(parent, nullptr, nullptr, nullptr); child;
         child = FindWindowExW(parent, child, nullptr, nullptr)) {
        if (ClassOf(child) == className) {
            return child;
        }
        if (HWND found = FindByClass(child, className)) {
            return found;
        }
    }
    return nullptr;
}

// The document, as the page automation takes it from the document window.
Ref<IDispatch> TakeDocument(HWND server) {
    UINT message = RegisterWindowMessageA("WM_HTML_GETOBJECT");
    DWORD_PTR result = 0;
    SendMessageTimeoutA(server, message, 0, 0, SMTO_ABORTIFHUNG, 1000, &result);
    Ref<IUnknown> document;
    if (ObjectFromLresult(result, IID_IHTMLDocument, 0, reinterpret_cast<void**>(document.out())) !=
        S_OK) {
        return {};
    }
    Ref<IDispatch> dispatch;
    document->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.out()));
    return dispatch;
}

std::wstring UrlOf(HWND server) {
    Ref<IDispatch> document = TakeDocument(server);
    return document ? GetText(document.get(), L"URL") : L"";
}

class StandinBrowser : public ::testing::Test {
  protected:
    void SetUp() override {
        HRESULT hr = OleInitialize(nullptr);
        ASSERT_TRUE(SUCCEEDED(hr));
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        log_ = std::wstring(temp) + L"standin_browser_test_" +
               std::to_wstring(GetCurrentProcessId()) + L".log";
        DeleteFileW(log_.c_str());
        SetEnvironmentVariableW(L"REELHAWK_STANDIN_LOG", log_.c_str());
        SetEnvironmentVariableW(L"REELHAWK_STANDIN_WEBROOT", Widen(REELHAWK_STANDIN_SITE).c_str());

        WNDCLASSW wc = {};
        wc.lpfnWndProc = HostProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"StandinTestHost";
        RegisterClassW(&wc);
        // Like the program's browser component: a container window that is never shown.
        window_ =
            CreateWindowExW(0, L"StandinTestHost", L"host", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                            0, 0, 900, 300, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(window_, nullptr);
        host_ = std::make_unique<OleHost>(window_, RECT{416, 0, 840, 224});
    }

    void TearDown() override {
        if (window_) {
            DestroyWindow(window_);
        }
        host_.reset();
        OleUninitialize();
        SetEnvironmentVariableW(L"REELHAWK_STANDIN_LOG", nullptr);
        DeleteFileW(log_.c_str());
    }

    Ref<IWebBrowser2> CreateBrowser() {
        Ref<IWebBrowser2> browser;
        HRESULT hr = CoCreateInstance(kClsidWebBrowser, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IWebBrowser2, reinterpret_cast<void**>(browser.out()));
        EXPECT_EQ(hr, S_OK) << "is the stand-in registered in this prefix?";
        return browser;
    }

    // What the program does when it creates its browser component.
    void Embed(IWebBrowser2* browser) {
        Ref<IOleObject> object;
        ASSERT_EQ(browser->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(object.out())),
                  S_OK);
        ASSERT_EQ(object->SetClientSite(host_.get()), S_OK);
        EXPECT_EQ(browser->put_Offline(VARIANT_FALSE), S_OK);
        EXPECT_EQ(browser->put_Silent(VARIANT_TRUE), S_OK);
        Var zoom = Var::Int(2);
        EXPECT_EQ(browser->ExecWB(OLECMDID_ZOOM, OLECMDEXECOPT_DONTPROMPTUSER, &zoom.v, nullptr),
                  S_OK);
        RECT rect = {416, 0, 840, 224};
        ASSERT_EQ(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, host_.get(), 0, window_, &rect),
                  S_OK);
    }

    static HRESULT Navigate(IWebBrowser2* browser, const wchar_t* url) {
        BSTR address = SysAllocString(url);
        Var flags = Var::Int(0);
        Var none;
        HRESULT hr = browser->Navigate(address, &flags.v, &none.v, &none.v, &none.v);
        SysFreeString(address);
        return hr;
    }

    void Shutdown(Ref<IWebBrowser2>& browser) {
        Ref<IOleObject> object;
        browser->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(object.out()));
        EXPECT_EQ(object->Close(OLECLOSE_NOSAVE), S_OK);
        EXPECT_EQ(object->SetClientSite(nullptr), S_OK);
        object.Reset();
        browser.Reset();
    }

    // A browser embedded as the program embeds it, showing the resolver's start page, and its
    // document window in `server` (null, with the failure recorded, when it got no further).
    Ref<IWebBrowser2> ShowResolver(HWND& server) {
        server = nullptr;
        Ref<IWebBrowser2> browser = CreateBrowser();
        if (!browser) {
            return browser;
        }
        Embed(browser.get());
        if (HasFatalFailure()) {
            return browser;
        }
        EXPECT_EQ(Navigate(browser.get(), kResolver), S_OK);
        server = WaitForServer();
        return browser;
    }

    HWND WaitForServer() {
        HWND server = nullptr;
        PumpUntil([&] {
            return (server = FindByClass(window_, L"Internet Explorer_Server")) != nullptr;
        });
        return server;
    }

    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        std::ifstream in(standin::WideToBytes(log_, CP_ACP));
        std::string line;
        while (std::getline(in, line)) {
            lines.push_back(line);
        }
        return lines;
    }

    HWND window_ = nullptr;
    std::unique_ptr<OleHost> host_;
    std::wstring log_;
};

TEST_F(StandinBrowser, ResolvesLikeTheToolDoes) {
    Ref<IWebBrowser2> browser = CreateBrowser();
    ASSERT_TRUE(browser);
    Embed(browser.get());
    ASSERT_EQ(Navigate(browser.get(), kResolver), S_OK);
    // Navigate returned at once: nothing is shown yet.
    EXPECT_EQ(FindByClass(window_, L"Internet Explorer_Server"), nullptr);
    VARIANT_BOOL busy = VARIANT_FALSE;
    EXPECT_EQ(browser->get_Busy(&busy), S_OK);
    EXPECT_EQ(busy, VARIANT_TRUE);

    HWND server = WaitForServer();
    ASSERT_NE(server, nullptr);
    const std::wstring videoPage = L"http://v.youku.test/v_show/id_X1.html";
    {
        Ref<IDispatch> document = TakeDocument(server);
        ASSERT_TRUE(document);
        EXPECT_EQ(GetText(document.get(), L"URL"), kResolver);
        Ref<IDispatch> inputs = TagsOf(document.get(), L"input");
        ASSERT_EQ(GetNumber(inputs.get(), L"length"), 4.0);
        Ref<IDispatch> hidden = ItemOf(inputs.get(), 0);
        Ref<IDispatch> address = ItemOf(inputs.get(), 1);
        Ref<IDispatch> submit = ItemOf(inputs.get(), 2);
        EXPECT_EQ(GetText(hidden.get(), L"type"), L"hidden");
        EXPECT_EQ(GetText(address.get(), L"type"), L"text");
        EXPECT_EQ(GetText(submit.get(), L"type"), L"submit");
        EXPECT_EQ(GetNumber(TagsOf(document.get(), L"textarea").get(), L"length"), 1.0);
        EXPECT_EQ(PutText(address.get(), L"value", videoPage.c_str()), S_OK);
        EXPECT_EQ(CallMethod(submit.get(), L"click"), S_OK);
        // The click only starts the navigation; the new page comes from the message loop. The
        // model answers from the old page meanwhile. On Chromium the submission waits there for
        // the control to announce it, and Chromium answers nothing in the page until it has
        // ended, so the old document answers empty values, at once; it never is the new page.
        const std::wstring url = GetText(document.get(), L"URL");
        EXPECT_EQ(url, UnderChromium() ? L"" : kResolver) << standin::WideToUtf8(url);
    }
    const std::wstring resultUrl =
        L"http://resolver.reelhawk.test/resolve.html?token=demo-2026"
        L"&url=http%3A%2F%2Fv.youku.test%2Fv_show%2Fid_X1.html&note=";
    ASSERT_TRUE(PumpUntil([&] { return UrlOf(server) == resultUrl; })) << UrlOf(server);
    // The document window stays; the document it answers with is the new page.
    EXPECT_EQ(FindByClass(window_, L"Internet Explorer_Server"), server);

    Ref<IDispatch> result = TakeDocument(server);
    ASSERT_TRUE(result);
    Ref<IDispatch> links = TagsOf(result.get(), L"a");
    double count = GetNumber(links.get(), L"length");
    EXPECT_EQ(count, 10.0);  // the frame's links are not part of the page
    std::vector<std::wstring> videos;
    std::vector<std::wstring> texts;
    for (int i = 0; i < static_cast<int>(count); ++i) {
        Ref<IDispatch> link = ItemOf(links.get(), i);
        std::wstring text = GetText(link.get(), L"innerText");
        texts.push_back(text);
        if (text.find(L".flv") != std::wstring::npos || text.find(L".mp4") != std::wstring::npos ||
            text.find(L".m3u8") != std::wstring::npos) {
            videos.push_back(GetText(link.get(), L"outerHTML"));
        }
    }
    EXPECT_EQ(texts.front(), L"\x9996\x9875");  // 首页, decoded from the GBK page
    EXPECT_EQ(videos, (std::vector<std::wstring>{
                          L"<a href=\"http://media.reelhawk.test/v/part1.flv\">part1.flv</a>",
                          L"<a href=\"http://media.reelhawk.test/v/part2.flv\">part2.flv</a>",
                          L"<a href=\"http://media.reelhawk.test/v/part3.flv\">part3.flv</a>",
                          L"<a href=\"http://media.reelhawk.test/v/full.mp4\">full.mp4</a>",
                          L"<a href=\"http://media.reelhawk.test/hls/index.m3u8\">index.m3u8</a>",
                          L"<a href=\"http://media.reelhawk.test/v/part1.flv\">part1.flv"
                          L"\xFF08\x955C\x50CF\xFF09</a>",
                      }));
    links.Reset();
    result.Reset();
    // Everything handed out was given back; the browser itself keeps no automation object.
    EXPECT_EQ(StandinFigure("ReelhawkStandinLiveObjects"), 0);
    EXPECT_EQ(StandinFigure("ReelhawkStandinLiveReferences"), 0);

    Shutdown(browser);
    EXPECT_FALSE(IsWindow(server));
    EXPECT_EQ(StandinFigure("ReelhawkStandinLiveBrowsers"), 0);
    EXPECT_EQ(host_->references(), 0);  // the control let go of its site
    EXPECT_EQ(host_->activations(), 1);
    EXPECT_EQ(host_->deactivations(), 1);
}

TEST_F(StandinBrowser, LogRecordsWhatTheHostAndThePageAsked) {
    HWND server = nullptr;
    Ref<IWebBrowser2> browser = ShowResolver(server);
    ASSERT_NE(server, nullptr);
    {
        Ref<IDispatch> document = TakeDocument(server);
        Ref<IDispatch> inputs = TagsOf(document.get(), L"input");
        PutText(ItemOf(inputs.get(), 1).get(), L"value", L"http://v.test/a b");
        CallMethod(ItemOf(inputs.get(), 2).get(), L"click");
    }
    ASSERT_TRUE(
        PumpUntil([&] { return UrlOf(server).find(L"resolve.html") != std::wstring::npos; }));
    VARIANT_BOOL visible;
    EXPECT_EQ(browser->get_Visible(&visible), E_NOTIMPL);
    Shutdown(browser);

    std::vector<std::string> expected = {
        "Create",
        "SetClientSite set",
        "put_Offline 0",
        "put_Silent -1",
        "ExecWB 19 2 VT_I4:2",
        "DoVerb -5",
        "Navigate http://resolver.reelhawk.test/ flags=0",
        "Loaded http://resolver.reelhawk.test/",
        "Value input type=text name=url http://v.test/a b",
        "Click input type=submit",
        "Submit "
        "http://resolver.reelhawk.test/"
        "resolve.html?token=demo-2026&url=http%3A%2F%2Fv.test%2Fa+b&note=",
        "Loaded "
        "http://resolver.reelhawk.test/"
        "resolve.html?token=demo-2026&url=http%3A%2F%2Fv.test%2Fa+b&note=",
        "get_Visible E_NOTIMPL",
        "Close",
        "InPlaceDeactivate",
        "SetClientSite null",
        "Destroy",
    };
    EXPECT_EQ(LogLines(), expected);
}

TEST_F(StandinBrowser, NavigationIsAsynchronousAndTheLatestWins) {
    Ref<IWebBrowser2> browser = CreateBrowser();
    ASSERT_TRUE(browser);
    Embed(browser.get());
    ASSERT_EQ(Navigate(browser.get(), L"http://resolver.reelhawk.test/help.html"), S_OK);
    ASSERT_EQ(Navigate(browser.get(), kResolver), S_OK);
    HWND server = WaitForServer();
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(UrlOf(server), kResolver);
    PumpFor(100);
    int loaded = 0;
    for (const std::string& line : LogLines()) {
        loaded += line.rfind("Loaded ", 0) == 0;
    }
    EXPECT_EQ(loaded, 1);  // the first navigation was replaced before it loaded

    // A page that is not there leaves the shown one, silently.
    ASSERT_EQ(Navigate(browser.get(), L"http://resolver.reelhawk.test/missing.html"), S_OK);
    ASSERT_EQ(Navigate(browser.get(), L"http://nosuchhost.reelhawk.test/"), S_OK);
    ASSERT_TRUE(PumpUntil([&] {
        std::vector<std::string> lines = LogLines();
        return !lines.empty() && lines.back() == "NotFound http://nosuchhost.reelhawk.test/";
    }));
    EXPECT_EQ(UrlOf(server), kResolver);
    Shutdown(browser);
}

TEST_F(StandinBrowser, PageLoadedBeforeActivationIsShownOnActivation) {
    Ref<IWebBrowser2> browser = CreateBrowser();
    ASSERT_TRUE(browser);
    ASSERT_EQ(Navigate(browser.get(), kResolver), S_OK);
    ASSERT_TRUE(PumpUntil([&] {
        BSTR url = nullptr;
        browser->get_LocationURL(&url);
        bool loaded = url && std::wstring(url) == kResolver;
        SysFreeString(url);
        return loaded;
    }));
    EXPECT_EQ(FindByClass(window_, L"Shell Embedding"), nullptr);
    Embed(browser.get());
    HWND server = FindByClass(window_, L"Internet Explorer_Server");
    ASSERT_NE(server, nullptr);  // at once: the page was already there
    EXPECT_EQ(UrlOf(server), kResolver);
    Shutdown(browser);
}

TEST_F(StandinBrowser, WindowTreeLikeTheRealControl) {
    Ref<IWebBrowser2> browser = CreateBrowser();
    ASSERT_TRUE(browser);
    Embed(browser.get());
    HWND embedding = FindByClass(window_, L"Shell Embedding");
    ASSERT_NE(embedding, nullptr);
    EXPECT_EQ(rh::WindowHandleValue(GetParent(embedding)), rh::WindowHandleValue(window_));
    HWND view = FindByClass(embedding, L"Shell DocObject View");
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(rh::WindowHandleValue(GetParent(view)), rh::WindowHandleValue(embedding));
    // No document yet, so no document window.
    EXPECT_EQ(FindByClass(window_, L"Internet Explorer_Server"), nullptr);

    RECT rect;
    GetWindowRect(embedding, &rect);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&rect), 2);
    EXPECT_EQ(rect.left, 416);
    EXPECT_EQ(rect.top, 0);
    EXPECT_EQ(rect.right - rect.left, 424);
    EXPECT_EQ(rect.bottom - rect.top, 224);

    Ref<IOleInPlaceObject> inPlace;
    ASSERT_EQ(
        browser->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(inPlace.out())),
        S_OK);
    HWND reported = nullptr;
    EXPECT_EQ(inPlace->GetWindow(&reported), S_OK);
    EXPECT_EQ(rh::WindowHandleValue(reported), rh::WindowHandleValue(embedding));
    RECT moved = {10, 20, 210, 120};
    EXPECT_EQ(inPlace->SetObjectRects(&moved, &moved), S_OK);

    ASSERT_EQ(Navigate(browser.get(), kResolver), S_OK);
    HWND server = WaitForServer();
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(rh::WindowHandleValue(GetParent(server)), rh::WindowHandleValue(view));
    RECT inner;
    GetClientRect(server, &inner);
    EXPECT_EQ(inner.right, 200);
    EXPECT_EQ(inner.bottom, 100);
    // A look at the rendering: the start page's text is painted.
    UpdateWindow(server);

    inPlace.Reset();
    Shutdown(browser);
    EXPECT_FALSE(IsWindow(embedding));
}

TEST_F(StandinBrowser, FileAddressesLoadAndLinksNavigate) {
    Ref<IWebBrowser2> browser = CreateBrowser();
    ASSERT_TRUE(browser);
    Embed(browser.get());
    std::wstring help = standin::HostPathToWindows(Widen(REELHAWK_STANDIN_SITE)) +
                        L"\\resolver.reelhawk.test\\help.html";
    ASSERT_EQ(Navigate(browser.get(), help.c_str()), S_OK);
    HWND server = WaitForServer();
    ASSERT_NE(server, nullptr);
    std::wstring helpUrl = UrlOf(server);
    EXPECT_EQ(helpUrl.rfind(L"file:///", 0), 0u) << helpUrl;

    Ref<IDispatch> page = TakeDocument(server);
    Ref<IDispatch> links = TagsOf(page.get(), L"a");
    Ref<IDispatch> home = ItemOf(links.get(), 0);
    std::wstring href = GetText(home.get(), L"href");
    EXPECT_EQ(href, helpUrl.substr(0, helpUrl.size() - 9) + L"index.html");
    EXPECT_EQ(CallMethod(home.get(), L"click"), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return UrlOf(server) == href; }));

    // The old page is no longer shown: its links and buttons lead nowhere now.
    EXPECT_EQ(CallMethod(home.get(), L"click"), S_OK);
    PumpFor(100);
    std::vector<std::string> lines = LogLines();
    int loads = 0;
    for (const std::string& line : lines) {
        loads += line.rfind("Loaded ", 0) == 0;
    }
    EXPECT_EQ(loads, 2);
    home.Reset();
    links.Reset();
    page.Reset();
    Shutdown(browser);
}

TEST_F(StandinBrowser, LoadsWithoutRegistrationAndUnloadsWhenDone) {
    std::wstring path = standin::HostPathToWindows(Widen(REELHAWK_STANDIN_DLL));
    HMODULE module = LoadLibraryW(path.c_str());
    ASSERT_NE(module, nullptr) << standin::WideToUtf8(path);
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    using CanUnload = HRESULT(WINAPI*)();
    auto getClassObject = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    auto canUnload = reinterpret_cast<CanUnload>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    ASSERT_TRUE(getClassObject && canUnload);

    Ref<IClassFactory> factory;
    ASSERT_EQ(getClassObject(kClsidWebBrowser, IID_IClassFactory,
                             reinterpret_cast<void**>(factory.out())),
              S_OK);
    Ref<IUnknown> dummy;
    EXPECT_EQ(
        getClassObject(IID_IUnknown, IID_IClassFactory, reinterpret_cast<void**>(dummy.out())),
        CLASS_E_CLASSNOTAVAILABLE);
    Ref<IWebBrowser2> browser;
    ASSERT_EQ(
        factory->CreateInstance(nullptr, IID_IWebBrowser2, reinterpret_cast<void**>(browser.out())),
        S_OK);
    Ref<IWebBrowserApp> app;
    EXPECT_EQ(browser->QueryInterface(IID_IWebBrowserApp, reinterpret_cast<void**>(app.out())),
              S_OK);
    EXPECT_EQ(static_cast<void*>(app.get()), static_cast<void*>(browser.get()));
    factory.Reset();
    app.Reset();
    EXPECT_EQ(canUnload(), S_FALSE);

    Embed(browser.get());
    ASSERT_EQ(Navigate(browser.get(), kResolver), S_OK);
    HWND server = WaitForServer();
    ASSERT_NE(server, nullptr);
    Ref<IDispatch> fromBrowser;
    EXPECT_EQ(browser->get_Document(fromBrowser.out()), S_OK);
    Ref<IDispatch> fromWindow = TakeDocument(server);
    EXPECT_EQ(fromBrowser.get(), fromWindow.get());  // one document object
    fromBrowser.Reset();
    fromWindow.Reset();
    Shutdown(browser);
    EXPECT_EQ(canUnload(), S_OK);
    FreeLibrary(module);
}

// Objects of a page that has gone: the model keeps the old page alive behind them, so they answer
// as before; Chromium has dropped the page, so they answer empty values, at once. Either way the
// remote objects handed out are given back to Chromium when the program lets go.
TEST_F(StandinBrowser, ObjectsOfAnOldPageNeverHangAndRemoteObjectsAreGivenBack) {
    HWND server = nullptr;
    Ref<IWebBrowser2> browser = ShowResolver(server);
    ASSERT_NE(server, nullptr);
    const LONG remoteAtStart = StandinFigure("ReelhawkStandinLiveRemoteObjects");
    const LONG objectsAtStart = StandinFigure("ReelhawkStandinLiveObjects");

    Ref<IDispatch> document = TakeDocument(server);
    Ref<IDispatch> links = TagsOf(document.get(), L"a");
    Ref<IDispatch> help = ItemOf(links.get(), 1);
    const std::wstring helpUrl = L"http://resolver.reelhawk.test/help.html";
    ASSERT_EQ(GetText(help.get(), L"href"), helpUrl);
    for (int round = 0; round < 20; ++round) {  // what a harvest asks, many times over
        Ref<IDispatch> link = ItemOf(links.get(), round % 2);
        EXPECT_FALSE(GetText(link.get(), L"innerText").empty());
    }
    EXPECT_GT(StandinFigure("ReelhawkStandinLiveObjects"), objectsAtStart);

    ASSERT_EQ(Navigate(browser.get(), helpUrl.c_str()), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return UrlOf(server) == helpUrl; }));
    if (UnderChromium()) {
        EXPECT_EQ(GetText(help.get(), L"href"), L"");
        EXPECT_EQ(GetText(help.get(), L"innerText"), L"");
        EXPECT_EQ(GetNumber(links.get(), L"length"), 0.0);
        EXPECT_EQ(GetText(document.get(), L"URL"), L"");
    } else {
        EXPECT_EQ(GetText(help.get(), L"href"), helpUrl);
        EXPECT_EQ(GetText(document.get(), L"URL"), kResolver);
    }
    help.Reset();
    links.Reset();
    document.Reset();
    EXPECT_EQ(StandinFigure("ReelhawkStandinLiveObjects"), objectsAtStart);
    // The new page's document is the one the browser holds; nothing else is left in Chromium.
    EXPECT_EQ(StandinFigure("ReelhawkStandinLiveRemoteObjects"), remoteAtStart);
    Shutdown(browser);
    EXPECT_EQ(StandinFigure("ReelhawkStandinLiveRemoteObjects"), 0);
}

// A Chromium that is not there: the control is a browser without a document. Navigate returns at
// once, the log says why, and the program gets no document rather than a hang.
TEST_F(StandinBrowser, WithoutChromiumTheControlShowsNothingAndSaysWhy) {
    const ScopedEnvironment engine("REELHAWK_STANDIN_ENGINE", "chromium");
    const ScopedEnvironment relay("REELHAWK_STANDIN_CHROMIUM", "127.0.0.1:1");  // nobody listens
    {
        Ref<IWebBrowser2> browser = CreateBrowser();
        ASSERT_TRUE(browser);
        Embed(browser.get());
        EXPECT_EQ(Navigate(browser.get(), kResolver), S_OK);
        PumpFor(100);
        Ref<IDispatch> document;
        EXPECT_EQ(browser->get_Document(document.out()), S_FALSE);
        EXPECT_FALSE(document);
        EXPECT_EQ(FindByClass(window_, L"Internet Explorer_Server"), nullptr);
        bool said = false;
        for (const std::string& line : LogLines()) {
            said =
                said || line.rfind("ChromiumUnavailable no relay answers at 127.0.0.1:1", 0) == 0;
        }
        EXPECT_TRUE(said);
        Shutdown(browser);
    }
}

// Starts Winsock (the caller ends it with WSACleanup) and listens on a free port of 127.0.0.1.
SOCKET ListenOnLoopback(int backlog, int& port) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::listen(listener, backlog);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return listener;
}

// Plays Chromium's relay for one connection: answers what the control asks while a page is set up
// and loaded, then, told to, goes away as a Chromium that dies mid-run does.
class DyingRelay {
  public:
    DyingRelay() {
        listener_ = ListenOnLoopback(1, port_);
        thread_ = std::thread([this] { Serve(); });
    }
    ~DyingRelay() {
        Die();
        thread_.join();
        WSACleanup();
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
    // Both ends go, as when the relay ends with Chromium: nobody answers at the address either.
    void Die() {
        SOCKET listener = listener_.exchange(INVALID_SOCKET);
        if (listener != INVALID_SOCKET) {
            closesocket(listener);
        }
        SOCKET client = client_.exchange(INVALID_SOCKET);
        if (client != INVALID_SOCKET) {
            shutdown(client, SD_BOTH);
            closesocket(client);
        }
    }

  private:
    void Serve() {
        SOCKET client = ::accept(listener_.load(), nullptr, nullptr);
        if (client == INVALID_SOCKET) {
            return;
        }
        client_ = client;
        std::string buffer;
        char chunk[4096];
        int got;
        while ((got = recv(client, chunk, sizeof(chunk), 0)) > 0) {
            buffer.append(chunk, static_cast<size_t>(got));
            size_t end;
            while ((end = buffer.find('\0')) != std::string::npos) {
                Answer(client, buffer.substr(0, end));
                buffer.erase(0, end + 1);
            }
        }
    }
    static std::string Field(const std::string& message, const std::string& key) {
        size_t at = message.find("\"" + key + "\":");
        if (at == std::string::npos) {
            return {};
        }
        at += key.size() + 3;
        size_t end =
            message[at] == '"' ? message.find('"', at + 1) + 1 : message.find_first_of(",}", at);
        return message.substr(at, end - at);
    }
    void Answer(SOCKET client, const std::string& message) {
        const std::string id = Field(message, "id");
        const std::string method = Field(message, "method");
        std::string result = "{}";
        std::vector<std::string> events;
        if (method == "\"Target.createBrowserContext\"") {
            result = R"({"browserContextId":"c"})";
        } else if (method == "\"Target.createTarget\"") {
            result = R"({"targetId":"t"})";
        } else if (method == "\"Target.attachToTarget\"") {
            result = R"({"sessionId":"s"})";
        } else if (method == "\"Page.getFrameTree\"") {
            result = R"({"frameTree":{"frame":{"id":"f"}}})";
        } else if (method == "\"Runtime.evaluate\"") {
            result = R"({"result":{"type":"object","objectId":"d"}})";
        } else if (method == "\"Runtime.callFunctionOn\"") {
            result = R"({"result":{"type":"string","value":"http://resolver.reelhawk.test/"}})";
        } else if (method == "\"Page.navigate\"") {
            events = {
                R"({"method":"Page.frameNavigated","params":{"frame":{"id":"f","url":"http://resolver.reelhawk.test/"}},"sessionId":"s"})",
                R"({"method":"Page.loadEventFired","params":{},"sessionId":"s"})"};
        }
        std::string out = "{\"id\":" + id + ",\"result\":" + result + "}";
        out.push_back('\0');
        for (const std::string& event : events) {
            out += event;
            out.push_back('\0');
        }
        send(client, out.data(), static_cast<int>(out.size()), 0);
    }

    std::atomic<SOCKET> listener_{INVALID_SOCKET};
    std::atomic<SOCKET> client_{INVALID_SOCKET};
    int port_ = 0;
    std::thread thread_;
};

// Chromium that goes away while a page is shown: the control becomes a browser without a
// document, objects already handed out answer empty values at once, and nothing waits.
TEST_F(StandinBrowser, ChromiumThatDiesMidRunLeavesABrowserWithoutADocument) {
    DyingRelay relay;
    const ScopedEnvironment engine("REELHAWK_STANDIN_ENGINE", "chromium");
    const ScopedEnvironment address("REELHAWK_STANDIN_CHROMIUM", relay.Address().c_str());
    {
        HWND server = nullptr;
        Ref<IWebBrowser2> browser = ShowResolver(server);
        ASSERT_NE(server, nullptr);
        Ref<IDispatch> document = TakeDocument(server);
        ASSERT_TRUE(document);
        EXPECT_EQ(GetText(document.get(), L"URL"), kResolver);

        relay.Die();
        ASSERT_TRUE(PumpUntil([&] {
            bool gone = false;
            for (const std::string& line : LogLines()) {
                gone = gone || line.rfind("ChromiumGone", 0) == 0;
            }
            return gone;
        }));
        // The control knows Chromium has gone, so no call waits for an answer that cannot come.
        EXPECT_EQ(GetText(document.get(), L"URL"), L"");
        EXPECT_FALSE(TakeDocument(server));
        EXPECT_EQ(Navigate(browser.get(), kResolver), S_OK);
        document.Reset();
        Shutdown(browser);
    }
}

// Records the DWebBrowserEvents2 members it is sent, by name.
class EventRecorder final : public IDispatch {
  public:
    std::vector<std::wstring> events;
    Ref<IDispatch> lastBrowser;
    // BeforeNavigate2 for an address containing this (when not empty) is cancelled, after
    // thinking this long (as a host asking its user would, the control's thread held meanwhile).
    std::wstring refuse;
    DWORD thinkMs = 0;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) {
            return E_POINTER;
        }
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
            IsEqualIID(iid, DIID_DWebBrowserEvents2)) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs_); }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        switch (member) {
            case 250:  // DISPID_BEFORENAVIGATE2
                events.push_back(L"BeforeNavigate2 " + UrlArgument(*params, 5));
                Keep(*params, 6);
                if (!refuse.empty() && UrlArgument(*params, 5).find(refuse) != std::wstring::npos &&
                    V_VT(&params->rgvarg[0]) == (VT_BOOL | VT_BYREF)) {
                    Sleep(thinkMs);
                    *V_BOOLREF(&params->rgvarg[0]) = VARIANT_TRUE;  // Cancel, the last argument
                }
                break;
            case 106:  // DISPID_DOWNLOADBEGIN
                events.push_back(L"DownloadBegin");
                break;
            case 252:  // DISPID_NAVIGATECOMPLETE2
                events.push_back(L"NavigateComplete2 " + UrlArgument(*params, 0));
                break;
            case 104:  // DISPID_DOWNLOADCOMPLETE
                events.push_back(L"DownloadComplete");
                break;
            case 259:  // DISPID_DOCUMENTCOMPLETE
                events.push_back(L"DocumentComplete " + UrlArgument(*params, 0));
                Keep(*params, 1);
                break;
            case 271:  // DISPID_NAVIGATEERROR
                events.push_back(L"NavigateError " + UrlArgument(*params, 3));
                break;
            default:
                break;
        }
        return S_OK;
    }

  private:
    static std::wstring UrlArgument(const DISPPARAMS& params, UINT at) {
        if (at >= params.cArgs) {
            return L"?";
        }
        const VARIANT& arg = params.rgvarg[at];
        const VARIANT* value = V_VT(&arg) == (VT_VARIANT | VT_BYREF) ? V_VARIANTREF(&arg) : &arg;
        return V_VT(value) == VT_BSTR ? std::wstring(V_BSTR(value), SysStringLen(V_BSTR(value)))
                                      : L"?";
    }
    void Keep(const DISPPARAMS& params, UINT at) {
        if (at < params.cArgs && V_VT(&params.rgvarg[at]) == VT_DISPATCH) {
            V_DISPATCH(&params.rgvarg[at])->AddRef();
            *lastBrowser.out() = V_DISPATCH(&params.rgvarg[at]);
        }
    }
    LONG refs_ = 1;
};

// Connects a sink to the browser's DWebBrowserEvents2 point; the cookie, 0 on failure.
DWORD Connect(IWebBrowser2* browser, IDispatch* sink, Ref<IConnectionPoint>& point) {
    Ref<IConnectionPointContainer> points;
    if (browser->QueryInterface(IID_IConnectionPointContainer,
                                reinterpret_cast<void**>(points.out())) != S_OK ||
        points->FindConnectionPoint(DIID_DWebBrowserEvents2, point.out()) != S_OK) {
        return 0;
    }
    DWORD cookie = 0;
    return point->Advise(sink, &cookie) == S_OK ? cookie : 0;
}

TEST_F(StandinBrowser, NavigationEventsComeInTheRealControlsOrder) {
    Ref<IWebBrowser2> browser = CreateBrowser();
    ASSERT_TRUE(browser);
    Embed(browser.get());
    EventRecorder sink;
    Ref<IConnectionPoint> point;
    const DWORD cookie = Connect(browser.get(), &sink, point);
    ASSERT_NE(cookie, 0u);

    // Announced inside Navigate, before anything loads; the rest from the message loop.
    ASSERT_EQ(Navigate(browser.get(), kResolver), S_OK);
    EXPECT_EQ(sink.events,
              std::vector<std::wstring>{std::wstring(L"BeforeNavigate2 ") + kResolver});
    ASSERT_TRUE(PumpUntil([&] { return sink.events.size() >= 5; }));
    PumpFor(50);
    const std::vector<std::wstring> expected = {
        std::wstring(L"BeforeNavigate2 ") + kResolver, L"DownloadBegin",
        std::wstring(L"NavigateComplete2 ") + kResolver, L"DownloadComplete",
        std::wstring(L"DocumentComplete ") + kResolver};
    EXPECT_EQ(sink.events, expected);
    READYSTATE state = READYSTATE_UNINITIALIZED;
    EXPECT_EQ(browser->get_ReadyState(&state), S_OK);
    EXPECT_EQ(state, READYSTATE_COMPLETE);
    // The events name the control itself: a host tells its own page from a frame's by it.
    Ref<IUnknown> fromEvent;
    Ref<IUnknown> control;
    ASSERT_TRUE(sink.lastBrowser);
    sink.lastBrowser->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(fromEvent.out()));
    browser->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(control.out()));
    EXPECT_EQ(fromEvent.get(), control.get());
    sink.lastBrowser.Reset();

    // A page that is not there: an error instead of completion, the shown page stays.
    sink.events.clear();
    const std::wstring missing = L"http://resolver.reelhawk.test/missing.html";
    ASSERT_EQ(Navigate(browser.get(), missing.c_str()), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return sink.events.size() >= 4; }));
    PumpFor(50);
    EXPECT_EQ(sink.events,
              (std::vector<std::wstring>{L"BeforeNavigate2 " + missing, L"DownloadBegin",
                                         L"NavigateError " + missing, L"DownloadComplete"}));
    EXPECT_EQ(UrlOf(WaitForServer()), kResolver);

    EXPECT_EQ(point->Unadvise(cookie), S_OK);
    EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
    point.Reset();
    Shutdown(browser);
}

// A navigation the page starts itself (here a link clicked) is announced first, and a sink that
// cancels it keeps the page where it is: on Chromium the page's request waits for the answer.
// One the sink lets through goes ahead.
TEST_F(StandinBrowser, ASinkCancelsANavigationThePageStarts) {
    Ref<IWebBrowser2> browser = CreateBrowser();
    ASSERT_TRUE(browser);
    Embed(browser.get());
    EventRecorder sink;
    Ref<IConnectionPoint> point;
    const DWORD cookie = Connect(browser.get(), &sink, point);
    ASSERT_NE(cookie, 0u);
    ASSERT_EQ(Navigate(browser.get(), kResolver), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return sink.events.size() >= 5; }));
    HWND server = WaitForServer();
    ASSERT_NE(server, nullptr);

    const std::wstring help = L"http://resolver.reelhawk.test/help.html";
    sink.refuse = L"help.html";
    sink.thinkMs = 700;  // time enough for a page that was not held back to have come
    sink.events.clear();
    {
        Ref<IDispatch> document = TakeDocument(server);
        Ref<IDispatch> link = ItemOf(TagsOf(document.get(), L"a").get(), 1);
        ASSERT_EQ(GetText(link.get(), L"href"), help);
        EXPECT_EQ(CallMethod(link.get(), L"click"), S_OK);
    }
    ASSERT_TRUE(PumpUntil([&] { return !sink.events.empty(); }));
    PumpFor(UnderChromium() ? 700 : 100);  // and for one that came after the answer
    EXPECT_EQ(sink.events, std::vector<std::wstring>{L"BeforeNavigate2 " + help});
    EXPECT_EQ(UrlOf(server), kResolver);
    VARIANT_BOOL busy = VARIANT_TRUE;
    EXPECT_EQ(browser->get_Busy(&busy), S_OK);
    EXPECT_EQ(busy, VARIANT_FALSE);

    sink.refuse.clear();
    sink.events.clear();
    {
        Ref<IDispatch> document = TakeDocument(server);
        Ref<IDispatch> link = ItemOf(TagsOf(document.get(), L"a").get(), 1);
        EXPECT_EQ(CallMethod(link.get(), L"click"), S_OK);
    }
    ASSERT_TRUE(PumpUntil([&] { return UrlOf(server) == help; })) << UrlOf(server);
    ASSERT_FALSE(sink.events.empty());
    EXPECT_EQ(sink.events.front(), L"BeforeNavigate2 " + help);

    sink.lastBrowser.Reset();
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
    point.Reset();
    Shutdown(browser);
}

}  // namespace

namespace {

// A live HTTP server on 127.0.0.1: each request gets a page that names what was asked; the
// request lines are kept.
class LiveServer {
  public:
    LiveServer() {
        listener_ = ListenOnLoopback(8, port_);
        thread_ = std::thread([this] { Serve(); });
    }
    ~LiveServer() {
        closesocket(listener_.exchange(INVALID_SOCKET));
        thread_.join();
        WSACleanup();
    }
    int Port() const { return port_; }
    // What pages asked for (not the site's icon, which Chromium asks for by itself).
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> pages;
        for (const std::string& line : requests_) {
            if (line.find(" /favicon.ico ") == std::string::npos) {
                pages.push_back(line);
            }
        }
        return pages;
    }

  private:
    void Serve() {
        for (int served = 0; served < 64; ++served) {
            SOCKET client = ::accept(listener_.load(), nullptr, nullptr);
            if (client == INVALID_SOCKET) {
                return;
            }
            std::string request;
            char chunk[4096];
            int got;
            while (request.find("\r\n\r\n") == std::string::npos &&
                   (got = recv(client, chunk, sizeof(chunk), 0)) > 0) {
                request.append(chunk, static_cast<size_t>(got));
            }
            const std::string line = request.substr(0, request.find("\r\n"));
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(line);
            }
            const std::string body = "<html><head><title>Live</title></head><body><a href=\"/next\">"
                                     "live answer to " + line + "</a></body></html>";
            const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"
                                       "Connection: close\r\nContent-Length: " +
                                       std::to_string(body.size()) + "\r\n\r\n" + body;
            send(client, answer.data(), static_cast<int>(answer.size()), 0);
            shutdown(client, SD_SEND);
            closesocket(client);
        }
    }

    std::atomic<SOCKET> listener_{INVALID_SOCKET};
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
};

}  // namespace

TEST_F(StandinBrowser, ALiveServerBehindAHostServesItsPagesOnlyFromLoopback) {
    LiveServer live;
    // live.reelhawk.test is nowhere in the web folder; the resolver's host is, and its entry
    // names a server off this machine, which is refused.
    const std::string upstream = "live.reelhawk.test=127.0.0.1:" + std::to_string(live.Port()) +
                                 ", resolver.reelhawk.test=192.0.2.1:80";
    const ScopedEnvironment setting("REELHAWK_STANDIN_UPSTREAM", upstream.c_str());
    Ref<IWebBrowser2> browser = CreateBrowser();
    ASSERT_TRUE(browser);
    Embed(browser.get());
    const std::wstring address = L"http://live.reelhawk.test/page?q=a%20b";
    ASSERT_EQ(Navigate(browser.get(), address.c_str()), S_OK);
    HWND server = WaitForServer();
    ASSERT_NE(server, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return UrlOf(server) == address; }, 10000)) << UrlOf(server);
    // The page is the server's, and keeps its own address.
    Ref<IDispatch> page = TakeDocument(server);
    Ref<IDispatch> link = ItemOf(TagsOf(page.get(), L"a").get(), 0);
    ASSERT_TRUE(link);
    EXPECT_EQ(GetText(link.get(), L"innerText"), L"live answer to GET /page?q=a%20b HTTP/1.1");
    EXPECT_EQ(GetText(link.get(), L"href"), L"http://live.reelhawk.test/next");
    EXPECT_EQ(live.Requests(), std::vector<std::string>{"GET /page?q=a%20b HTTP/1.1"});
    link.Reset();
    page.Reset();

    // The refused entry: the resolver's page comes from the web folder, and the log says why.
    ASSERT_EQ(Navigate(browser.get(), kResolver), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return UrlOf(server) == kResolver; }, 10000));
    bool refused = false;
    for (const std::string& line : LogLines()) {
        refused = refused ||
                  line.rfind("UpstreamRefused resolver.reelhawk.test=192.0.2.1:80 ", 0) == 0;
        EXPECT_NE(line.rfind("Upstream http://resolver.", 0), 0u) << line;
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(live.Requests().size(), 1u);
    Shutdown(browser);
}
