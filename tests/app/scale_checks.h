// Checks shared by the tests that look at the main window at a scale other than 100 %.
#pragma once

#include <windows.h>

namespace rh::test {

// A window built from the main template is laid out for this DPI: each component's rectangle and
// font height are the template's scaled by DPI/96 as MulDiv rounds, and the list's items are the
// control's own height for its font plus the template's 3 pixels, scaled.
void ExpectMainWindowLaidOutAt(HWND window, UINT dpi);

// The height of the font a window uses (WM_GETFONT), as its LOGFONT says; 0 when it has none.
LONG FontHeightOf(HWND window);

// The tip font's height at a DPI as the system describes it (the status font); 0 when the system
// cannot say.
LONG TipFontHeightAt(UINT dpi);

}  // namespace rh::test
