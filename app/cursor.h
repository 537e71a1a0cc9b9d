// The cursor over the program's windows, decided in this one place from what the program is busy
// with. Each window otherwise keeps its own class cursor (an edit box its I-beam).
#pragma once

#include <windows.h>

namespace rh {

// The cursor that the program's state asks for over a window and its controls now, or null when
// each window shows its own class cursor.
HCURSOR CursorNow();

// Shows what the window under the pointer and CursorNow() decide, at once: a job that blocks the
// message loop would otherwise change the cursor only after the mouse next moves.
void ShowCursorNow();

// While one lives, a press of the action button is being handled: the wait cursor shows, from
// the start, and the window's own cursor comes back when the press is over.
class PressCursorScope {
  public:
    PressCursorScope();
    ~PressCursorScope();
    PressCursorScope(const PressCursorScope&) = delete;
    PressCursorScope& operator=(const PressCursorScope&) = delete;
};

}  // namespace rh
