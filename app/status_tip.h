// The action button's tip: what the hidden page is doing and what the last harvest found, so the
// user knows when to press again.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace rh {

enum class PageStatus {
    Loading,         // the hidden browser is loading a page
    ReadyToResolve,  // loaded; the next press sends the typed address
    ReadyToHarvest,  // loaded; the next press fetches the list
};

// The tip for a status; after a harvest (found set) it says how many addresses were listed.
std::wstring StatusTipText(PageStatus status, std::optional<int> found);

// Shows the text as the button's tip, through a tooltip window of its own owned by the button's
// top-level window (so it goes with that window). The text is replaced in place when it changes.
void SetButtonTip(HWND button, std::wstring_view text);

// The tip the button shows now (empty when it has none), and its tooltip window.
std::wstring ButtonTipText();
HWND ButtonTipWindow();

}  // namespace rh
