// Window handles compared as the system compares them.
#pragma once

#include <windows.h>

#include <cstdint>

namespace rh {

// Only the low 32 bits of a window handle name the window: 64-bit Windows hands the same window
// out sign-extended from some calls and zero-extended from others (a handle with its high bit set
// reads as 0xFFFFFFFF80290054 from one call and 0x80290054 from the next), so comparing the
// pointers would call one window two.
inline std::uint32_t WindowHandleValue(HWND window) noexcept {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(window));
}

inline bool SameWindow(HWND a, HWND b) noexcept {
    return WindowHandleValue(a) == WindowHandleValue(b);
}

}  // namespace rh
