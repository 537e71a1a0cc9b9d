#include "tests/app/instrumented.h"

#include <algorithm>
#include <map>

#include "app/handlers.h"

namespace rh::test {

std::vector<std::string>& Recorded::Log() {
    static std::vector<std::string> log;
    return log;
}

int Recorded::Count(const std::string& entry) {
    return static_cast<int>(std::count(Log().begin(), Log().end(), entry));
}

void RecordButton() {
    Recorded::Log().push_back("button");
}
void RecordSecondButton() {
    Recorded::Log().push_back("second-button");
}
void RecordListDoubleClick() {
    Recorded::Log().push_back("list-double");
}
void RecordListSelection() {
    Recorded::Log().push_back("list-selection");
}
void RecordMouse(std::int32_t x, std::int32_t y, std::int32_t keyState) {
    Recorded::Log().push_back("mouse " + std::to_string(x) + " " + std::to_string(y) + " " +
                              std::to_string(keyState));
}

TemplateCopy::TemplateCopy(const WindowTemplate& source, bool instrument) : tpl_(source) {
    components_.assign(source.components.begin(), source.components.end());
    for (const ComponentRecord& c : components_) {
        std::vector<EventBinding> events(c.events.begin(), c.events.end());
        if (instrument) {
            for (EventBinding& b : events) {
                if (auto* plain = std::get_if<PlainHandler>(&b.handler)) {
                    if (*plain == &OnActionButtonClicked) {
                        *plain = &RecordButton;
                    } else if (*plain == &OnResultListDoubleClicked) {
                        *plain = &RecordListDoubleClick;
                    }
                } else if (auto* mouse = std::get_if<MouseHandler>(&b.handler)) {
                    if (*mouse == &OnResultListMouseMoved) {
                        *mouse = &RecordMouse;
                    }
                }
            }
        }
        events_.push_back(std::move(events));
    }
    Relink();
}

ComponentRecord& TemplateCopy::Component(std::uint32_t id) {
    auto it = std::find_if(components_.begin(), components_.end(),
                           [id](const ComponentRecord& c) { return c.id == id; });
    return *it;
}

void TemplateCopy::SetEvents(std::uint32_t id, std::vector<EventBinding> events) {
    const auto index = static_cast<std::size_t>(&Component(id) - components_.data());
    events_[index] = std::move(events);
    Relink();
}

void TemplateCopy::Relink() {
    for (std::size_t i = 0; i < components_.size(); ++i) {
        components_[i].events = events_[i];
    }
    tpl_.components = components_;
}

namespace {

std::map<HWND, MessageSpy*>& Spies() {
    static std::map<HWND, MessageSpy*> spies;
    return spies;
}

}  // namespace

MessageSpy::MessageSpy(HWND window, std::string tag, std::vector<UINT> watched)
    : window_(window), tag_(std::move(tag)), watched_(std::move(watched)) {
    Spies()[window_] = this;
    original_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Procedure)));
}

MessageSpy::~MessageSpy() {
    if (IsWindow(window_)) {
        SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original_));
    }
    Spies().erase(window_);
}

LRESULT CALLBACK MessageSpy::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    MessageSpy* spy = Spies()[window];
    if (std::find(spy->watched_.begin(), spy->watched_.end(), message) != spy->watched_.end()) {
        Recorded::Log().push_back(spy->tag_ + " " + std::to_string(message) + " " +
                                  std::to_string(wParam) + " " +
                                  std::to_string(static_cast<std::uint32_t>(lParam)));
    }
    return CallWindowProcA(spy->original_, window, message, wParam, lParam);
}

}  // namespace rh::test
