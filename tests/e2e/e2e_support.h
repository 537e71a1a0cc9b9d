// Driving the real program from outside, as a person would: start it, find its window, type,
// click and press keys with real input, and read back what it shows, what it put on the
// clipboard and what it handed to the shell and to the stand-in browser.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/standin/standin_checks.h"

namespace e2e {

// The program's window title and captions. Texts the tests compare with the program's are GBK
// bytes, the program's own code page, whatever the system's code page is.
inline constexpr const char* kWindowTitle = "Reelhawk 1.0";
inline constexpr UINT kGbkCodePage = 936;

// ---- texts and files ---------------------------------------------------------------------------

std::wstring AcpToWide(std::string_view text);
std::string WideToAcp(std::wstring_view text);
std::wstring GbkToWide(std::string_view text);
std::string WideToGbk(std::wstring_view text);
std::string GbkToUtf8(std::string_view text);
std::string WideToUtf8(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);
// A text in the system code page as UTF-8 (the stand-in's log is UTF-8).
std::string AcpToUtf8(std::string_view text);

// A Unix path (as CMake knows our build files) as Wine sees it through drive Z:.
std::string HostToWindowsPath(std::string_view path);
// The folder of the running program, ending with a backslash.
std::string ModuleFolder();

bool WriteWholeFile(const std::string& path, std::string_view bytes);
std::string ReadWholeFile(const std::string& path);  // empty when missing

using standin_test::UnderChromium;
// The file's lines without their line ends; empty when missing.
std::vector<std::string> ReadLines(const std::string& path);
bool MakeFolders(const std::string& path);  // every missing folder on the way

// A fresh folder under the temporary folder, removed with everything in it at the end.
class TempFolder {
  public:
    explicit TempFolder(std::string_view prefix);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& Path() const { return path_; }  // ends without a backslash
    std::string File(std::string_view name) const { return path_ + "\\" + std::string(name); }

  private:
    std::string path_;
};

// ---- processes and windows ---------------------------------------------------------------------

// Polls until the predicate holds or the time is up; this thread's own messages are pumped
// meanwhile. True when the predicate held.
bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs, DWORD stepMs = 20);

// A child process started with extra environment variables on top of this process's own. Ended
// by force at destruction if it is still running.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Start(const std::string& exe, const std::string& arguments,
               const std::vector<std::pair<std::string, std::string>>& environment);
    DWORD Id() const { return info_.dwProcessId; }
    bool Running() const;
    // The exit code once it has ended within the time; nullopt when still running.
    std::optional<DWORD> WaitForExit(DWORD timeoutMs);

  private:
    PROCESS_INFORMATION info_{};
};

// The first visible top-level window of the process with this class (null: any) and title
// (null: any); null when none turns up within the time.
HWND WaitForProcessWindow(DWORD processId, const char* className, const char* title,
                          DWORD timeoutMs);
// Every top-level window of the process with this class, visible or not.
std::vector<HWND> ProcessWindows(DWORD processId, const char* className);
// The first child of `parent` with this class.
HWND FindChildOfClass(HWND parent, const char* className);
// A window's text in GBK, read in UTF-16 through WM_GETTEXT (so a window of another process
// answers for itself). WideWindowText: as the window holds it.
std::string WindowText(HWND window);
std::wstring WideWindowText(HWND window);

// The items of a list box, in order, in GBK.
std::vector<std::string> ListItems(HWND list);
int ListSelection(HWND list);

// ---- real input --------------------------------------------------------------------------------

// Makes the window the foreground window so keys go to it; true when it is.
bool BringToFront(HWND window);
POINT CentreOf(HWND window);  // in screen coordinates
// The middle of a list item's row, in screen coordinates.
POINT ListItemPoint(HWND list, int index);
void MoveMouseTo(POINT screen);
// Moves the pointer onto a point of `target` so that a click there reaches it: the pointer first
// leaves (which hides a tip that a tooltip window shows over the next rows of a list) and comes
// to the point only once no other window covers it. False when something still covers it.
bool PointAt(HWND target, POINT screen);
void ClickAt(POINT screen);
void DoubleClickAt(POINT screen);
void RightClickAt(POINT screen);
void PressKey(WORD virtualKey);
// Types the characters (UTF-16) as key presses.
void TypeText(std::wstring_view text);

// ---- clipboard ---------------------------------------------------------------------------------

// The clipboard's CF_TEXT, byte for byte; nullopt when it holds none or cannot be opened.
std::optional<std::string> ClipboardText();
// The clipboard's change count: take it before an action that should copy something.
DWORD ClipboardSequence();
// Waits until the clipboard changed after `sequence` was taken, without opening it meanwhile (a
// test that keeps opening the clipboard would make the program's own copy fail), then reads its
// CF_TEXT once the writer has closed it. nullopt when nothing changed within the time.
std::optional<std::string> ClipboardTextAfter(DWORD sequence, DWORD timeoutMs = 10000);
// The clipboard's CF_UNICODETEXT; nullopt when it holds none or cannot be opened.
std::optional<std::wstring> ClipboardUnicodeText();
// Puts text on the clipboard as another program would (to see later whether someone replaced
// it), with a private format of the tests' own beside it (to see whether it was emptied first).
bool PutClipboardText(std::string_view text);
// Replaces the clipboard's locale (CF_LOCALE) and leaves the rest as it is.
bool SetClipboardLocale(LCID locale);
// True while the clipboard still holds the private format that PutClipboardText put there.
bool ClipboardHoldsOtherProgramsData();

}  // namespace e2e
