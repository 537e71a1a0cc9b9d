// Screen scale. Window templates are laid out for 96 DPI (100 %); at any other scale every length
// of a template is multiplied by DPI/96. The calls that only newer Windows has are looked up when
// first needed, so the program still starts on Windows 7, where the scale is the system's.
#pragma once

#include <windows.h>

namespace rh {

inline constexpr UINT kTemplateDpi = 96;

// A template length at this DPI, rounded as MulDiv rounds (half away from zero).
int ScaleToDpi(int length, UINT dpi) noexcept;

// The system's DPI, and the DPI a window is shown at: its monitor's for a per-monitor aware
// program on Windows 10 1607 and later, else the system's.
UINT SystemDpi() noexcept;
UINT WindowDpi(HWND window) noexcept;

// Widens a client rectangle to the outer rectangle of a window with these styles, with the
// frame's metrics at this DPI. False, and the rectangle unchanged, when the system cannot say
// for a DPI other than its own (before Windows 10 1607).
bool FrameAroundClient(RECT& rect, DWORD style, DWORD exStyle, UINT dpi) noexcept;

// Gives a tooltip window the tip font (the system's status font) at this DPI when the font it
// has is not that size; a tooltip takes the font for the system's DPI when it is made. Fonts are
// made once per DPI and kept until the program ends. Does nothing before Windows 10 1607, where
// a program's scale is always the system's.
void FitTooltipToDpi(HWND tooltip, UINT dpi);

}  // namespace rh
