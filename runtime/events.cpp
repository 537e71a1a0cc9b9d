#include "runtime/events.h"

namespace rh {
namespace {

MessagePreprocessor g_preprocessor = nullptr;

}  // namespace

void SetMessagePreprocessor(MessagePreprocessor preprocessor) noexcept {
    g_preprocessor = preprocessor;
}

void DispatchOneMessage(MSG& message) {
    if (g_preprocessor != nullptr && g_preprocessor(message)) {
        return;
    }
    TranslateMessage(&message);
    // A wide pump: typed characters reach our Unicode windows whole, whatever the system's code
    // page can hold.
    DispatchMessageW(&message);
}

void ProcessPendingEvents() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) {
        if (message.message == WM_QUIT) {
            return;
        }
        if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            return;
        }
        DispatchOneMessage(message);
    }
}

int RunMessageLoop() {
    MSG message;
    for (;;) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            break;
        }
        DispatchOneMessage(message);
    }
    return message.message == WM_QUIT ? static_cast<int>(message.wParam) : 0;
}

}  // namespace rh
