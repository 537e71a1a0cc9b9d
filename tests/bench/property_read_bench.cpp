// What one property read costs through the stand-in browser control, as the page automation makes
// it: by member name through IDispatch, on an element of the shown page. With
// REELHAWK_STANDIN_ENGINE=chromium every read is a round trip to Chromium (through Winsock, the
// relay and the DevTools protocol); otherwise it stays in the document model in this process.
//
//   scripts/with-wine.sh wine build/windows/tests/bench/property_read_bench.exe [reads]
//                                                  default: 2000 (prefix the engine variable)
#include <windows.h>
#include <exdisp.h>
#include <mshtml.h>
#include <oleacc.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>

#include "dispatch_client.h"
#include "ole_host.h"

using namespace standin_test;

namespace {

const CLSID kClsidWebBrowser = {
    0x8856f961, 0x340a, 0x11d0, {0xa9, 0x6b, 0x00, 0xc0, 0x4f, 0xd7, 0x05, 0xa2}};

LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!done()) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
        if (GetTickCount64() >= end) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

HWND FindServer(HWND parent) {
    for (HWND child = FindWindowExW(parent, nullptr, nullptr, nullptr); child;
         child = FindWindowExW(parent, child, nullptr, nullptr)) {
        wchar_t name[64] = {};
        GetClassNameW(child, name, 64);
        if (lstrcmpW(name, L"Internet Explorer_Server") == 0) {
            return child;
        }
        if (HWND found = FindServer(child)) {
            return found;
        }
    }
    return nullptr;
}

double MicrosecondsPer(LARGE_INTEGER start, LARGE_INTEGER end, int count) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(end.QuadPart - start.QuadPart) * 1e6 /
           static_cast<double>(frequency.QuadPart) / count;
}

}  // namespace

int main(int argc, char** argv) {
    const int reads = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    OleInitialize(nullptr);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = HostProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"PropertyReadBenchHost";
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"host", WS_OVERLAPPEDWINDOW, 0, 0, 600, 300,
                                  nullptr, nullptr, wc.hInstance, nullptr);
    int status = 1;
    {
        auto host = std::make_unique<OleHost>(window, RECT{0, 0, 400, 200});
        Ref<IWebBrowser2> browser;
        Ref<IOleObject> object;
        if (FAILED(CoCreateInstance(kClsidWebBrowser, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IWebBrowser2, reinterpret_cast<void**>(browser.out()))) ||
            FAILED(
                browser->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(object.out())))) {
            std::fprintf(stderr, "no browser control: run under scripts/with-wine.sh\n");
            return 1;
        }
        object->SetClientSite(host.get());
        RECT rect = {0, 0, 400, 200};
        object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, host.get(), 0, window, &rect);
        BSTR address = SysAllocString(L"http://resolver.reelhawk.test/");
        browser->Navigate(address, nullptr, nullptr, nullptr, nullptr);
        SysFreeString(address);
        HWND server = nullptr;
        Ref<IDispatch> document;
        if (PumpUntil([&] { return (server = FindServer(window)) != nullptr; }, 20000) &&
            SUCCEEDED(browser->get_Document(document.out())) && document) {
            Ref<IDispatch> inputs = TagsOf(document.get(), L"input");
            Ref<IDispatch> field = ItemOf(inputs.get(), 1);
            LARGE_INTEGER start;
            LARGE_INTEGER end;
            QueryPerformanceCounter(&start);
            size_t characters = 0;
            for (int i = 0; i < reads; ++i) {
                characters += GetText(field.get(), L"name").size();
            }
            QueryPerformanceCounter(&end);
            const double read = MicrosecondsPer(start, end, reads);
            QueryPerformanceCounter(&start);
            for (int i = 0; i < reads; ++i) {
                Ref<IDispatch> item = ItemOf(inputs.get(), i % 4);
                characters += item ? 1 : 0;
            }
            QueryPerformanceCounter(&end);
            const double item = MicrosecondsPer(start, end, reads);
            std::printf("reads  us/property-read  us/item(i)  (%zu)\n", characters);
            std::printf("%5d  %15.1f  %10.1f\n", reads, read, item);
            status = characters == static_cast<size_t>(reads) * 4 ? 0 : 1;
        } else {
            std::fprintf(stderr, "the resolver page did not load\n");
        }
        document.Reset();
        object->Close(OLECLOSE_NOSAVE);
        object->SetClientSite(nullptr);
    }
    DestroyWindow(window);
    OleUninitialize();
    return status;
}
