// What a whole harvest costs: the program's own window, built from its template with the hidden
// browser inside (the stand-in control, registered by scripts/with-wine.sh), shows a result page
// of n links laid out as the resolver writes them, and the action button's handler harvests it in
// one pass: take the page's links once, read each one's text by its place, and for each video
// link its markup, carve the address and list it.
//
// Beside it, on the same window and page, the harvest as it used to be: count the links, then look
// each one up by its number, which walks every link before it. It is kept here as the baseline.
// Both lists are checked against the page's video addresses. For each size the table shows the
// milliseconds, the calls into the page (IDispatch::Invoke on the stand-in's objects) and the
// ratios of the two.
//
//   scripts/with-wine.sh wine build/windows/tests/bench/harvest_bench.exe [options] [n ...]
//
//   --baseline-up-to m   the baseline for the sizes up to m only
//   --harvests k         instead: k harvests in a row of one page of n links (default 50) on one
//                        window, printing what is held after every tenth of them: the automation
//                        objects of the stand-in and this process's memory, and on Chromium
//                        (REELHAWK_STANDIN_ENGINE=chromium) what Chromium itself holds for the
//                        page: remote objects, heap bytes after a garbage collection, DOM nodes.
//
// Sizes default to 100 1000 5000 20000 100000; m defaults to 1000 (the baseline takes minutes at
// 5,000 links). Every size is a fresh window and page; a small harvest first
// takes the one-time costs.
#include <windows.h>
#include <ole2.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/components.h"
#include "app/form.h"
#include "app/globals.h"
#include "app/handlers.h"
#include "app/link_rules.h"
#include "app/main_window_template.h"
#include "runtime/events.h"
#include "e2e_support.h"
#include "test_pages.h"
#include "tests/standin/standin_checks.h"

namespace {

void PumpFor(DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    do {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE) && message.message != WM_QUIT &&
               PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            rh::DispatchOneMessage(message);
        }
        Sleep(5);
    } while (GetTickCount64() < end);
}

double Milliseconds(LONGLONG ticks) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Calls made on the stand-in's objects so far, as the control's module counts them.
long PageCalls() {
    using Counter = LONG(WINAPI*)();
    static const auto counter = reinterpret_cast<Counter>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("reelhawk_standin.dll"), "ReelhawkStandinInvokeCount")));
    return counter != nullptr ? counter() : -1;
}

// n links: every tenth an ordinary one (the next page of results), the others video files, each
// in a list item of its own with the address as the link's only quoted attribute.
std::string ResultPage(int n, std::vector<std::string>& addresses) {
    std::string body = "<ul class=\"files\">\n";
    for (int i = 1; i <= n; ++i) {
        const std::string number = std::to_string(i);
        if (i % 10 == 0) {
            body +=
                "<li>" + e2e::Link("results.html?page=" + number, "第" + number + "页") + "</li>\n";
            continue;
        }
        const std::string file = "part" + number + (i % 3 == 0 ? ".m3u8" : ".mp4");
        const std::string address = "http://cdn.reelhawk.test/v/" + file;
        addresses.push_back(address);
        body += "<li>第" + number + "段 " + e2e::Link(address, file) + "</li>\n";
    }
    return e2e::GbkPage(body + "</ul>");
}

// The harvest as it was before it took each link by its place: every link looked up by its
// number, through the page object's lookups.
void WalkPerLinkHarvest(rh::PageAutomation& page, HWND browser, HWND list) {
    rh::ListClear(list);
    page.AttachToBrowser(browser);
    const int count = page.CountLinks();
    for (int i = 1; i <= count; ++i) {
        if (!rh::IsVideoLink(page.GetLinkInnerText(rh::IntegerToText(i), 0))) {
            continue;
        }
        if (const auto address =
                rh::ExtractLinkAddress(page.GetLinkOuterHtml(rh::IntegerToText(i), 0))) {
            rh::ListAddItem(list, *address);
        }
    }
}

struct Run {
    double milliseconds = 0;
    long calls = 0;
    bool right = false;
};

template <class Harvest>
Run Measure(HWND list, const std::vector<std::string>& addresses, Harvest harvest) {
    Run run;
    const long callsBefore = PageCalls();
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    harvest();
    QueryPerformanceCounter(&end);
    run.milliseconds = Milliseconds(end.QuadPart - start.QuadPart);
    run.calls = PageCalls() - callsBefore;
    const int listed = static_cast<int>(SendMessageA(list, LB_GETCOUNT, 0, 0));
    run.right = listed == static_cast<int>(addresses.size());
    for (int i = 0; run.right && i < listed; ++i) {
        run.right = rh::ListItemText(list, i) == addresses[static_cast<size_t>(i)].c_str();
    }
    return run;
}

// The program's window from its template, showing a result page of n links in its browser; the
// page's video addresses in page order are in `addresses`.
class ProgramWindow {
  public:
    ProgramWindow(int n, e2e::WebRoot& web, const std::string& log) {
        if (!web.PutStartPage(ResultPage(n, addresses))) {
            std::fprintf(stderr, "cannot write the page\n");
            return;
        }
        DeleteFileA(log.c_str());
        rh::g_pageAutomation = std::make_unique<rh::PageAutomation>();
        window_ = rh::CreateTemplateWindow(*rh::LoadWindowTemplate(&rh::MainWindowTemplate()));
        if (window_ == nullptr) {
            std::fprintf(stderr, "no window\n");
            return;
        }
        rh::ShowTemplateWindow(window_);
        auto loaded = [&] {
            for (const std::string& line : e2e::ReadLines(log)) {
                if (line.rfind("Loaded ", 0) == 0) {
                    return true;
                }
            }
            return false;
        };
        const ULONGLONG deadline = GetTickCount64() + 300000;
        while (!loaded() && GetTickCount64() < deadline) {
            PumpFor(20);
        }
        PumpFor(100);
        button = rh::ComponentWindowHandle(rh::kMainWindowId, rh::kActionButtonId);
        list = rh::ComponentWindowHandle(rh::kMainWindowId, rh::kResultListId);
        browser = rh::ComponentWindowHandle(rh::kMainWindowId, rh::kBrowserId);
    }
    ~ProgramWindow() {
        if (window_ != nullptr) {
            DestroyWindow(window_);
        }
        PumpFor(50);
        MSG quit;
        while (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
        rh::g_pageAutomation.reset();
    }
    ProgramWindow(const ProgramWindow&) = delete;
    ProgramWindow& operator=(const ProgramWindow&) = delete;

    bool Shown() const { return window_ != nullptr; }

    // The harvest the action button starts, timed.
    Run Harvest() {
        rh::WriteWindowText(button, "获取下载链接");
        Run run = Measure(list, addresses, [] { rh::OnActionButtonClicked(); });
        run.right = run.right && rh::ReadWindowText(button) == "跳转";
        return run;
    }

    std::vector<std::string> addresses;
    HWND button = nullptr;
    HWND list = nullptr;
    HWND browser = nullptr;

  private:
    HWND window_ = nullptr;
};

// Both harvests (the baseline only when asked) of one n-link page on a fresh window; false when a
// list is not what the page holds.
bool HarvestPage(int n, bool withBaseline, e2e::WebRoot& web, const std::string& log) {
    ProgramWindow program(n, web, log);
    if (!program.Shown()) {
        return false;
    }
    const std::vector<std::string>& addresses = program.addresses;
    Run baseline;
    if (withBaseline) {
        baseline = Measure(program.list, addresses, [&] {
            WalkPerLinkHarvest(*rh::g_pageAutomation, program.browser, program.list);
        });
    }
    Run onePass = program.Harvest();

    std::printf("%7d %7zu", n, addresses.size());
    if (withBaseline) {
        std::printf(" %12.1f %11ld", baseline.milliseconds, baseline.calls);
    } else {
        std::printf(" %12s %11s", "-", "-");
    }
    std::printf(" %10.1f %9ld %9.2f", onePass.milliseconds, onePass.calls,
                onePass.milliseconds * 1000.0 / n);
    if (withBaseline) {
        std::printf(" %8.1f %8.1f", baseline.milliseconds / onePass.milliseconds,
                    static_cast<double>(baseline.calls) / static_cast<double>(onePass.calls));
    }
    std::printf("\n");
    std::fflush(stdout);

    if (withBaseline && !baseline.right) {
        std::fprintf(stderr, "walk per link: the list does not hold the page's %zu addresses\n",
                     addresses.size());
    }
    if (!onePass.right) {
        std::fprintf(stderr, "one pass: the list does not hold the page's %zu addresses\n",
                     addresses.size());
    }
    return (!withBaseline || baseline.right) && onePass.right;
}

void PrintHeld(int harvests, const Run& last) {
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    const LONGLONG heap = standin_test::StandinFigure<LONGLONG>("ReelhawkStandinChromiumHeapBytes");
    std::printf("%9d %9.1f %9ld %9lld %9ld %10ld %12ld %9ld\n", harvests, last.milliseconds,
                standin_test::StandinFigure("ReelhawkStandinLiveObjects"),
                heap < 0 ? -1LL : heap / 1024,
                standin_test::StandinFigure("ReelhawkStandinChromiumDomNodes"),
                standin_test::StandinFigure("ReelhawkStandinChromiumHeldObjects"),
                static_cast<long>(memory.PagefileUsage / 1024),
                static_cast<long>(memory.WorkingSetSize / 1024));
    std::fflush(stdout);
}

// k harvests in a row of one n-link page; false when any list was not what the page holds.
bool HarvestRepeatedly(int k, int n, e2e::WebRoot& web, const std::string& log) {
    ProgramWindow program(n, web, log);
    if (!program.Shown()) {
        return false;
    }
    const std::vector<std::string>& addresses = program.addresses;
    std::printf("%d harvests of a page of %d links (%zu videos); -1: not on this engine\n", k, n,
                addresses.size());
    std::printf("%9s %9s %9s %9s %9s %10s %12s %9s\n", "", "last", "live COM", "Chromium",
                "Chromium", "Chromium", "process", "process");
    std::printf("%9s %9s %9s %9s %9s %10s %12s %9s\n", "harvests", "ms", "objects", "heap KiB",
                "DOM nodes", "remote obj", "commit KiB", "set KiB");
    PrintHeld(0, Run{});
    bool right = true;
    for (int i = 1; i <= k; ++i) {
        const Run run = program.Harvest();
        if (!run.right) {
            std::fprintf(stderr, "harvest %d: the list does not hold the page's addresses\n", i);
            right = false;
        }
        if (i % std::max(1, k / 10) == 0 || i == k) {
            PrintHeld(i, run);
        }
    }
    return right;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    int baselineUpTo = 1000;
    int harvests = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--baseline-up-to") == 0 && i + 1 < argc) {
            baselineUpTo = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--harvests") == 0 && i + 1 < argc) {
            harvests = std::atoi(argv[++i]);
        } else {
            sizes.push_back(std::atoi(argv[i]));
        }
    }
    e2e::WebRoot web;
    e2e::TempFolder temp("reelhawk-bench");
    const std::string log = temp.File("standin.log");
    SetEnvironmentVariableA("REELHAWK_STANDIN_WEBROOT", web.Path().c_str());
    SetEnvironmentVariableA("REELHAWK_STANDIN_LOG", log.c_str());
    const HRESULT ole = OleInitialize(nullptr);
    if (harvests > 0) {
        const int status =
            HarvestRepeatedly(harvests, sizes.empty() ? 50 : sizes.front(), web, log) ? 0 : 1;
        rh::ReleaseWindowMachinery();
        if (SUCCEEDED(ole)) {
            OleUninitialize();
        }
        return status;
    }
    if (sizes.empty()) {
        sizes = {100, 1000, 5000, 20000, 100000};
    }

    std::printf("%7s %7s %12s %11s %10s %9s %9s %8s %8s\n", "", "", "walk per link", "", "one pass",
                "", "", "ratio", "");
    std::printf("%7s %7s %12s %11s %10s %9s %9s %8s %8s\n", "links", "videos", "ms", "calls", "ms",
                "calls", "us/link", "time", "calls");
    // The first harvest of a process also pays for loading type information and the like.
    std::printf("warm-up:\n");
    int status = HarvestPage(20, true, web, log) ? 0 : 1;
    std::printf("harvests:\n");
    for (int n : sizes) {
        if (n > 0 && !HarvestPage(n, n <= baselineUpTo, web, log)) {
            status = 1;
        }
    }
    rh::ReleaseWindowMachinery();
    if (SUCCEEDED(ole)) {
        OleUninitialize();
    }
    return status;
}
