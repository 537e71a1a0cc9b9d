// What a whole harvest costs: the program's own window, built from its template with the hidden
// browser inside (the stand-in control, registered by scripts/with-wine.sh), shows a result page
// of n links laid out as the resolver writes them, and the action button's handler harvests it:
// clear the list, attach, count the links, read each link's text by position, and for each video
// link its markup, carve the address and list it. Prints the milliseconds per size.
//
//   scripts/with-wine.sh wine build/windows/tests/bench/harvest_bench.exe [n ...]
//                                                       default: 100 1000 5000
// Every size is a fresh window and page; a small harvest first takes the one-time costs.
#include <windows.h>
#include <ole2.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/components.h"
#include "app/form.h"
#include "app/globals.h"
#include "app/handlers.h"
#include "app/main_window_template.h"
#include "runtime/events.h"
#include "e2e_support.h"
#include "test_pages.h"

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

// One harvest of an n-link page; false when the list is not what the page holds.
bool HarvestOnce(int n, e2e::WebRoot& web, const std::string& log) {
    std::vector<std::string> addresses;
    if (!web.PutStartPage(ResultPage(n, addresses))) {
        std::fprintf(stderr, "cannot write the page\n");
        return false;
    }
    DeleteFileA(log.c_str());
    rh::g_pageAutomation = std::make_unique<rh::PageAutomation>();
    HWND window = rh::CreateTemplateWindow(*rh::LoadWindowTemplate(&rh::MainWindowTemplate()));
    if (window == nullptr) {
        std::fprintf(stderr, "no window\n");
        return false;
    }
    rh::ShowTemplateWindow(window);
    auto loaded = [&] {
        for (const std::string& line : e2e::ReadLines(log)) {
            if (line.rfind("Loaded ", 0) == 0) {
                return true;
            }
        }
        return false;
    };
    const ULONGLONG deadline = GetTickCount64() + 60000;
    while (!loaded() && GetTickCount64() < deadline) {
        PumpFor(20);
    }
    PumpFor(100);
    HWND button = rh::ComponentWindowHandle(rh::kMainWindowId, rh::kActionButtonId);
    HWND list = rh::ComponentWindowHandle(rh::kMainWindowId, rh::kResultListId);
    rh::WriteWindowText(button, "获取下载链接");

    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    rh::OnActionButtonClicked();
    QueryPerformanceCounter(&end);

    const int listed = static_cast<int>(SendMessageA(list, LB_GETCOUNT, 0, 0));
    const bool right = listed == static_cast<int>(addresses.size()) &&
                       rh::ListItemText(list, 0) == addresses.front().c_str() &&
                       rh::ListItemText(list, listed - 1) == addresses.back().c_str() &&
                       rh::ReadWindowText(button) == "跳转";
    const double ms = Milliseconds(end.QuadPart - start.QuadPart);
    std::printf("%7d %7zu %7d %12.1f %12.3f %12.3f\n", n, addresses.size(), listed, ms, ms / n,
                ms * 1000.0 / (static_cast<double>(n) * n));
    std::fflush(stdout);

    DestroyWindow(window);
    PumpFor(50);
    MSG quit;
    while (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    rh::g_pageAutomation.reset();
    if (!right) {
        std::fprintf(stderr, "the list does not hold the page's %zu video addresses\n",
                     addresses.size());
    }
    return right;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) {
        sizes.push_back(std::atoi(argv[i]));
    }
    if (sizes.empty()) {
        sizes = {100, 1000, 5000};
    }
    e2e::WebRoot web;
    e2e::TempFolder temp("reelhawk-bench");
    const std::string log = temp.File("standin.log");
    SetEnvironmentVariableA("REELHAWK_STANDIN_WEBROOT", web.Path().c_str());
    SetEnvironmentVariableA("REELHAWK_STANDIN_LOG", log.c_str());
    const HRESULT ole = OleInitialize(nullptr);

    std::printf("%7s %7s %7s %12s %12s %12s\n", "links", "videos", "listed", "harvest ms",
                "ms/link", "us/link^2");
    // The first harvest of a process also pays for loading type information and the like.
    std::printf("warm-up:\n");
    int status = HarvestOnce(20, web, log) ? 0 : 1;
    std::printf("harvests:\n");
    for (int n : sizes) {
        if (n > 0 && !HarvestOnce(n, web, log)) {
            status = 1;
        }
    }
    rh::ReleaseWindowMachinery();
    if (SUCCEEDED(ole)) {
        OleUninitialize();
    }
    return status;
}
