#include "program_run.h"
#include "runtime/window_handle.h"

namespace e2e {

std::string DemoSite() {
    return HostToWindowsPath(REELHAWK_DEMO_SITE);
}

std::string ShellOpenCommand(const char* scheme) {
    char value[1024] = {};
    LONG size = sizeof value;
    const std::string key = std::string(scheme) + "\\shell\\open\\command";
    if (RegQueryValueA(HKEY_CLASSES_ROOT, key.c_str(), value, &size) != ERROR_SUCCESS) {
        return {};
    }
    return value;
}

ProgramRun::ProgramRun(std::string webRoot)
    : webRoot_(webRoot.empty() ? DemoSite() : std::move(webRoot)),
      logPath_(temp_.File("standin.log")),
      shellRecordPath_(temp_.File("shell.txt")) {}

ProgramRun::~ProgramRun() {
    if (child_.Running()) {
        CloseWithEsc(5000);
    }
}

std::string ProgramRun::Start(bool waitForPage) {
    const std::string exe = HostToWindowsPath(REELHAWK_EXE);
    auto environment = environment_;
    environment.insert(environment.begin(), {{"REELHAWK_STANDIN_LOG", logPath_},
                                             {"REELHAWK_STANDIN_WEBROOT", webRoot_},
                                             {"REELHAWK_SHELL_RECORD", shellRecordPath_}});
    if (!child_.Start(exe, "", environment)) {
        return "could not start " + exe;
    }
    window_ = WaitForProcessWindow(child_.Id(), nullptr, kWindowTitle, 20000);
    if (window_ == nullptr) {
        return "no window titled Reelhawk 1.0 appeared";
    }
    edit_ = FindChildOfClass(window_, "Edit");
    button_ = FindChildOfClass(window_, "Button");
    list_ = FindChildOfClass(window_, "ListBox");
    if (edit_ == nullptr || button_ == nullptr || list_ == nullptr) {
        return "the window lacks its address box, button or list";
    }
    if (waitForPage && !WaitForLogLines("Loaded", 0, 20000)) {
        return "the resolving page did not load";
    }
    return {};
}

std::vector<std::string> ProgramRun::Log() const {
    return ReadLines(logPath_);
}

std::vector<std::string> ProgramRun::LogLines(const std::string& word) const {
    std::vector<std::string> found;
    for (std::string& line : Log()) {
        if (line.rfind(word + " ", 0) == 0 || line == word) {
            found.push_back(std::move(line));
        }
    }
    return found;
}

bool ProgramRun::WaitForLogLines(const std::string& word, std::size_t count,
                                 DWORD timeoutMs) const {
    return WaitUntil([&] { return LogLines(word).size() > count; }, timeoutMs, 50);
}

std::vector<std::string> ProgramRun::ShellRequests() const {
    return ReadLines(shellRecordPath_);
}

void ProgramRun::TypeAddressAndPressEnter(const std::wstring& address) {
    // Another program's window taking the focus half-way would swallow keys: the typing is
    // checked against what the box shows, and done again if it went astray.
    const std::string expected = WideToGbk(address);
    for (int attempt = 0; attempt < 3; ++attempt) {
        SendMessageA(edit_, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));  // an earlier address
        BringToFront(window_);
        ClickAt(CentreOf(edit_));
        WaitUntil([this] { return rh::SameWindow(GetForegroundWindow(), window_); }, 2000);
        Sleep(100);
        TypeText(address);
        if (WaitUntil([&] { return WindowText(edit_) == expected; }, 3000)) {
            break;
        }
    }
    BringToFront(window_);
    PressKey(VK_RETURN);
}

void ProgramRun::ClickButton() {
    BringToFront(window_);
    ClickAt(CentreOf(button_));
}

bool ProgramRun::ResolveAndWait(const std::wstring& address, DWORD timeoutMs) {
    const std::size_t loaded = LogLines("Loaded").size();
    TypeAddressAndPressEnter(address);
    return WaitForLogLines("Loaded", loaded, timeoutMs);
}

bool ProgramRun::HarvestAndWait(DWORD timeoutMs) {
    ClickButton();
    return WaitUntil([this] { return Caption() == kResolveCaption; }, timeoutMs, 50);
}

void ProgramRun::ScrollTo(int index) {
    // As a person scrolls the list until the item shows.
    SendMessageA(list_, LB_SETTOPINDEX, static_cast<WPARAM>(index), 0);
}

void ProgramRun::SelectItem(int index) {
    BringToFront(window_);
    ScrollTo(index);
    const POINT point = ListItemPoint(list_, index);
    PointAt(list_, point);
    ClickAt(point);
    WaitUntil([&] { return ListSelection(list_) == index; }, 2000);
}

void ProgramRun::DoubleClickItem(int index) {
    BringToFront(window_);
    ScrollTo(index);
    const POINT point = ListItemPoint(list_, index);
    PointAt(list_, point);
    DoubleClickAt(point);
}

std::optional<DWORD> ProgramRun::CloseWithEsc(DWORD timeoutMs) {
    if (child_.Running() && IsWindow(window_)) {
        BringToFront(window_);
        PressKey(VK_ESCAPE);
    }
    return child_.WaitForExit(timeoutMs);
}

HWND ButtonTipWindow(const ProgramRun& run) {
    DWORD processId = 0;
    GetWindowThreadProcessId(run.Window(), &processId);
    for (HWND t : ProcessWindows(processId, "Tooltips_class32")) {
        if (rh::SameWindow(GetWindow(t, GW_OWNER), run.Window())) {
            return t;
        }
    }
    return nullptr;
}

std::string WaitForButtonTip(const ProgramRun& run,
                             const std::function<bool(const std::string&)>& ok) {
    const POINT on = CentreOf(run.Button());
    const POINT off = CentreOf(run.List());
    std::string shown;
    for (int arrival = 0; arrival < 6; ++arrival) {
        MoveMouseTo(off);
        MoveMouseTo(on);
        const bool seen = WaitUntil(
            [&] {
                HWND tip = ButtonTipWindow(run);
                if (tip == nullptr || !IsWindowVisible(tip)) {
                    return false;
                }
                shown = WindowText(tip);
                return !shown.empty() && ok(shown);
            },
            2500, 50);
        if (seen) {
            break;
        }
    }
    return shown;
}

}  // namespace e2e
