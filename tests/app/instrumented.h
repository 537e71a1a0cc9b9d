// Copies of templates whose handlers record what reached them, and a spy on a window's messages.
#pragma once

#include <windows.h>

#include <array>
#include <string>
#include <vector>

#include "app/window_template.h"

namespace rh::test {

// What the recording handlers saw, in order ("button", "list-double", "mouse x y keys", …).
struct Recorded {
    static std::vector<std::string>& Log();
    static int Count(const std::string& entry);
};

void RecordButton();
void RecordSecondButton();
void RecordListDoubleClick();
void RecordListSelection();
void RecordMouse(std::int32_t x, std::int32_t y, std::int32_t keyState);

// An editable copy of a template; by default the program's handlers are swapped for recording
// ones (the button's click, the list's double-click and mouse movement).
class TemplateCopy {
  public:
    explicit TemplateCopy(const WindowTemplate& source, bool instrument = true);
    TemplateCopy(const TemplateCopy&) = delete;
    TemplateCopy& operator=(const TemplateCopy&) = delete;

    const WindowTemplate& Template() const noexcept { return tpl_; }
    WindowTemplate& Edit() noexcept { return tpl_; }
    ComponentRecord& Component(std::uint32_t id);
    void SetEvents(std::uint32_t id, std::vector<EventBinding> events);

  private:
    void Relink();

    std::vector<ComponentRecord> components_;
    std::vector<std::vector<EventBinding>> events_;
    WindowTemplate tpl_;
};

// Subclasses a window and writes the messages it receives to Recorded::Log() as "<tag> <msg>
// <wParam> <lParam>" for the messages it watches.
class MessageSpy {
  public:
    MessageSpy(HWND window, std::string tag, std::vector<UINT> watched);
    ~MessageSpy();
    MessageSpy(const MessageSpy&) = delete;
    MessageSpy& operator=(const MessageSpy&) = delete;

  private:
    static LRESULT CALLBACK Procedure(HWND, UINT, WPARAM, LPARAM);

    HWND window_;
    std::string tag_;
    std::vector<UINT> watched_;
    WNDPROC original_;
};

}  // namespace rh::test
