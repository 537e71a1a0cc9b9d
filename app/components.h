// The program's window and its components by identifier, and the operations the handlers use on
// them. The identifiers are those of the window template (main_window_template.cpp).
#pragma once

#include <windows.h>

#include <cstdint>

#include "runtime/text.h"

namespace rh {

inline constexpr std::uint32_t kMainWindowId = 0x52010001;
inline constexpr std::uint32_t kSupportedSitesLabelId = 0x16014CF1;  // 标签2
inline constexpr std::uint32_t kResultListId = 0x16011A54;           // 列表框1
inline constexpr std::uint32_t kActionButtonId = 0x16011A0E;         // 按钮1
inline constexpr std::uint32_t kBrowserId = 0x16010012;              // 超文本浏览框1
inline constexpr std::uint32_t kAddressEditId = 0x16010003;          // 编辑框1
inline constexpr std::uint32_t kAddressLabelId = 0x16010002;         // 标签1

// The window of a component of a live window built from a template; 0 when either is absent.
// For a browser component it is the container window that hosts the browser control.
HWND ComponentWindowHandle(std::uint32_t windowId, std::uint32_t componentId);

// The whole text of a window (an edit box's content, a button's caption), possibly empty.
Text ReadWindowText(HWND window);
// The same for a window that holds a web address (the typed address): a character GBK cannot
// hold is percent-encoded as a browser puts it into an address (AddressTextFromWide).
Text ReadWindowAddress(HWND window);
// Replaces a window's text (a button's caption).
void WriteWindowText(HWND window, TextView text);

// List boxes.
// The 0-based index of the selected item, −1 when none is selected.
int ListCurrentSelection(HWND list);
// The item's text when 0 <= index < the item count, else the empty text.
Text ListItemText(HWND list, int index);
// Appends an item (the lists here are not sorted) with item data 0; its index, or −1 when the
// control refused it.
int ListAddItem(HWND list, TextView text);
void ListClear(HWND list);

}  // namespace rh
