// One run of the real reelhawk.exe in a child process, with its own stand-in log, its own shell
// record and, when asked, its own local web, and the steps a person takes in its window.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace e2e {

// The captions of the action button, in GBK.
inline constexpr const char* kResolveCaption = "跳转";
inline constexpr const char* kHarvestCaption = "获取下载链接";

// The shipped demo resolver site (the program's default resolving page lives in it).
std::string DemoSite();
// The shell's registered "open" command for a URL scheme; empty when none.
std::string ShellOpenCommand(const char* scheme);

class ProgramRun {
  public:
    // webRoot: the folder that plays the web for the stand-in; empty: the demo site.
    explicit ProgramRun(std::string webRoot = {});
    ~ProgramRun();
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    // Starts the program and waits for its window and, unless told not to, for the resolving
    // page to load. A message for the test when something did not turn up, else empty.
    std::string Start(bool waitForPage = true);
    // An environment variable for the program, on top of the test's own; before Start.
    void SetEnvironment(std::string name, std::string value) {
        environment_.emplace_back(std::move(name), std::move(value));
    }

    HWND Window() const { return window_; }
    HWND Edit() const { return edit_; }
    HWND Button() const { return button_; }
    HWND List() const { return list_; }
    std::string Caption() const { return WindowText(button_); }
    std::vector<std::string> Items() const { return ListItems(list_); }
    bool Running() const { return child_.Running(); }
    DWORD ProcessId() const { return child_.Id(); }

    // The stand-in browser's log (UTF-8 lines) and the lines that start with a word.
    std::vector<std::string> Log() const;
    std::vector<std::string> LogLines(const std::string& word) const;
    // Waits until the log holds more than `count` lines starting with the word.
    bool WaitForLogLines(const std::string& word, std::size_t count, DWORD timeoutMs) const;
    // What the shell was asked to open, one line per request, in GBK.
    std::vector<std::string> ShellRequests() const;

    // A person's steps: click into the address box, type, press Enter.
    void TypeAddressAndPressEnter(const std::wstring& address);
    // Clicks the button with the mouse.
    void ClickButton();
    // Presses the button and waits until the page's answer (a "Loaded" line) has come. False when
    // no page arrived in time.
    bool ResolveAndWait(const std::wstring& address, DWORD timeoutMs = 20000);
    // Presses the button in harvest mode and waits for the caption to return; false on timeout.
    bool HarvestAndWait(DWORD timeoutMs = 60000);
    // Scrolls the list so that item `index` shows.
    void ScrollTo(int index);
    // Clicks item `index` once (selecting it) / twice, scrolled into view first.
    void SelectItem(int index);
    void DoubleClickItem(int index);

    // Esc in the window; the exit code once the program has ended, nullopt when it did not.
    std::optional<DWORD> CloseWithEsc(DWORD timeoutMs = 20000);

  private:
    TempFolder temp_{"reelhawk-run"};
    std::string webRoot_;
    std::string logPath_;
    std::string shellRecordPath_;
    std::vector<std::pair<std::string, std::string>> environment_;
    ChildProcess child_;
    HWND window_ = nullptr;
    HWND edit_ = nullptr;
    HWND button_ = nullptr;
    HWND list_ = nullptr;
};

// The tooltip window the main window owns for the action button; null when there is none.
HWND ButtonTipWindow(const ProgramRun& run);
// Brings the pointer onto the button, from off it, until its tip shows a text that `ok` accepts
// (a tip shows once per arrival and hides again after a while); the text shown last, in the
// program's code page.
std::string WaitForButtonTip(const ProgramRun& run,
                             const std::function<bool(const std::string&)>& ok);

}  // namespace e2e
