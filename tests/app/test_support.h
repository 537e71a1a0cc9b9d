// Shared by the window tests: pumping the real message loop, windows built from templates, child
// processes and files.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/window_template.h"

namespace rh::test {

// Lets the messages already waiting run, through the program's own message pump, for a while.
void Pump(DWORD milliseconds = 50);
// Pumps until the condition holds or the time is up; whether it held.
bool PumpUntil(const std::function<bool()>& condition, DWORD milliseconds = 5000);

// A window built from a template for one test; destroyed (and its quit message dropped) after.
class TemplateWindow {
  public:
    explicit TemplateWindow(const WindowTemplate& tpl);
    ~TemplateWindow();
    TemplateWindow(const TemplateWindow&) = delete;
    TemplateWindow& operator=(const TemplateWindow&) = delete;

    HWND Window() const noexcept { return window_; }
    HWND Component(std::uint32_t id) const;
    // Destroys it now; true when a WM_QUIT was posted for it.
    bool DestroyAndTakeQuit();

  private:
    const WindowTemplate& tpl_;
    HWND window_;
};

// Takes a WM_QUIT out of the queue; whether there was one.
bool TakeQuitMessage();

// Key state of this thread for keys pressed by tests (Shift, Ctrl, Alt).
void SetKeysDown(std::initializer_list<int> keys);
void ReleaseAllKeys();

// A Windows path for a path of the build (which may be a Unix path).
std::string WindowsPath(const std::string& path);
// A fresh, empty file in the temporary folder.
std::string TemporaryFile(const char* prefix);
std::vector<std::string> ReadLines(const std::string& path);

// A child process started with a command line; ended at destruction if still running.
class ChildProcess {
  public:
    // folder: the child's current directory (null: this process's).
    explicit ChildProcess(const std::string& commandLine, const char* folder = nullptr);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const noexcept { return process_.hProcess != nullptr; }
    DWORD Id() const noexcept { return process_.dwProcessId; }
    // Waits for the end; the exit code, or STILL_ACTIVE when it did not end in time.
    DWORD Wait(DWORD milliseconds = 20000);
    // A top-level window of this process of the class (and title, when given); null if none.
    HWND FindWindowOf(const char* className, const char* title = nullptr) const;
    HWND WaitForWindow(const char* className, const char* title, DWORD milliseconds = 20000);

  private:
    PROCESS_INFORMATION process_{};
};

// All descendants of a window, in the order EnumChildWindows gives them.
std::vector<HWND> Descendants(HWND window);
std::string ClassOf(HWND window);
std::string TextOf(HWND window);

}  // namespace rh::test
