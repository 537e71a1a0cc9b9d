#include "app/window_template.h"

#include <unordered_set>

namespace rh {
namespace {

constexpr std::size_t kMostComponents = 4096;

bool TypeMatchesProperties(const ComponentRecord& c) {
    switch (c.type) {
        case ComponentType::Label:
            return std::holds_alternative<LabelProperties>(c.properties);
        case ComponentType::ListBox:
            return std::holds_alternative<ListBoxProperties>(c.properties);
        case ComponentType::Button:
            return std::holds_alternative<ButtonProperties>(c.properties);
        case ComponentType::EditBox:
            return std::holds_alternative<EditBoxProperties>(c.properties);
        case ComponentType::HtmlViewer:
            return std::holds_alternative<HtmlViewerProperties>(c.properties);
    }
    return false;
}

bool IsMouseEvent(std::int32_t event) {
    return event >= kEventMouseMoved && event <= kEventLeftButtonDown;
}

// The events the window machinery raises for a component of this type.
bool CanRaise(ComponentType type, std::int32_t event) {
    if (IsMouseEvent(event) || event == kEventKeyDown || event == kEventContextMenu) {
        return true;
    }
    switch (type) {
        case ComponentType::Button:
            return event == kEventButtonClicked;
        case ComponentType::ListBox:
            return event == kEventListSelectionChanged || event == kEventListDoubleClicked;
        case ComponentType::HtmlViewer:
            return event == kEventPageStateChanged;
        default:
            return false;
    }
}

template <class Handler>
bool HasHandler(const EventBinding& b) {
    const auto* h = std::get_if<Handler>(&b.handler);
    return h != nullptr && *h != nullptr;
}

bool BindingIsUsable(ComponentType type, const EventBinding& b) {
    if (!CanRaise(type, b.event)) {
        return false;
    }
    if (IsMouseEvent(b.event) || b.event == kEventContextMenu) {
        return HasHandler<MouseHandler>(b);
    }
    if (b.event == kEventKeyDown) {
        return HasHandler<KeyHandler>(b);
    }
    return HasHandler<PlainHandler>(b);
}

bool ComponentIsUsable(const ComponentRecord& c) {
    if (c.id == 0 || c.name == nullptr || !TypeMatchesProperties(c)) {
        return false;
    }
    if (c.width < 0 || c.height < 0 || (c.flags & ~kComponentKnownFlags) != 0) {
        return false;
    }
    if (c.font.size != 0 && c.font.bytes == nullptr) {
        return false;
    }
    std::unordered_set<std::int32_t> events;
    for (const EventBinding& b : c.events) {
        if (!BindingIsUsable(c.type, b) || !events.insert(b.event).second) {
            return false;
        }
    }
    return true;
}

}  // namespace

const WindowTemplate* LoadWindowTemplate(const WindowTemplate* stored) {
    if (stored == nullptr || stored->format != kWindowTemplateFormat) {
        return nullptr;
    }
    const WindowRecord& w = stored->window;
    if (w.id == 0 || w.title == nullptr || w.width <= 0 || w.height <= 0) {
        return nullptr;
    }
    if (stored->components.size() > kMostComponents) {
        return nullptr;
    }
    std::unordered_set<std::uint32_t> ids{w.id};
    for (const ComponentRecord& c : stored->components) {
        if (!ComponentIsUsable(c) || !ids.insert(c.id).second) {
            return nullptr;
        }
    }
    return stored;
}

}  // namespace rh
