// Labels: windows of a class of their own that paint their caption themselves.
#pragma once

#include <windows.h>

#include <cstdint>

namespace rh {

class LabelWindow {
  public:
    static constexpr const wchar_t* kClassName = L"ReelhawkLabel";

    // Colours as stored in templates (red in the low byte; kButtonFaceColour for button face).
    LabelWindow(std::uint32_t textColour, std::uint32_t backColour)
        : textColour_(textColour), backColour_(backColour) {}
    LabelWindow(const LabelWindow&) = delete;
    LabelWindow& operator=(const LabelWindow&) = delete;

    static bool RegisterWindowClass(HINSTANCE instance);
    static void UnregisterWindowClass(HINSTANCE instance);

    // The caption is a text of ours (GBK).
    HWND Create(HWND parent, const char* caption, DWORD style, DWORD exStyle, int x, int y,
                int width, int height, int controlId);

    LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  private:
    void OnPaint(HWND window);
    void Paint(HWND window, HDC dc);
    void OnSetFont(HWND window, HFONT font, bool redraw);

    std::uint32_t textColour_;
    std::uint32_t backColour_;
    HFONT font_ = nullptr;  // not owned: the window that made it releases it
};

// A stored template colour as a COLORREF.
COLORREF TemplateColour(std::uint32_t colour) noexcept;

}  // namespace rh
