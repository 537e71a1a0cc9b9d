// The window machinery: turns a loaded window template into a top-level window with its
// components, dispatches component events to the template's handlers, and handles Enter, Esc and
// Tab for the window as a dialog would.
#pragma once

#include <windows.h>

#include "app/window_template.h"

namespace rh {

// Builds the window of a loaded template and its components, scaled by DPI/96 for the screen it
// opens on and laid out again when it moves to a screen of another scale (WM_DPICHANGED); the
// window is not shown yet. Null
// when the window or any component window could not be created: whatever was made is destroyed
// again (that does not end the message loop). The template must outlive the window.
HWND CreateTemplateWindow(const WindowTemplate& tpl);

// Shows a window built from a template; its components keep their own visibility. The keyboard
// focus is left where the system puts it.
void ShowTemplateWindow(HWND window);

// The window of a component of a live template window, 0 when the window or component is absent.
HWND FindComponentWindow(std::uint32_t windowId, std::uint32_t componentId);

// The DPI that the template window holding this window is laid out for (96: the template's own
// numbers); for any other window, the DPI it is shown at.
UINT LayoutDpi(HWND window);

// Whether the browser component is loading its page (see BrowserContainer::PageLoading); false
// when the window or component is absent or is not a browser.
bool BrowserComponentLoading(std::uint32_t windowId, std::uint32_t componentId);

// Releases what the machinery keeps for the process (window classes, message preprocessing).
// For after the last template window has gone.
void ReleaseWindowMachinery();

}  // namespace rh
