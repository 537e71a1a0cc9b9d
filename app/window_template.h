// A window template: the window's own record and its components in creation order, as fixed data.
// Any template can be turned into windows by the window machinery (form.h); the program's own
// template lives in main_window_template.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

namespace rh {

// Stamped into every template so that a block that is not one is refused when it is loaded.
inline constexpr std::uint32_t kWindowTemplateFormat = 0x31544852;  // "RHT1"

// Flags word of a component.
inline constexpr std::uint32_t kComponentVisible = 1u << 0;
inline constexpr std::uint32_t kComponentDisabled = 1u << 1;
inline constexpr std::uint32_t kComponentFocusStop = 1u << 2;
inline constexpr std::uint32_t kComponentKnownFlags =
    kComponentVisible | kComponentDisabled | kComponentFocusStop;

// Stored colours are RGB with red in the low byte; this value stands for the button-face colour.
inline constexpr std::uint32_t kButtonFaceColour = 0xFF000000;

// Events that every component shares (negative) and the ones of particular types (0 upward).
inline constexpr std::int32_t kEventLeftButtonDown = -1;
inline constexpr std::int32_t kEventLeftButtonUp = -2;
inline constexpr std::int32_t kEventDoubleClick = -3;
inline constexpr std::int32_t kEventRightButtonDown = -4;
inline constexpr std::int32_t kEventRightButtonUp = -5;
inline constexpr std::int32_t kEventMouseMoved = -6;
inline constexpr std::int32_t kEventKeyDown = -9;
// The context menu was asked for: right button, the menu key or Shift+F10.
inline constexpr std::int32_t kEventContextMenu = -13;
inline constexpr std::int32_t kEventButtonClicked = 0;
inline constexpr std::int32_t kEventListSelectionChanged = 0;
inline constexpr std::int32_t kEventListDoubleClicked = 1;
// A browser component started loading a page or finished (or gave up on) it.
inline constexpr std::int32_t kEventPageStateChanged = 0;

// Handlers take their arguments as 32-bit integers and return nothing: they only observe, so a
// message they see always goes on to its window.
// The context-menu event passes screen coordinates to a MouseHandler, both -1 when the menu was
// asked for from the keyboard. Key handlers get the virtual-key code and Ctrl 1 + Shift 2 + Alt 4.
using PlainHandler = void (*)();
using MouseHandler = void (*)(std::int32_t x, std::int32_t y, std::int32_t keyState);
using KeyHandler = void (*)(std::int32_t key, std::int32_t keyState);

struct EventBinding {
    std::int32_t event;
    std::variant<PlainHandler, MouseHandler, KeyHandler> handler;
};

// A stored font: the bytes of a LOGFONTA. A record that is not exactly 60 bytes long is not used
// (the component gets the stock GUI font instead).
struct FontRecord {
    const void* bytes = nullptr;
    std::size_t size = 0;
};

struct LabelProperties {
    const char* caption = "";
    std::uint32_t textColour = 0x000000;
    std::uint32_t backColour = kButtonFaceColour;
};

struct ListBoxProperties {
    bool sorted = false;
    bool sunkenBorder = true;
    std::uint32_t textColour = 0x000000;
    std::uint32_t backColour = 0xFFFFFF;
};

struct ButtonProperties {
    const char* caption = "";
    bool defaultButton = false;
};

struct EditBoxProperties {
    const char* text = "";
    bool sunkenBorder = true;
    bool multiLine = false;
    bool readOnly = false;
    bool hideSelection = true;
    std::uint32_t maxLength = 0;  // 0: no limit
    std::uint32_t textColour = 0x000000;
    std::uint32_t backColour = 0xFFFFFF;
};

struct HtmlViewerProperties {
    const char* address = "";
    std::int32_t fontSize = 2;  // the browser's zoom level, 0–4
    bool offline = false;
    bool silent = true;
};

enum class ComponentType : std::uint32_t { Label, ListBox, Button, EditBox, HtmlViewer };

using ComponentProperties = std::variant<LabelProperties, ListBoxProperties, ButtonProperties,
                                         EditBoxProperties, HtmlViewerProperties>;

struct ComponentRecord {
    std::uint32_t id;
    const char* name;
    ComponentType type;
    std::int32_t left, top, width, height;  // in the window's client area
    std::uint32_t flags;
    std::int32_t tabOrder;
    FontRecord font;
    std::span<const EventBinding> events;
    ComponentProperties properties;
};

struct WindowRecord {
    std::uint32_t id;
    const char* name;
    const char* title;
    std::int32_t left, top, width, height;  // outer size; the window is centred on the screen
    bool toolWindow;
    bool minimizeBox;
    bool maximizeBox;
    bool resizable;
    bool escapeCloses;
    bool enterMovesFocus;
    std::uint32_t backColour;
    std::uint16_t iconResource;  // 0: none
};

struct WindowTemplate {
    std::uint32_t format;
    WindowRecord window;
    std::span<const ComponentRecord> components;
};

// Checks a stored template before anything is built from it. Null when it cannot be used: not a
// template, a component of an unknown type or with properties of another type, identifiers missing
// or repeated, unknown flag bits, negative sizes, or an event binding that the component cannot
// raise or whose handler is missing or takes the wrong arguments.
const WindowTemplate* LoadWindowTemplate(const WindowTemplate* stored);

}  // namespace rh
