#include "app/program.h"

#include <windows.h>
#include <ole2.h>

#include <algorithm>
#include <vector>

#include "app/form.h"
#include "runtime/error.h"
#include "runtime/events.h"

namespace rh {
namespace {

void (*g_endRoutine)() = nullptr;

}  // namespace

void RegisterEndRoutine(void (*routine)()) {
    g_endRoutine = routine;
}

void RunEndRoutine() {
    void (*routine)() = g_endRoutine;
    g_endRoutine = nullptr;
    if (routine != nullptr) {
        routine();
    }
}

void EnterProgramFolder() {
    // Wide characters: the folder's name need not be expressible in the system code page.
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD got = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (got == 0) {
            return;
        }
        if (got < path.size()) {
            path.resize(got);
            break;
        }
        if (path.size() >= 32768) {
            return;
        }
        path.resize(path.size() * 2);
    }
    const auto slash = std::find_if(path.rbegin(), path.rend(),
                                    [](wchar_t ch) { return ch == L'\\' || ch == L'/'; });
    if (slash == path.rend()) {
        return;
    }
    path.erase(slash.base(), path.end());
    path.push_back(L'\0');
    SetCurrentDirectoryW(path.data());
}

int RunProgram(const WindowTemplate* storedTemplate, void (*createGlobals)()) {
    EnterProgramFolder();
    const HRESULT ole = OleInitialize(nullptr);
    const WindowTemplate* tpl = LoadWindowTemplate(storedTemplate);
    if (tpl == nullptr) {
        ReportRuntimeError("载入窗口模板数据段出错!", 0);
    }
    if (createGlobals != nullptr) {
        createGlobals();
    }
    HWND window = CreateTemplateWindow(*tpl);
    if (window == nullptr) {
        ReportRuntimeError("载入启动窗口失败", 0);
    }
    ShowTemplateWindow(window);
    RunMessageLoop();
    RunEndRoutine();
    ReleaseWindowMachinery();
    if (SUCCEEDED(ole)) {
        OleUninitialize();
    }
    return 0;
}

}  // namespace rh
