// A program built like Reelhawk, for the tests of start-up and shut-down: it runs the same start
// and end with a small template, and writes what its program-wide objects saw to a file.
//   program_child <ok|bad-template|no-window|no-component> <result file>
//   program_child close-reelhawk -
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/program.h"
#include "app/window_template.h"

namespace {

std::string g_results;

void Note(const char* line) {
    if (FILE* f = std::fopen(g_results.c_str(), "ab")) {
        std::fprintf(f, "%s\n", line);
        std::fclose(f);
    }
}

void EndRoutine() {
    Note(FindWindowA("ReelhawkWindow", "program child") == nullptr ? "end window-gone"
                                                                   : "end window-exists");
}

// Whether start-up made the program's own folder the current directory.
bool InProgramFolder() {
    char exe[MAX_PATH] = {};
    char current[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    GetCurrentDirectoryA(MAX_PATH, current);
    std::string folder = exe;
    folder.erase(folder.find_last_of("\\/"));
    return lstrcmpiA(folder.c_str(), current) == 0;
}

void CreateGlobals() {
    Note(InProgramFolder() ? "globals in-program-folder" : "globals elsewhere");
    rh::RegisterEndRoutine(&EndRoutine);
}

constexpr rh::ComponentRecord kComponents[] = {
    {0x16010003,
     "编辑框1",
     rh::ComponentType::EditBox,
     10,
     10,
     200,
     24,
     rh::kComponentVisible | rh::kComponentFocusStop,
     0,
     {},
     {},
     rh::EditBoxProperties{}},
    {0x16011A54,
     "列表框1",
     rh::ComponentType::ListBox,
     10,
     40,
     200,
     100,
     rh::kComponentVisible | rh::kComponentFocusStop,
     0,
     {},
     {},
     rh::ListBoxProperties{}},
};

constexpr rh::WindowTemplate kGood = {
    rh::kWindowTemplateFormat,
    {0x52010001, "启动窗口", "program child", 0, 0, 300, 200, true, false, false, false, true,
     false, rh::kButtonFaceColour, 0},
    kComponents,
};

// What a template block that is not one looks like to the loader.
constexpr rh::WindowTemplate kNotATemplate = {0, kGood.window, kComponents};

const char* g_refusedClass = nullptr;

LRESULT CALLBACK RefuseCreation(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND) {
        const auto* create = reinterpret_cast<CBT_CREATEWNDA*>(lParam)->lpcs;
        const char* name = create->lpszClass;
        if (!IS_INTRESOURCE(name) && lstrcmpiA(name, g_refusedClass) == 0) {
            return 1;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    const std::string mode = argv[1];
    g_results = argv[2];
    if (mode == "close-reelhawk") {
        // For scripts: the real program's window gets an Esc, as from the keyboard.
        HWND window = FindWindowA("ReelhawkWindow", "Reelhawk 1.0");
        return window != nullptr && PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 1) ? 0 : 1;
    }
    const rh::WindowTemplate* tpl = &kGood;
    if (mode == "bad-template") {
        tpl = &kNotATemplate;
    } else if (mode == "no-window" || mode == "no-component") {
        g_refusedClass = mode == "no-window" ? "ReelhawkWindow" : "LISTBOX";
        SetWindowsHookExA(WH_CBT, &RefuseCreation, nullptr, GetCurrentThreadId());
    } else if (mode != "ok") {
        return 2;
    }
    return rh::RunProgram(tpl, &CreateGlobals);
}
