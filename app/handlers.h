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

}  // namespace rh
