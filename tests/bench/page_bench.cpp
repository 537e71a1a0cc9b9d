// How the page lookups scale with the number of links: fills documents of the stand-in's model
// with n links and times counting them and reading every link's text by position, as the harvest
// does (GetLinkInnerText of 1, 2, ... n). Prints milliseconds and the number of automation calls
// (IDispatch::Invoke) each took.
//
//   page_bench.exe [--uncounted] [n ...]      default: 100 1000 5000
//
// The calls are counted by an object placed in front of the document that wraps every object it
// hands out; --uncounted times the same work without it (the calls columns then show 0).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "page/page_automation.h"
#include "standin/document.h"
#include "standin/dom_objects.h"

namespace {

// Stands in front of an automation object and counts the calls made on it and on every object
// that it hands out. Type information is the object's own, so members bind as they would.
class CountingDispatch final : public IDispatch {
  public:
    CountingDispatch(IDispatch* inner, long* calls) : inner_(inner), calls_(calls) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch)) {
            return E_NOINTERFACE;
        }
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            inner_->Release();
            delete this;
        }
        return left;
    }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override { return inner_->GetTypeInfoCount(count); }
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
        return inner_->GetTypeInfo(index, lcid, info);
    }
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                               DISPID* ids) override {
        return inner_->GetIDsOfNames(iid, names, count, lcid, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override {
        ++*calls_;
        const HRESULT hr =
            inner_->Invoke(id, iid, lcid, flags, params, result, exception, argumentError);
        if (SUCCEEDED(hr) && result != nullptr && V_VT(result) == VT_DISPATCH &&
            V_DISPATCH(result) != nullptr) {
            V_DISPATCH(result) = new CountingDispatch(V_DISPATCH(result), calls_);
        }
        return hr;
    }

  private:
    ~CountingDispatch() = default;
    IDispatch* inner_;
    long* calls_;
    ULONG references_ = 1;
};

double Milliseconds(const LARGE_INTEGER& start, const LARGE_INTEGER& end) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

// A result page of n links, most of them naming video files, like the resolver's.
std::shared_ptr<standin::Document> ResultPage(int n) {
    auto document = standin::Document::Create(L"http://resolver.test/result");
    standin::Node* list = document->Body()->AppendElement(L"div", {{L"class", L"results"}});
    for (int i = 1; i <= n; ++i) {
        const std::wstring number = std::to_wstring(i);
        const std::wstring file = L"part" + number + (i % 3 == 0 ? L".m3u8" : L".mp4");
        const std::wstring href = L"http://cdn.test/v/" + file;
        list->AppendElement(L"a", {{L"href", href}, {L"target", L"_blank"}})->AppendText(file);
    }
    return document;
}

struct Figures {
    double milliseconds = 0;
    long calls = 0;
    long long checksum = 0;  // keeps the work from being taken for unused
};

template <class Work>
Figures Measure(rh::PageAutomation& page, long& calls, Work work) {
    Figures figures;
    calls = 0;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    figures.checksum = work(page);
    QueryPerformanceCounter(&end);
    figures.milliseconds = Milliseconds(start, end);
    figures.calls = calls;
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    bool counted = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--uncounted") == 0) {
            counted = false;
        } else {
            sizes.push_back(std::atoi(argv[i]));
        }
    }
    if (sizes.empty()) {
        sizes = {100, 1000, 5000};
    }

    rh::PageAutomation page;
    std::printf("%7s  %12s %12s  %12s %14s %10s %10s\n", "links", "count ms", "count calls",
                "harvest ms", "harvest calls", "ms/link", "calls/link");
    for (int n : sizes) {
        if (n <= 0) {
            continue;
        }
        auto document = ResultPage(n);
        long calls = 0;
        IDispatch* shown = standin::GetDocumentObject(document);
        page.document = rh::ComObject::Adopt(counted ? new CountingDispatch(shown, &calls) : shown);

        const Figures count = Measure(page, calls, [](rh::PageAutomation& p) {
            return static_cast<long long>(p.CountLinks());
        });
        const Figures harvest = Measure(page, calls, [n](rh::PageAutomation& p) {
            long long bytes = 0;
            for (int i = 1; i <= n; ++i) {
                bytes += static_cast<long long>(p.GetLinkInnerText(rh::IntegerToText(i)).size());
            }
            return bytes;
        });
        if (count.checksum != n || harvest.checksum == 0) {
            std::fprintf(stderr, "unexpected result for %d links: %lld links, %lld bytes\n", n,
                         count.checksum, harvest.checksum);
            return 1;
        }
        std::printf("%7d  %12.2f %12ld  %12.1f %14ld %10.3f %10.1f\n", n, count.milliseconds,
                    count.calls, harvest.milliseconds, harvest.calls, harvest.milliseconds / n,
                    static_cast<double>(harvest.calls) / n);
        std::fflush(stdout);
        rh::ClearObject(page.document);
    }
    return 0;
}
