// How the page lookups scale with the number of links: fills documents of the stand-in's model
// with n links and times counting them and reading every link's text by its number, as a caller
// that looks each link up does (GetLinkInnerText of 1, 2, ... n; the harvest did so before it took
// the links by their place). Prints milliseconds and the number of automation calls
// (IDispatch::Invoke) each took, and how much of that time was spent inside the document model
// itself (the rest is the page lookups and the automation layer's calls by name).
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

// What the calls cost: how many there were, and the time spent inside the document model.
struct CallTally {
    long calls = 0;
    LONGLONG ticksInModel = 0;
};

// Stands in front of an automation object and counts the calls made on it and on every object
// that it hands out. Type information is the object's own, so members bind as they would.
class CountingDispatch final : public IDispatch {
  public:
    CountingDispatch(IDispatch* inner, CallTally* tally) : inner_(inner), tally_(tally) {}

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
        ++tally_->calls;
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        QueryPerformanceCounter(&start);
        const HRESULT hr =
            inner_->Invoke(id, iid, lcid, flags, params, result, exception, argumentError);
        QueryPerformanceCounter(&end);
        tally_->ticksInModel += end.QuadPart - start.QuadPart;
        if (SUCCEEDED(hr) && result != nullptr && V_VT(result) == VT_DISPATCH &&
            V_DISPATCH(result) != nullptr) {
            V_DISPATCH(result) = new CountingDispatch(V_DISPATCH(result), tally_);
        }
        return hr;
    }

  private:
    ~CountingDispatch() = default;
    IDispatch* inner_;
    CallTally* tally_;
    ULONG references_ = 1;
};

double Milliseconds(LONGLONG ticks) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// A result page of n links naming video files, each in a list item of its own as the resolver
// writes them.
std::shared_ptr<standin::Document> ResultPage(int n) {
    auto document = standin::Document::Create(L"http://resolver.test/result");
    standin::Node* list = document->Body()->AppendElement(L"ul", {{L"class", L"files"}});
    for (int i = 1; i <= n; ++i) {
        const std::wstring number = std::to_wstring(i);
        const std::wstring file = L"part" + number + (i % 3 == 0 ? L".m3u8" : L".mp4");
        const std::wstring href = L"http://cdn.test/v/" + file;
        standin::Node* item = list->AppendElement(L"li");
        item->AppendText(L"第" + number + L"段 ");
        item->AppendElement(L"a", {{L"href", href}, {L"target", L"_blank"}})->AppendText(file);
    }
    return document;
}

struct Figures {
    double milliseconds = 0;
    double inModel = 0;  // milliseconds spent inside the document model's Invoke
    long calls = 0;
    long long checksum = 0;  // keeps the work from being taken for unused
};

template <class Work>
Figures Measure(rh::PageAutomation& page, CallTally& tally, Work work) {
    Figures figures;
    tally = {};
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    figures.checksum = work(page);
    QueryPerformanceCounter(&end);
    figures.milliseconds = Milliseconds(end.QuadPart - start.QuadPart);
    figures.inModel = Milliseconds(tally.ticksInModel);
    figures.calls = tally.calls;
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
    std::printf("%7s  %10s %11s  %12s %12s %14s %11s %9s\n", "links", "count ms", "count calls",
                "harvest ms", "in model ms", "harvest calls", "calls/link", "us/call");
    for (int n : sizes) {
        if (n <= 0) {
            continue;
        }
        auto document = ResultPage(n);
        CallTally tally;
        IDispatch* shown = standin::GetDocumentObject(document);
        page.document = rh::ComObject::Adopt(counted ? new CountingDispatch(shown, &tally) : shown);

        const Figures count = Measure(page, tally, [](rh::PageAutomation& p) {
            return static_cast<long long>(p.CountLinks());
        });
        const Figures harvest = Measure(page, tally, [n](rh::PageAutomation& p) {
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
        const double perCall =
            harvest.calls > 0 ? harvest.milliseconds * 1000.0 / static_cast<double>(harvest.calls)
                              : 0.0;
        std::printf("%7d  %10.2f %11ld  %12.1f %12.1f %14ld %11.1f %9.2f\n", n, count.milliseconds,
                    count.calls, harvest.milliseconds, harvest.inModel, harvest.calls,
                    static_cast<double>(harvest.calls) / n, perCall);
        std::fflush(stdout);
        rh::ClearObject(page.document);
    }
    return 0;
}
