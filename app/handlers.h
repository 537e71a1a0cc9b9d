// The handlers that the window template binds to component events.
#pragma once

#include <cstdint>

namespace rh {

// 按钮1 clicked, or Enter pressed in the window (event 0 of the button).
void OnActionButtonClicked();
// An item of 列表框1 double-clicked (event 1 of the list box).
void OnResultListDoubleClicked();
// The mouse moved over 列表框1 (event −6): client coordinates and Ctrl 1 + Shift 2 + Alt 4.
void OnResultListMouseMoved(std::int32_t x, std::int32_t y, std::int32_t keyState);
// The context menu of 列表框1 asked for: screen coordinates, both −1 from the keyboard.
void OnResultListContextMenu(std::int32_t x, std::int32_t y, std::int32_t keyState);
// A key pressed in 列表框1: Ctrl+C copies the selected address, Ctrl+Shift+C the whole list.
void OnResultListKeyDown(std::int32_t key, std::int32_t keyState);
// 超文本浏览框1 started or finished loading a page.
void OnResolverPageStateChanged();

}  // namespace rh
