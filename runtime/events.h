// The user-interface thread's message pump, shared by the message loop and by code that lets
// waiting events run in the middle of an operation.
#pragma once

#include <windows.h>

namespace rh {

// Looks at a message before it is dispatched; returns true when it consumed the message.
using MessagePreprocessor = bool (*)(MSG& message);

// The window machinery installs its key and mouse handling here (null removes it).
void SetMessagePreprocessor(MessagePreprocessor preprocessor) noexcept;

// Preprocesses, translates and dispatches one message that was taken from the queue.
void DispatchOneMessage(MSG& message);

// Dispatches the messages already waiting in this thread's queue. Stops when the queue is empty
// or at WM_QUIT, which stays in the queue for the message loop. Event handlers may run inside.
void ProcessPendingEvents();

// Runs the message loop until WM_QUIT; returns its exit code.
int RunMessageLoop();

}  // namespace rh
